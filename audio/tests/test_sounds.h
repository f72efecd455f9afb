#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace orlex::audio::test {

// Writes a sound with libsndfile. container and encoding are libsndfile format codes
// (SF_FORMAT_WAV | SF_FORMAT_PCM_16 by default); samples are interleaved.
void writeSound(const std::filesystem::path& path, int rate, int channels,
                const std::vector<std::int16_t>& samples, int format = 0);
// Writes floats (for float WAV, Vorbis and MP3).
void writeFloatSound(const std::filesystem::path& path, int rate, int channels,
                     const std::vector<float>& samples, int format);
// True when this libsndfile can write the format (Ogg Vorbis and MP3 depend on its build).
bool canWrite(int format, int rate, int channels);

// A recognisable ramp: sample i is (i * step) mod 65,536 as signed 16 bits, never 0 after the first.
std::vector<std::int16_t> ramp(std::size_t count, int step = 7);
// A sine of amplitude in [0, 1].
std::vector<float> sine(std::size_t count, int rate, double frequency, double amplitude);

// Little-endian 16-bit samples of raw bytes.
std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> bytesOf(const std::vector<std::int16_t>& samples);

}  // namespace orlex::audio::test
