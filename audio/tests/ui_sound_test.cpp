#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <string>

#include "audio/audio_director.h"
#include "audio/backend.h"
#include "audio/tests/fake_sound.h"
#include "audio/tests/process_threads.h"
#include "audio/tests/test_sounds.h"
#include "audio/ui_sound.h"
#include "common/preferences.h"
#include "tests/support/temp_dir.h"

namespace orlex::audio {
namespace {

using test::FakeSoundSystem;
using Outputs = std::vector<FakeSoundSystem::Output>;
using Inputs = std::vector<FakeSoundSystem::Input>;

int peak(const std::vector<std::uint8_t>& bytes) {
    int highest = 0;
    for (std::int16_t sample : test::samplesOf(bytes))
        highest = std::max(highest, std::abs(static_cast<int>(sample)));
    return highest;
}

TEST(UiTone, HasItsLengthAndStaysWithinItsPeak) {
    const std::vector<std::uint8_t> hover = UiSound::tone(true, 0.48);
    const std::vector<std::uint8_t> press = UiSound::tone(false, 0.48);
    EXPECT_EQ(hover.size(), 1800u);
    EXPECT_EQ(press.size(), 4400u);
    EXPECT_EQ(test::samplesOf(hover).front(), 0);
    EXPECT_LT(peak(hover), 1071);
    EXPECT_LT(peak(press), 1071);
    EXPECT_GT(peak(hover), 300);
    EXPECT_GT(peak(UiSound::tone(true, 1.0)), peak(hover));
    // Beyond 16 bits only the low bits are kept, as the format does.
    const std::vector<std::int16_t> loud = test::samplesOf(UiSound::tone(false, 100.0));
    const std::vector<std::int16_t> base = test::samplesOf(UiSound::tone(false, 1.0));
    EXPECT_NE(loud, base);
}

class UiSoundTest : public ::testing::Test {
protected:
    UiSoundTest() { common::usePreferenceDirectory(dir_.path().string()); }

    void waitClosed(std::size_t count) {
        sound_->waitFor([count](const Outputs& out, const Inputs&) {
            return out.size() == count &&
                   std::all_of(out.begin(), out.end(), [](const auto& o) { return o.closed; });
        });
    }

    orlex::test::TempDir dir_;
    std::shared_ptr<FakeSoundSystem> sound_ = std::make_shared<FakeSoundSystem>();
    std::atomic<std::int64_t> now_{1'000'000'000};
    UiSound ui_{sound_, [this] { return now_.load(); }};
};

TEST_F(UiSoundTest, PlaysTheToneAtMasterTimesInterfaceOnItsOwnLine) {
    ui_.play(true);
    waitClosed(1);
    const FakeSoundSystem::Output line = sound_->outputs()[0];
    EXPECT_EQ(line.format, (PcmFormat{22050, 1}));
    EXPECT_EQ(line.bufferBytes, 4096u);
    EXPECT_EQ(line.bytes, UiSound::tone(true, 0.8 * 0.6));
    EXPECT_EQ(line.writerThread, "orlex-ui-tone");
    EXPECT_EQ(line.calls.front(), "start");
    EXPECT_EQ(std::vector<std::string>(line.calls.end() - 3, line.calls.end()),
              (std::vector<std::string>{"drain", "stop", "close"}));

    common::Preferences store("com/orlex/audio");
    store.put("master", "0.5");
    store.put("INTERFACE", "1");
    ui_.play(false);
    waitClosed(2);
    EXPECT_EQ(sound_->outputs()[1].bytes, UiSound::tone(false, 0.5));
}

TEST_F(UiSoundTest, ThrottlesHoversButNotPresses) {
    ui_.play(true);
    now_ += 50'000'000;
    ui_.play(true);  // 50 ms later: dropped
    now_ += 10'000'000;
    ui_.play(false);  // a press is never throttled
    now_ += 40'000'000;
    ui_.play(true);  // 100 ms after the first
    waitClosed(3);
    std::vector<std::size_t> sizes;
    for (const auto& line : sound_->outputs())
        sizes.push_back(line.bytes.size());
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1800, 1800, 4400}));  // two hovers, one press
}

