#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio/staff_voice.h"
#include "audio/tests/fake_sound.h"
#include "audio/tests/process_threads.h"
#include "audio/tests/test_sounds.h"
#include "audio/voice_codec.h"
#include "common/preferences.h"
#include "tests/support/temp_dir.h"

namespace orlex::audio {
namespace {

using test::FakeSoundSystem;
using Outputs = std::vector<FakeSoundSystem::Output>;
using Inputs = std::vector<FakeSoundSystem::Input>;
using Frame = std::vector<std::uint8_t>;

constexpr std::int64_t MS = 1'000'000;

std::ptrdiff_t running(const std::string& name) {
    const std::vector<std::string> threads = test::runningThreadNames();
    return std::count(threads.begin(), threads.end(), name);
}

TEST(VoiceCodec, KeepsTheFixedPointsAndRoundTripsEveryCode) {
    EXPECT_EQ(VoiceCodec::encode(-32768), 0x00);
    EXPECT_EQ(VoiceCodec::encode(0), 0xFF);
    EXPECT_EQ(VoiceCodec::decode(0xFF), 0);
    EXPECT_EQ(VoiceCodec::decode(0x00), -32124);
    EXPECT_EQ(VoiceCodec::decode(0x80), 32124);
    EXPECT_EQ(VoiceCodec::encode(32767), 0x80);
    for (int code = 0; code < 256; ++code) {
        const auto byte = static_cast<std::uint8_t>(code);
        if (byte != 0x7F) {  // the negative zero encodes back as the positive one
            EXPECT_EQ(VoiceCodec::encode(VoiceCodec::decode(byte)), byte) << code;
        }
    }
    EXPECT_EQ(VoiceCodec::encode(VoiceCodec::decode(0x7F)), 0xFF);
    // Coding is monotonic: louder samples never decode quieter.
    int previous = -32768;
    for (int sample = -32768; sample <= 32767; sample += 97) {
        const int decoded = VoiceCodec::decode(VoiceCodec::encode(static_cast<std::int16_t>(sample)));
        EXPECT_GE(decoded, previous);
        previous = decoded;
    }
}

class StaffVoiceTest : public ::testing::Test {
protected:
    StaffVoiceTest() {
        common::usePreferenceDirectory(dir_.path().string());
        StaffVoice::volume(1.0f);
    }

    static Frame frame(std::int16_t sample) { return Frame(VoiceCodec::SAMPLES, VoiceCodec::encode(sample)); }
    // Blocks until the sender has been given count frames (fails the test after 20 s).
    void waitSent(std::size_t count) {
        std::unique_lock lock(sentMutex_);
        if (!sentChanged_.wait_for(lock, std::chrono::seconds(20), [&] { return sent_.size() >= count; }))
            ADD_FAILURE() << "only " << sent_.size() << " frames sent";
    }
    // The samples of output line index.
    std::vector<std::int16_t> played(std::size_t index = 0) {
        return test::samplesOf(sound_->outputs().at(index).bytes);
    }

