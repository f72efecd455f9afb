#include "audio/audio_files.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>
#include <vector>

#include "common/failure.h"

namespace orlex::audio {
namespace {

using common::IoFailure;

struct SndFileCloser {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};
using SndFileHandle = std::unique_ptr<SNDFILE, SndFileCloser>;

// Decodes with libsndfile. 16-bit PCM is read as it stands; every other encoding is read as floats and
// scaled here, because libsndfile's own float-to-short path for float WAV keeps values at ±1.
class SndPcmStream : public PcmStream {
public:
    SndPcmStream(SndFileHandle file, const SF_INFO& info)
        : file_(std::move(file)),
          format_{info.samplerate, info.channels},
          native16_((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {}

    PcmFormat format() const override { return format_; }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        const auto channels = static_cast<std::size_t>(format_.channels);
        const std::size_t frames = buffer.size() / format_.frameBytes();
        if (frames == 0)
            return 0;
        const std::size_t samples = frames * channels;
        std::size_t got = 0;
        if (native16_) {
            shorts_.resize(samples);
            got = static_cast<std::size_t>(
                sf_readf_short(file_.get(), shorts_.data(), static_cast<sf_count_t>(frames)));
        } else {
            floats_.resize(samples);
            got = static_cast<std::size_t>(
                sf_readf_float(file_.get(), floats_.data(), static_cast<sf_count_t>(frames)));
            shorts_.resize(samples);
            for (std::size_t i = 0; i < got * channels; ++i) {
                // A NaN sample (a float file may hold any bits) is silence.
                const float scaled = std::isnan(floats_[i]) ? 0.0f : std::nearbyint(floats_[i] * 32768.0f);
                shorts_[i] = static_cast<short>(std::clamp(scaled, -32768.0f, 32767.0f));
            }
        }
        if (got == 0 && sf_error(file_.get()) != SF_ERR_NO_ERROR)
            throw IoFailure(sf_strerror(file_.get()));
        for (std::size_t i = 0; i < got * channels; ++i) {
            const auto value = static_cast<std::uint16_t>(shorts_[i]);
            buffer[2 * i] = static_cast<std::uint8_t>(value & 0xFF);
            buffer[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
        }
        return got * format_.frameBytes();
    }

private:
    SndFileHandle file_;
    PcmFormat format_;
    bool native16_;
    std::vector<short> shorts_;
    std::vector<float> floats_;
};

bool decodable(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const int sub = format & SF_FORMAT_SUBMASK;
    switch (major) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_RF64:
        case SF_FORMAT_MPEG:
            return true;
        case SF_FORMAT_OGG:
            return sub == SF_FORMAT_VORBIS;
        default:
            return false;
    }
}

}  // namespace

bool AudioFiles::supported(const std::filesystem::path& path) {
    std::string name = path.string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name.ends_with(".wav") || name.ends_with(".mp3") || name.ends_with(".ogg");
}

std::unique_ptr<PcmStream> AudioFiles::pcm(const std::filesystem::path& path) {
    if (!supported(path))
        throw IoFailure("OGG, MP3 ou WAV requis");
    SF_INFO info{};
    SndFileHandle file(sf_open(path.string().c_str(), SFM_READ, &info));
    if (!file)
        throw IoFailure(std::string(sf_strerror(nullptr)) + " : " + path.filename().string());
    if (info.samplerate <= 0 || info.channels < 1 || info.channels > 2)
        throw UnplayableFormat();
    if (!decodable(info.format))
        throw IoFailure("Encodage audio non décodable : " + path.filename().string());
    return std::make_unique<SndPcmStream>(std::move(file), info);
}

}  // namespace orlex::audio