TEST_F(UiSoundTest, DropsAFifthToneWhileFourPlay) {
    sound_->holdWrites(true);
    for (int i = 0; i < 5; ++i)
        ui_.play(false);
    sound_->waitFor([](const Outputs& out, const Inputs&) {
        return out.size() == 4 &&
               std::all_of(out.begin(), out.end(), [](const auto& o) { return o.blockedInWrite; });
    });
    sound_->holdWrites(false);
    waitClosed(4);

    ui_.play(false);  // a thread is free again and takes it
    waitClosed(5);
}

TEST_F(UiSoundTest, CloseCutsTheTonesPlayingAndEndsEveryPoolThread) {
    sound_->holdWrites(true);
    ui_.play(false);
    ui_.play(false);
    sound_->waitFor([](const Outputs& out, const Inputs&) {
        return out.size() == 2 &&
               std::all_of(out.begin(), out.end(), [](const auto& o) { return o.blockedInWrite; });
    });

    ui_.close();
    const std::vector<std::string> threads = test::runningThreadNames();
    EXPECT_EQ(std::count(threads.begin(), threads.end(), "orlex-ui-tone"), 0);
    const Outputs lines = sound_->outputs();
    EXPECT_TRUE(std::all_of(lines.begin(), lines.end(), [](const auto& o) { return o.closed; }));
    ui_.play(false);
    EXPECT_EQ(sound_->outputs().size(), 2u);
}

TEST_F(UiSoundTest, MakesNoToneAtZeroVolume) {
    common::Preferences store("com/orlex/audio");
    store.put("INTERFACE", "0");
    ui_.play(false);
    store.put("INTERFACE", "0.5");
    store.put("master", "0");
    ui_.play(false);
    store.put("master", "1");
    ui_.play(false);
    waitClosed(1);
    EXPECT_EQ(sound_->outputs()[0].bytes, UiSound::tone(false, 0.5));
}

TEST_F(UiSoundTest, LosesTonesSilentlyWithoutOutput) {
    sound_->failOutputs(true);
    ui_.play(false);
    ui_.play(false);
    waitClosed(2);
    sound_->failOutputs(false);
    sound_->failNextWrite();
    ui_.play(false);
    waitClosed(3);
    ui_.play(false);  // the pool goes on
    waitClosed(4);
    EXPECT_EQ(sound_->outputs()[3].bytes.size(), 4400u);
}

// The launcher's GUI switches the C locale to the user's, under which the C library's number functions
// read the stored "0.7" as 0 (a French locale writes decimals with a comma).
TEST_F(UiSoundTest, StoredVolumesReadBackUnderAFrenchLocale) {
    struct CLocale {
        std::string previous = std::setlocale(LC_ALL, nullptr);
        bool set = std::setlocale(LC_ALL, "fr_FR.UTF-8") != nullptr;
        ~CLocale() { std::setlocale(LC_ALL, previous.c_str()); }
    } french;
    if (!french.set)
        GTEST_SKIP() << "the locale fr_FR.UTF-8 is not installed (scripts/setup installs it)";

    AudioDirector settings(dir_.path(), std::make_shared<PcmBackend>(sound_),
                           std::make_shared<PreferenceVolumes>(), std::make_unique<ManualClock>());
    settings.master(0.7f);
    settings.volume(Bus::INTERFACE, 0.3f);
    settings.close();
    AudioDirector restarted(dir_.path(), std::make_shared<PcmBackend>(sound_),
                            std::make_shared<PreferenceVolumes>(), std::make_unique<ManualClock>());
    EXPECT_EQ(restarted.master(), 0.7f);
    EXPECT_EQ(restarted.volume(Bus::INTERFACE), 0.3f);
    restarted.close();

    ui_.play(false);
    waitClosed(1);
    EXPECT_EQ(sound_->outputs()[0].bytes, UiSound::tone(false, double{0.7f} * double{0.3f}));
}

}  // namespace
}  // namespace orlex::audio