    orlex::test::TempDir dir_;
    std::shared_ptr<FakeSoundSystem> sound_ = std::make_shared<FakeSoundSystem>();
    std::atomic<std::int64_t> now_{10'000 * MS};
    std::mutex sentMutex_;
    std::condition_variable sentChanged_;
    std::vector<std::pair<std::string, Frame>> sent_;
    std::string senderThread_;
    StaffVoice voice_{[this](const std::string& scope, std::span<const std::uint8_t> bytes) {
                          char name[32] = {};
                          pthread_getname_np(pthread_self(), name, sizeof name);
                          std::lock_guard lock(sentMutex_);
                          senderThread_ = name;
                          sent_.emplace_back(scope, Frame(bytes.begin(), bytes.end()));
                          sentChanged_.notify_all();
                      },
                      StaffVoice::Options{sound_, [this] { return now_.load(); }, false}};
};

TEST_F(StaffVoiceTest, QueuesThreeFramesPerSpeakerAndIgnoresMalformedOnes) {
    voice_.receive("a", "Alice", Frame(159, 0xFF));
    voice_.playbackStep();
    EXPECT_TRUE(sound_->outputs().empty());

    for (std::int16_t sample : {1000, 2000, 3000, 4000})
        voice_.receive("a", "Alice", frame(sample));
    for (int i = 0; i < 4; ++i)
        voice_.playbackStep();
    const std::vector<std::int16_t> out = played();
    ASSERT_EQ(out.size(), 3u * 160);
    EXPECT_EQ(out[0], VoiceCodec::decode(VoiceCodec::encode(2000)));
    EXPECT_EQ(out[160], VoiceCodec::decode(VoiceCodec::encode(3000)));
    EXPECT_EQ(out[320], VoiceCodec::decode(VoiceCodec::encode(4000)));
    const FakeSoundSystem::Output line = sound_->outputs()[0];
    EXPECT_EQ(line.format, (PcmFormat{8000, 1}));
    EXPECT_EQ(line.bufferBytes, 1280u);
    EXPECT_EQ(line.calls.front(), "start");
}

TEST_F(StaffVoiceTest, MixesWithTheGainAndLimitsInsteadOfWrapping) {
    voice_.receive("a", "Alice", Frame(160, 0x80));  // 32,124
    voice_.receive("b", "Bob", Frame(160, 0x80));
    voice_.playbackStep();
    EXPECT_EQ(played().front(), 32767);

    voice_.receive("a", "Alice", Frame(160, 0x00));  // -32,124
    voice_.receive("b", "Bob", Frame(160, 0x00));
    voice_.playbackStep();
    EXPECT_EQ(played()[160], -32768);

    StaffVoice::volume(0.5f);
    EXPECT_EQ(common::Preferences("com/orlex/audio").get("announcements"), "0.5");
    const std::int16_t odd = VoiceCodec::decode(0xFE);  // -1 × ... an odd value halves to .5
    voice_.receive("a", "Alice", Frame(160, 0xFE));
    voice_.playbackStep();
    EXPECT_EQ(played()[320], static_cast<std::int16_t>(std::floor(odd * 0.5 + 0.5)));
    StaffVoice::volume(3.0f);
    EXPECT_EQ(StaffVoice::volume(), 1.0f);
}

TEST_F(StaffVoiceTest, ForgetsSilentSpeakersAndNamesTheOthers) {
    voice_.receive("a", "Alice", frame(100));
    now_ += 100 * MS;
    voice_.receive("b", "Bob", frame(100));
    EXPECT_EQ(voice_.status(), "Annonce vocale — Alice, Bob");

    now_ += 200 * MS;  // Alice silent for 300 ms: gone from the status, still queued
    EXPECT_EQ(voice_.status(), "Annonce vocale — Bob");
    voice_.playbackStep();
    EXPECT_EQ(played().size(), 160u);
    EXPECT_EQ(played().front(), 2 * VoiceCodec::decode(VoiceCodec::encode(100)));

    voice_.receive("a", "Alice", frame(100));
    voice_.receive("b", "Bob", frame(100));
    now_ += 301 * MS;
    voice_.playbackStep();  // both removed, nothing taken
    EXPECT_EQ(played().size(), 160u);
    EXPECT_EQ(voice_.status(), "");
}

TEST_F(StaffVoiceTest, AcceptsEightSpeakersAtMost) {
    for (int i = 0; i < 9; ++i)
        voice_.receive("s" + std::to_string(i), "S" + std::to_string(i), frame(10));
    EXPECT_EQ(voice_.status(), "Annonce vocale — S0, S1, S2, S3, S4, S5, S6, S7");
    voice_.stop("s3");
    voice_.receive("s8", "S8", frame(10));
    EXPECT_EQ(voice_.status(), "Annonce vocale — S0, S1, S2, S4, S5, S6, S7, S8");
}

TEST_F(StaffVoiceTest, DropsTheMixWhenTheLineIsFull) {
    voice_.receive("a", "Alice", frame(100));
    voice_.playbackStep();
    sound_->freeSpace(319);
    voice_.receive("a", "Alice", frame(200));
    voice_.playbackStep();
    sound_->freeSpace(320);
    voice_.playbackStep();  // the dropped frame is not played later
    EXPECT_EQ(played().size(), 160u);
}

TEST_F(StaffVoiceTest, AFailedOutputIsReportedAndReopenedOnTheNextFrame) {
    voice_.receive("a", "Alice", frame(100));
    sound_->failNextWrite();
    voice_.playbackStep();
    EXPECT_EQ(voice_.status(), "Sortie vocale indisponible");
    EXPECT_TRUE(sound_->outputs()[0].closed);
    voice_.playbackStep();
    EXPECT_EQ(sound_->outputs().size(), 1u);  // speakers were removed

    voice_.receive("a", "Alice", frame(100));
    voice_.playbackStep();
    EXPECT_EQ(played(1).size(), 160u);
}

TEST_F(StaffVoiceTest, StopAndClearFlushTheLine) {
    voice_.receive("a", "Alice", frame(100));
    voice_.receive("b", "Bob", frame(100));
    voice_.playbackStep();
    const auto flushes = [this] {
        const std::vector<std::string> calls = sound_->outputs()[0].calls;
        return std::count(calls.begin(), calls.end(), "flush");
    };
    voice_.stop("a");
    EXPECT_EQ(flushes(), 0);
    voice_.stop("b");
    EXPECT_EQ(flushes(), 1);
    voice_.clear();
    EXPECT_EQ(flushes(), 2);
}

TEST_F(StaffVoiceTest, CapturesFramesForTheCurrentScopeOnly) {
    voice_.scope("server");
    voice_.scope("server");
    EXPECT_EQ(voice_.status(), "Micro ouvert — Serveur");
    sound_->waitFor([](const Outputs&, const Inputs& in) { return in.size() == 1 && in[0].started; });
    const FakeSoundSystem::Input microphone = sound_->inputs()[0];
    EXPECT_EQ(microphone.format, (PcmFormat{8000, 1}));
    EXPECT_EQ(microphone.bufferBytes, 1280u);

    std::vector<std::int16_t> pcm(320, -32768);
    std::fill(pcm.begin() + 160, pcm.end(), 0);
    sound_->feed(0, test::bytesOf(pcm));
    waitSent(2);

    voice_.scope("map-7");
    EXPECT_EQ(voice_.status(), "Micro ouvert — Carte");
    sound_->waitFor([](const Outputs&, const Inputs& in) { return in.size() == 2 && in[1].started; });
    EXPECT_TRUE(sound_->inputs()[0].closed);
    sound_->feed(1, test::bytesOf(std::vector<std::int16_t>(160, 0)));
    waitSent(3);

    voice_.scope("");
    sound_->waitFor([](const Outputs&, const Inputs& in) { return in[1].closed; });
    EXPECT_EQ(voice_.status(), "");
    std::vector<std::pair<std::string, Frame>> expected{
        {"server", Frame(160, 0x00)}, {"server", Frame(160, 0xFF)}, {"map-7", Frame(160, 0xFF)}};
    std::lock_guard lock(sentMutex_);
    EXPECT_EQ(sent_, expected);
    EXPECT_EQ(senderThread_, "orlex-voice-mic");
    EXPECT_EQ(sound_->inputs().size(), 2u);
}

TEST_F(StaffVoiceTest, AFailingMicrophoneClosesTheScopeUntilReopened) {
    voice_.scope("server");
    sound_->waitFor([](const Outputs&, const Inputs& in) { return in.size() == 1 && in[0].started; });
    sound_->failRead(0);
    while (voice_.status() != "Microphone indisponible")
        std::this_thread::yield();
    sound_->waitFor([](const Outputs&, const Inputs& in) { return in[0].closed; });

    voice_.scope("server");  // the scope was emptied, so this opens again and clears the problem
    EXPECT_EQ(voice_.status(), "Micro ouvert — Serveur");
    sound_->waitFor([](const Outputs&, const Inputs& in) { return in.size() == 2; });
}

TEST_F(StaffVoiceTest, CloseEndsEverything) {
    voice_.scope("server");
    sound_->waitFor([](const Outputs&, const Inputs& in) { return in.size() == 1 && in[0].started; });
    voice_.receive("a", "Alice", frame(100));
    voice_.playbackStep();
    voice_.close();
    EXPECT_EQ(running("orlex-voice-mic"), 0);
    EXPECT_TRUE(sound_->inputs()[0].closed);
    EXPECT_TRUE(sound_->outputs()[0].closed);
    EXPECT_EQ(voice_.status(), "");

    voice_.scope("map");
    voice_.receive("a", "Alice", frame(100));
    voice_.playbackStep();
    EXPECT_EQ(sound_->inputs().size(), 1u);
    EXPECT_EQ(sound_->outputs().size(), 1u);
    voice_.close();
}

TEST(StaffVoicePlayback, RunsOnItsOwnWorker) {
    orlex::test::TempDir dir;
    common::usePreferenceDirectory(dir.path().string());
    auto sound = std::make_shared<FakeSoundSystem>();
    StaffVoice voice([](const std::string&, std::span<const std::uint8_t>) {},
                     StaffVoice::Options{sound, {}, true});
    voice.receive("a", "Alice", Frame(160, 0x80));
    sound->waitFor(
        [](const Outputs& out, const Inputs&) { return out.size() == 1 && out[0].bytes.size() == 320; });
    EXPECT_EQ(sound->outputs()[0].writerThread, "orlex-voice-pla");
    voice.close();
    EXPECT_EQ(running("orlex-voice-pla"), 0);
}

}  // namespace
}  // namespace orlex::audio
