#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "audio/backend.h"
#include "audio/tests/fake_sound.h"
#include "audio/tests/process_threads.h"
#include "audio/tests/test_sounds.h"
#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/temp_dir.h"

namespace orlex::audio {
namespace {

using common::IoFailure;
using orlex::test::failureMessage;
using orlex::test::TempDir;
using test::FakeSoundSystem;
using Outputs = std::vector<FakeSoundSystem::Output>;
using Inputs = std::vector<FakeSoundSystem::Input>;

bool has(const std::vector<std::string>& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

class PcmBackendTest : public ::testing::Test {
protected:
    std::filesystem::path constant(const char* name, std::size_t count, std::int16_t value) {
        test::writeSound(dir_ / name, 8000, 1, std::vector<std::int16_t>(count, value));
        return dir_ / name;
    }

    TempDir dir_;
    std::shared_ptr<FakeSoundSystem> sound_ = std::make_shared<FakeSoundSystem>();
    PcmBackend backend_{sound_};
};

TEST_F(PcmBackendTest, RampsTheGainAcrossTheFirstBlockThenHoldsIt) {
    const auto path = constant("flat.wav", 4096, 10000);  // four blocks of 1,024 samples
    sound_->holdStarts(true);
    std::shared_ptr<Voice> voice = backend_.open(path, false);
    voice->gain(0.5f);
    sound_->holdStarts(false);
    sound_->waitFor([](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].closed; });

    const FakeSoundSystem::Output line = sound_->outputs().at(0);
    EXPECT_EQ(line.format, (PcmFormat{8000, 1}));
    EXPECT_EQ(line.bufferBytes, 4096u);
    EXPECT_EQ(line.writerThread, "orlex-audio-str");  // the OS keeps 15 bytes of "orlex-audio-stream"
    const std::vector<std::int16_t> played = test::samplesOf(line.bytes);
    ASSERT_EQ(played.size(), 4096u);
    EXPECT_EQ(played.front(), 4);  // 10,000 × 0.5 × 1/1,024, truncated
    EXPECT_TRUE(std::is_sorted(played.begin(), played.begin() + 1024));
    EXPECT_EQ(played[1023], 5000);
    EXPECT_TRUE(std::all_of(played.begin() + 1024, played.end(), [](std::int16_t s) { return s == 5000; }));
    EXPECT_FALSE(voice->alive());
    EXPECT_EQ(voice->error(), "");
}

TEST_F(PcmBackendTest, ClampsTheGain) {
    const auto path = constant("flat.wav", 2048, 1000);
    sound_->holdStarts(true);
    std::shared_ptr<Voice> voice = backend_.open(path, false);
    voice->gain(7.0f);
    sound_->holdStarts(false);
    sound_->waitFor([](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].closed; });
    EXPECT_EQ(test::samplesOf(sound_->outputs()[0].bytes).back(), 1000);
}

TEST_F(PcmBackendTest, LoopsByDecodingAnewOnTheSameLine) {
    const std::vector<std::int16_t> tune = test::ramp(100, 101);
    test::writeSound(dir_ / "loop.wav", 8000, 1, tune);
    sound_->holdStarts(true);
    std::shared_ptr<Voice> voice = backend_.open(dir_ / "loop.wav", true);
    voice->gain(1.0f);
    sound_->holdStarts(false);
    sound_->waitFor(
        [](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].bytes.size() >= 800; });
    EXPECT_TRUE(voice->alive());
    voice->close();

    const FakeSoundSystem::Output line = sound_->outputs().at(0);
    EXPECT_EQ(sound_->outputs().size(), 1u);
    EXPECT_EQ(std::count(line.calls.begin(), line.calls.end(), "start"), 1);
    const std::vector<std::int16_t> played = test::samplesOf(line.bytes);
    // The first pass ramps up from gain 0; the later passes repeat the file as it is.
    EXPECT_EQ(std::vector<std::int16_t>(played.begin() + 100, played.begin() + 200), tune);
    EXPECT_EQ(std::vector<std::int16_t>(played.begin() + 200, played.begin() + 300), tune);
    EXPECT_EQ(voice->error(), "");
}

