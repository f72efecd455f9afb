#include "audio/tests/test_sounds.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace orlex::audio::test {
namespace {

SNDFILE* create(const std::filesystem::path& path, int rate, int channels, int format) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format == 0 ? (SF_FORMAT_WAV | SF_FORMAT_PCM_16) : format;
    SNDFILE* file = sf_open(path.string().c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        throw std::runtime_error(std::string("cannot write test sound: ") + sf_strerror(nullptr));
    return file;
}

}  // namespace

void writeSound(const std::filesystem::path& path, int rate, int channels,
                const std::vector<std::int16_t>& samples, int format) {
    SNDFILE* file = create(path, rate, channels, format);
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

void writeFloatSound(const std::filesystem::path& path, int rate, int channels,
                     const std::vector<float>& samples, int format) {
    SNDFILE* file = create(path, rate, channels, format);
    sf_write_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

bool canWrite(int format, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    return sf_format_check(&info) != 0;
}

std::vector<std::int16_t> ramp(std::size_t count, int step) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(((i + 1) * static_cast<std::size_t>(step)) & 0xFFFF));
    return samples;
}

std::vector<float> sine(std::size_t count, int rate, double frequency, double amplitude) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
    return samples;
}

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

std::vector<std::uint8_t> bytesOf(const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto bits = static_cast<std::uint16_t>(samples[i]);
        bytes[2 * i] = static_cast<std::uint8_t>(bits & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
    return bytes;
}

}  // namespace orlex::audio::test
