#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "audio/backend.h"
#include "audio/sound_line.h"
#include "audio/tests/test_sounds.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::audio {
namespace {

// The real SDL output on this headless machine: its disk driver writes what the device plays to a file
// (read at every device opening), after some leading silence of its own.
class SdlDiskOutput : public ::testing::Test {
protected:
    SdlDiskOutput() {
        ::setenv("SDL_AUDIODRIVER", "disk", 1);
        ::setenv("SDL_DISKAUDIOFILE", (dir_ / "played.raw").c_str(), 1);
    }

    std::vector<std::uint8_t> played() { return orlex::test::readBytes(dir_ / "played.raw"); }

    static bool contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
        return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
    }

    orlex::test::TempDir dir_;
};

TEST_F(SdlDiskOutput, PlaysExactlyTheBytesWritten) {
    const std::vector<std::uint8_t> payload = test::bytesOf(test::ramp(6000, 11));
    std::shared_ptr<OutputLine> line = systemSound()->openOutput(PcmFormat{22050, 1}, 4096);
    line->start();
    std::size_t written = 0;
    while (written < payload.size())
        written += line->write(std::span(payload).subspan(written));
    line->drain();
    line->stop();
    line->close();
    line->close();
    EXPECT_EQ(line->write(payload), 0u);

    const std::vector<std::uint8_t> file = played();
    const auto start = std::search(file.begin(), file.end(), payload.begin(), payload.begin() + 64);
    ASSERT_NE(start, file.end());
    EXPECT_TRUE(std::all_of(file.begin(), start, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(contains(file, payload));
}

TEST_F(SdlDiskOutput, ALineWithALargeBufferStillPlaysInSmallPeriods) {
    // A 4 s buffer at 8 kHz, as for an intro's soundtrack, with 1 s queued: the queue must drain a few
    // tens of milliseconds at a time, not in one step.
    const std::vector<std::uint8_t> second = test::bytesOf(test::ramp(8000, 3));
    const std::size_t buffer = 4 * second.size();
    std::shared_ptr<OutputLine> line = systemSound()->openOutput(PcmFormat{8000, 1}, buffer);
    ASSERT_EQ(line->write(second), second.size());
    std::size_t room = line->available();
    std::size_t smallestStep = second.size();
    line->start();
    while (room < buffer) {
        const std::size_t now = line->available();
        if (now > room)
            smallestStep = std::min(smallestStep, now - room);
        room = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    line->close();
    EXPECT_LE(smallestStep, 8000u * 2 * 50 / 1000);  // 50 ms of samples
}

TEST_F(SdlDiskOutput, StartsTheDriverOnceForTheWholeProcess) {
    systemSound()->openOutput(PcmFormat{22050, 1}, 4096)->close();
    // Every later line, even after a quiet spell, plays on the driver already running.
    ::setenv("SDL_AUDIODRIVER", "none-such", 1);
    EXPECT_NO_THROW(systemSound()->openOutput(PcmFormat{22050, 1}, 4096)->close());
}

TEST_F(SdlDiskOutput, APlayingLineLeavesTheProcessEndingOnSigtermAndSigint) {
    const std::shared_ptr<OutputLine> line = systemSound()->openOutput(PcmFormat{22050, 1}, 4096);
    line->start();
    for (const int signal : {SIGTERM, SIGINT}) {
        struct sigaction action {};
        ASSERT_EQ(::sigaction(signal, nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << signal;
    }
    line->close();
}

TEST_F(SdlDiskOutput, APcmVoicePlaysItsFileAndEndsAfterTheDrain) {
    const std::vector<std::int16_t> tune = test::ramp(11025, 5);
    test::writeSound(dir_ / "tune.wav", 22050, 1, tune);
    PcmBackend backend;
    std::shared_ptr<Voice> voice = backend.open(dir_ / "tune.wav", false);
    voice->gain(1.0f);
    while (voice->alive())
        std::this_thread::yield();
    EXPECT_EQ(voice->error(), "");
    // The first blocks ramp up from gain 0; the rest is the file as it is. The ramp has no zero sample,
    // so the silence a starved device plays between blocks (a loaded machine) is left out first.
    // The voice counts as ended as soon as it starts closing its line, and the disk driver's thread,
    // starved on a loaded machine, may write the last period a little later: a voice that cut its
    // sound short (closing without the drain) never gets there at all.
    const std::vector<std::int16_t> tail(tune.begin() + 4096, tune.end());
    bool sounds = false;
    for (int wait = 0; wait < 100 && !sounds; ++wait) {
        std::vector<std::int16_t> sounded = test::samplesOf(played());
        std::erase(sounded, std::int16_t{0});
        sounds = contains(test::bytesOf(sounded), test::bytesOf(tail));
        if (!sounds)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(sounds);
}

TEST_F(SdlDiskOutput, CapturesWhatTheInputDeviceGives) {
    const std::vector<std::uint8_t> recorded = test::bytesOf(test::ramp(4000, 9));
    orlex::test::writeFile(dir_ / "microphone.raw", std::string(recorded.begin(), recorded.end()));
    ::setenv("SDL_DISKAUDIOFILEIN", (dir_ / "microphone.raw").c_str(), 1);
    std::shared_ptr<InputLine> line = systemSound()->openInput(PcmFormat{8000, 1}, 1280);
    line->start();
    std::vector<std::uint8_t> captured;
    std::vector<std::uint8_t> buffer(320);
    while (captured.size() < recorded.size()) {
        const std::size_t got = line->read(buffer);
        ASSERT_GT(got, 0u);
        captured.insert(captured.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    }
    line->stop();
    EXPECT_EQ(line->read(buffer), 0u);
    line->close();
    captured.resize(recorded.size());
    EXPECT_EQ(captured, recorded);
}

}  // namespace
}  // namespace orlex::audio
