#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "common/failure.h"

namespace orlex::audio {

// "Piste mono ou stéréo requise": a format that no output line plays. Its own kind lets a caller that can
// go on without sound tell it apart from a file that cannot be read.
class UnplayableFormat : public common::IoFailure {
public:
    UnplayableFormat() : IoFailure("Piste mono ou stéréo requise") {}
};

// Decoded sound: signed 16-bit little-endian PCM, interleaved, 1 or 2 channels, at the file's own rate.
struct PcmFormat {
    int rate = 0;
    int channels = 0;

    std::size_t frameBytes() const { return 2 * static_cast<std::size_t>(channels); }
    bool operator==(const PcmFormat&) const = default;
};

// An open decoded stream of one sound file, read block by block (never read whole). Owned by one thread
// at a time; the destructor closes the file.
class PcmStream {
public:
    virtual ~PcmStream() = default;
    virtual PcmFormat format() const = 0;
    // Fills the front of buffer with whole frames and returns the byte count; 0 at the end of the file.
    // A file cut short ends early without a failure. Decoding failures are IoFailures.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
};

// WAV, Ogg Vorbis and MP3 files, recognised by their content.
struct AudioFiles {
    // True when the path text, lower-cased, ends with ".wav", ".mp3" or ".ogg".
    static bool supported(const std::filesystem::path& path);

    // Opens path for decoding. Fails with IoFailure "OGG, MP3 ou WAV requis" for an unsupported name
    // (before opening anything), "Piste mono ou stéréo requise" for a rate not above 0 or a channel count
    // other than 1 or 2, "Encodage audio non décodable : <file name>" for content that is neither WAV,
    // Ogg Vorbis nor MPEG audio, and with the decoder's own message when the file cannot be opened.
    static std::unique_ptr<PcmStream> pcm(const std::filesystem::path& path);
};

}  // namespace orlex::audio