TEST_F(PcmBackendTest, StaysAliveUntilTheLineIsDrained) {
    const auto path = constant("short.wav", 500, 300);
    sound_->holdDrains(true);
    std::shared_ptr<Voice> voice = backend_.open(path, false);
    sound_->waitFor(
        [](const Outputs& out, const Inputs&) { return out.size() == 1 && has(out[0].calls, "drain"); });
    EXPECT_TRUE(voice->alive());
    EXPECT_EQ(sound_->outputs()[0].bytes.size(), 1000u);

    sound_->holdDrains(false);
    sound_->waitFor([](const Outputs& out, const Inputs&) { return out[0].closed; });
    EXPECT_FALSE(voice->alive());
    EXPECT_EQ(voice->error(), "");
    const std::vector<std::string> calls = sound_->outputs()[0].calls;
    EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
              (std::vector<std::string>{"drain", "stop", "flush", "close"}));
}

TEST_F(PcmBackendTest, ClosingFromAnotherThreadWhileWritingRecordsNoError) {
    const auto path = constant("long.wav", 20000, 300);
    sound_->holdWrites(true);
    std::shared_ptr<Voice> voice = backend_.open(path, true);
    sound_->waitFor(
        [](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].blockedInWrite; });

    std::thread([&] { voice->close(); }).join();
    EXPECT_FALSE(voice->alive());
    sound_->waitFor(
        [](const Outputs& out, const Inputs&) { return out[0].closed && !out[0].blockedInWrite; });
    EXPECT_EQ(voice->error(), "");
    EXPECT_FALSE(has(sound_->outputs()[0].calls, "drain"));
}

TEST_F(PcmBackendTest, AFailedWriteEndsTheVoiceWithItsKind) {
    const auto path = constant("long.wav", 20000, 300);
    sound_->failNextWrite();
    std::shared_ptr<Voice> voice = backend_.open(path, true);
    sound_->waitFor([](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].closed; });
    EXPECT_FALSE(voice->alive());
    EXPECT_EQ(voice->error(), "Lecture audio interrompue : orlex::common::IoFailure");
}

TEST_F(PcmBackendTest, OpeningFailuresPassOnWithTheirMessage) {
    EXPECT_EQ(failureMessage<IoFailure>([&] { backend_.open(dir_ / "x.flac", false); }),
              "OGG, MP3 ou WAV requis");
    test::writeSound(dir_ / "six.wav", 8000, 6, test::ramp(60));
    EXPECT_EQ(failureMessage<IoFailure>([&] { backend_.open(dir_ / "six.wav", false); }),
              "Piste mono ou stéréo requise");
    const auto path = constant("ok.wav", 10, 1);
    sound_->failOutputs(true);
    EXPECT_EQ(failureMessage<IoFailure>([&] { backend_.open(path, false); }), "Sortie audio indisponible");
    EXPECT_EQ(sound_->outputs().size(), 1u);  // the refused attempt only
}

// A game audio device that records what it is given. Like a real one it plays in real time: a write
// returns once no more than its latency's worth of samples waits to be played.
struct FakeDevice : GameAudioDevice {
    using Clock = std::chrono::steady_clock;
    struct Record {
        bool written() {
            std::lock_guard lock(mutex);
            return !samples.empty();
        }
        std::mutex mutex;
        std::vector<float> samples;
        std::atomic<bool> disposed{false};
    };
    FakeDevice(std::shared_ptr<Record> record, int latency, int rate, int channels)
        : record_(std::move(record)), latency_(latency), rate_(rate), channels_(channels) {}
    void writeSamples(std::span<const float> samples) override {
        {
            std::lock_guard lock(record_->mutex);
            record_->samples.insert(record_->samples.end(), samples.begin(), samples.end());
        }
        playedBy_ = std::max(Clock::now(), playedBy_) + duration(samples.size());
        std::this_thread::sleep_until(playedBy_ - duration(static_cast<std::size_t>(std::max(0, latency_))));
    }
    int latency() override { return latency_; }
    void dispose() override { record_->disposed = true; }

    Clock::duration duration(std::size_t samples) const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            static_cast<double>(samples) / (static_cast<double>(rate_) * channels_)));
    }

    std::shared_ptr<Record> record_;
    int latency_;
    int rate_;
    int channels_;
    Clock::time_point playedBy_;  // when everything written so far will have played
};

struct FakeFactory : DeviceFactory {
    std::unique_ptr<GameAudioDevice> open(int rate, bool mono) override {
        asked.emplace_back(rate, mono);
        if (fail)
            throw IoFailure("Jeu absent");
        if (none)
            return nullptr;
        return std::make_unique<FakeDevice>(record, latency, rate, mono ? 1 : 2);
    }
    std::shared_ptr<FakeDevice::Record> record = std::make_shared<FakeDevice::Record>();
    std::vector<std::pair<int, bool>> asked;
    int latency = 512;
    bool fail = false;
    bool none = false;
};

