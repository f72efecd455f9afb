#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "audio/audio_files.h"
#include "audio/tests/test_sounds.h"
#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/temp_dir.h"

namespace orlex::audio {
namespace {

using common::IoFailure;
using orlex::test::failureMessage;
using orlex::test::TempDir;

std::vector<std::uint8_t> readAll(PcmStream& stream, std::size_t block = 2048) {
    std::vector<std::uint8_t> all;
    std::vector<std::uint8_t> buffer(block);
    while (const std::size_t n = stream.read(buffer))
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    return all;
}

TEST(AudioFilesSupported, GoesByTheNameIgnoringCase) {
    EXPECT_TRUE(AudioFiles::supported("music/x.MP3"));
    EXPECT_TRUE(AudioFiles::supported("a.ogg"));
    EXPECT_TRUE(AudioFiles::supported("b.Wav"));
    EXPECT_FALSE(AudioFiles::supported("x.flac"));
    EXPECT_FALSE(AudioFiles::supported("wav"));
    EXPECT_FALSE(AudioFiles::supported(""));
}

TEST(AudioFilesPcm, RefusesAnUnsupportedNameBeforeOpeningIt) {
    TempDir dir;
    test::writeSound(dir / "x.flac", 8000, 1, test::ramp(10));
    EXPECT_EQ(failureMessage<IoFailure>([&] { AudioFiles::pcm(dir / "x.flac"); }), "OGG, MP3 ou WAV requis");
    EXPECT_EQ(failureMessage<IoFailure>([&] { AudioFiles::pcm(dir / "absent.flac"); }),
              "OGG, MP3 ou WAV requis");
}

TEST(AudioFilesPcm, GivesSixteenBitWavUnchangedInWholeFramesAtItsOwnRate) {
    TempDir dir;
    const std::vector<std::int16_t> samples = test::ramp(5000, 13);
    test::writeSound(dir / "stereo.wav", 32000, 2, samples);

    std::unique_ptr<PcmStream> stream = AudioFiles::pcm(dir / "stereo.wav");
    EXPECT_EQ(stream->format(), (PcmFormat{32000, 2}));
    std::vector<std::uint8_t> buffer(6);
    EXPECT_EQ(stream->read(buffer), 4u);  // one whole stereo frame fits
    const std::vector<std::uint8_t> rest = readAll(*stream);
    std::vector<std::uint8_t> all(buffer.begin(), buffer.begin() + 4);
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all, test::bytesOf(samples));
}

TEST(AudioFilesPcm, ScalesFloatWavToSixteenBits) {
    TempDir dir;
    test::writeFloatSound(dir / "float.wav", 22050, 1, {0.5f, -0.25f, -1.0f, 1.0f, 0.0f},
                          SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::unique_ptr<PcmStream> stream = AudioFiles::pcm(dir / "float.wav");
    EXPECT_EQ(stream->format(), (PcmFormat{22050, 1}));
    EXPECT_EQ(test::samplesOf(readAll(*stream)), (std::vector<std::int16_t>{16384, -8192, -32768, 32767, 0}));
}

TEST(AudioFilesPcm, RefusesMoreThanTwoChannels) {
    TempDir dir;
    test::writeSound(dir / "six.wav", 48000, 6, test::ramp(600));
    EXPECT_EQ(failureMessage<IoFailure>([&] { AudioFiles::pcm(dir / "six.wav"); }),
              "Piste mono ou stéréo requise");
}

TEST(AudioFilesPcm, RecognisesContentNotName) {
    TempDir dir;
    const std::vector<std::int16_t> samples = test::ramp(300);
    test::writeSound(dir / "really-wav.ogg", 8000, 1, samples);
    std::unique_ptr<PcmStream> stream = AudioFiles::pcm(dir / "really-wav.ogg");
    EXPECT_EQ(readAll(*stream), test::bytesOf(samples));

    if (!test::canWrite(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, 1))
        GTEST_SKIP() << "this libsndfile writes no FLAC";
    test::writeSound(dir / "flac-inside.wav", 8000, 1, samples, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(failureMessage<IoFailure>([&] { AudioFiles::pcm(dir / "flac-inside.wav"); }),
              "Encodage audio non décodable : flac-inside.wav");
}

TEST(AudioFilesPcm, EndsATruncatedFileEarlyAndFailsOnAMissingOne) {
    TempDir dir;
    test::writeSound(dir / "cut.wav", 8000, 1, test::ramp(1000));
    std::filesystem::resize_file(dir / "cut.wav", 44 + 600);
    std::unique_ptr<PcmStream> stream = AudioFiles::pcm(dir / "cut.wav");
    EXPECT_EQ(readAll(*stream).size(), 600u);

    EXPECT_THROW(AudioFiles::pcm(dir / "absent.wav"), IoFailure);
}

// Vorbis and MP3 are lossy: the decoded sound keeps its format and length and about its loudness.
void expectLossyRoundTrip(int format, const char* name, int rate) {
    if (!test::canWrite(format, rate, 2))
        GTEST_SKIP() << "this libsndfile cannot write " << name;
    TempDir dir;
    const std::size_t frames = static_cast<std::size_t>(rate);  // one second
    std::vector<float> stereo;
    for (float value : test::sine(frames, rate, 440.0, 0.5)) {
        stereo.push_back(value);
        stereo.push_back(value);
    }
    test::writeFloatSound(dir / name, rate, 2, stereo, format);

    std::unique_ptr<PcmStream> stream = AudioFiles::pcm(dir / name);
    EXPECT_EQ(stream->format(), (PcmFormat{rate, 2}));
    const std::vector<std::int16_t> decoded = test::samplesOf(readAll(*stream));
    EXPECT_GE(decoded.size(), frames * 2 * 9 / 10);
    const auto peak = *std::max_element(decoded.begin(), decoded.end());
    EXPECT_NEAR(peak, 16384, 2500);
}

TEST(AudioFilesPcm, DecodesOggVorbis) {
    expectLossyRoundTrip(SF_FORMAT_OGG | SF_FORMAT_VORBIS, "tune.ogg", 44100);
}

TEST(AudioFilesPcm, DecodesMp3) {
    expectLossyRoundTrip(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "tune.mp3", 44100);
}

}  // namespace
}  // namespace orlex::audio