TEST_F(PcmBackendTest, GameBackendPlaysFloatsOnTheGameDevice) {
    const auto path = constant("flat.wav", 3000, 16384);
    auto factory = std::make_shared<FakeFactory>();
    GameAudioBackend game(factory);
    std::shared_ptr<Voice> voice = game.open(path, false);
    voice->gain(1.0f);
    while (!factory->record->disposed)
        std::this_thread::yield();
    EXPECT_FALSE(voice->alive());
    EXPECT_EQ(voice->error(), "");
    EXPECT_EQ(factory->asked, (std::vector<std::pair<int, bool>>{{8000, true}}));
    std::lock_guard lock(factory->record->mutex);
    ASSERT_EQ(factory->record->samples.size(), 3000u);
    EXPECT_TRUE(std::all_of(factory->record->samples.begin(), factory->record->samples.end(),
                            [](float s) { return s >= 0.0f && s <= 0.5f; }));
    EXPECT_TRUE(sound_->outputs().empty());
}

TEST_F(PcmBackendTest, GameBackendFallsBackToTheSystemOutputForAnUnusableDevice) {
    const auto path = constant("flat.wav", 100, 5);
    auto factory = std::make_shared<FakeFactory>();
    factory->latency = 0;
    GameAudioBackend running(factory, sound_);
    running.open(path, false);
    EXPECT_TRUE(factory->record->disposed);
    sound_->waitFor([](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].closed; });

    factory->fail = true;
    running.open(path, false);
    sound_->waitFor([](const Outputs& out, const Inputs&) { return out.size() == 2; });
}

TEST_F(PcmBackendTest, GameBackendWithoutFallbackPassesFailuresOn) {
    const auto path = constant("flat.wav", 100, 5);
    auto factory = std::make_shared<FakeFactory>();
    factory->fail = true;
    EXPECT_EQ(failureMessage<IoFailure>([&] { GameAudioBackend(factory).open(path, false); }), "Jeu absent");
    factory->fail = false;
    factory->none = true;
    EXPECT_EQ(failureMessage<IoFailure>([&] { GameAudioBackend(factory).open(path, false); }),
              "Périphérique audio du jeu indisponible");
}

TEST_F(PcmBackendTest, ALoopingFileWithoutSamplesEndsTheVoiceAsAFailure) {
    test::writeSound(dir_ / "empty.wav", 8000, 1, {});
    std::shared_ptr<Voice> pcm = backend_.open(dir_ / "empty.wav", true);
    sound_->waitFor([](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].closed; });
    EXPECT_FALSE(pcm->alive());
    EXPECT_EQ(pcm->error(), "Lecture audio interrompue : orlex::common::IoFailure");

    auto factory = std::make_shared<FakeFactory>();
    GameAudioBackend backend(factory);
    std::shared_ptr<Voice> game = backend.open(dir_ / "empty.wav", true);
    while (!factory->record->disposed)
        std::this_thread::yield();
    EXPECT_FALSE(game->alive());
    EXPECT_EQ(game->error(), "Lecture audio interrompue : orlex::common::IoFailure");
}

TEST_F(PcmBackendTest, CloseEndsEveryVoiceAndReturnsOnceTheirThreadsHaveEnded) {
    const auto path = constant("long.wav", 20000, 300);
    auto factory = std::make_shared<FakeFactory>();
    GameAudioBackend backend(factory, sound_);
    std::shared_ptr<Voice> game = backend.open(path, true);
    factory->fail = true;
    std::shared_ptr<Voice> handedOver = backend.open(path, true);
    sound_->waitFor(
        [](const Outputs& out, const Inputs&) { return out.size() == 1 && !out[0].bytes.empty(); });
    while (!factory->record->written())
        std::this_thread::yield();
    const auto running = [](const std::string& name) {
        const std::vector<std::string> threads = test::runningThreadNames();
        return std::count(threads.begin(), threads.end(), name);
    };
    ASSERT_EQ(running("orlex-game-audi"), 1);
    ASSERT_EQ(running("orlex-audio-str"), 1);

    backend.close();
    EXPECT_EQ(running("orlex-game-audi"), 0);
    EXPECT_EQ(running("orlex-audio-str"), 0);
    EXPECT_FALSE(game->alive());
    EXPECT_FALSE(handedOver->alive());
    EXPECT_TRUE(factory->record->disposed);
    EXPECT_TRUE(sound_->outputs()[0].closed);
    EXPECT_EQ(failureMessage<IoFailure>([&] { backend.open(path, false); }), "Sortie audio fermée");
}

}  // namespace
}  // namespace orlex::audio
