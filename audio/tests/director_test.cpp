#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>

#include "audio/audio_director.h"
#include "audio/tests/process_threads.h"
#include "common/failure.h"
#include "common/preferences.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::audio {
namespace {

namespace fs = std::filesystem;
using common::IoFailure;
using orlex::test::failureMessage;
using orlex::test::TempDir;
using orlex::test::writeFile;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// A voice that only remembers what the director did to it.
struct FakeVoice : Voice {
    void gain(float value) override { level = value; }
    void close() override {
        closed = true;
        playing = false;
    }
    bool alive() const override { return playing; }
    std::string error() const override { return failure; }

    fs::path path;
    bool loop = false;
    float level = -1.0f;  // no gain given yet
    bool closed = false;
    bool playing = true;
    std::string failure;
};

// Like a real backend, it stops every voice it opened when closed and opens none afterwards.
struct FakeBackend : Backend {
    std::shared_ptr<Voice> open(const fs::path& path, bool loop) override {
        if (closed)
            throw IoFailure("Sortie audio fermée");
        if (!refusal.empty())
            throw IoFailure(refusal);
        auto voice = std::make_shared<FakeVoice>();
        voice->path = path;
        voice->loop = loop;
        voices.push_back(voice);
        return voice;
    }
    void close() override {
        closed = true;
        for (const auto& voice : voices)
            voice->close();
    }
    // The voices opened for a file name, oldest first.
    std::vector<std::shared_ptr<FakeVoice>> of(const std::string& name) const {
        std::vector<std::shared_ptr<FakeVoice>> found;
        for (const auto& voice : voices)
            if (voice->path.filename() == name)
                found.push_back(voice);
        return found;
    }

    std::vector<std::shared_ptr<FakeVoice>> voices;
    std::string refusal;
    bool closed = false;
};

class DirectorTest : public ::testing::Test {
protected:
    DirectorTest() {
        for (const char* name : {"a.ogg", "b.ogg", "c.ogg", "zone.ogg", "fight.ogg", "rain.wav", "wind.wav",
                                 "hit.wav", "sub/deep.mp3"})
            writeFile(project_ / name, "sound");
        writeFile(outside_ / "secret.wav", "sound");
        director_.master(1.0f);  // gains below read as track volume × level
    }

    std::shared_ptr<FakeVoice> only(const std::string& name) {
        const auto found = backend_->of(name);
        EXPECT_EQ(found.size(), 1u) << name;
        return found.empty() ? std::make_shared<FakeVoice>() : found.back();
    }

    TempDir dir_;
    fs::path project_ = dir_ / "project";
    fs::path outside_ = dir_ / "outside";
    std::shared_ptr<FakeBackend> backend_ = std::make_shared<FakeBackend>();
    AudioDirector director_{project_, backend_, std::make_shared<MemoryVolumes>(),
                            std::make_unique<ManualClock>()};
};

TEST_F(DirectorTest, ResolvesInsideTheProjectAndRefusesEverythingElse) {
    EXPECT_EQ(director_.resolve("  "), std::nullopt);
    EXPECT_EQ(director_.resolve("sub/deep.mp3"), fs::canonical(project_ / "sub/deep.mp3"));
    EXPECT_EQ(director_.resolve("sub/../a.ogg"), fs::canonical(project_ / "a.ogg"));

    for (const std::string& refused : std::vector<std::string>{
             "../outside/secret.wav", (outside_ / "secret.wav").string(), "sub\\deep.mp3"})
        EXPECT_EQ(failureMessage<IoFailure>([&] { director_.resolve(refused); }), "Audio hors projet")
            << refused;
    EXPECT_EQ(failureMessage<IoFailure>([&] { director_.resolve("a.flac"); }),
              "Piste OGG, MP3 ou WAV requise");
    EXPECT_EQ(failureMessage<IoFailure>([&] { director_.resolve("sub/none.wav"); }),
              "Fichier audio absent : none.wav");

    fs::create_symlink(outside_ / "secret.wav", project_ / "link.wav");
    EXPECT_EQ(failureMessage<IoFailure>([&] { director_.resolve("link.wav"); }), "Audio hors projet");
}

TEST_F(DirectorTest, SearchesFallbackRootsInOrder) {
    writeFile(dir_ / "base1/only-here.wav", "sound");
    writeFile(dir_ / "base2/only-here.wav", "sound");
    director_.fallbackRoot(dir_ / "base1");
    director_.fallbackRoot(dir_ / "base2");
    director_.fallbackRoot(dir_ / "base1/.");
    EXPECT_EQ(director_.resolve("only-here.wav"), fs::canonical(dir_ / "base1/only-here.wav"));

    director_.effect("only-here.wav", Bus::EFFECTS, 1.0f);
    EXPECT_EQ(backend_->voices.at(0)->path, fs::canonical(dir_ / "base1/only-here.wav"));
    EXPECT_FALSE(backend_->voices.at(0)->loop);

    director_.projectRoot(dir_ / "base2");
    EXPECT_EQ(director_.resolve("only-here.wav"), fs::canonical(dir_ / "base2/only-here.wav"));
}

TEST_F(DirectorTest, MusicFadesInLinearlyOverItsTime) {
    director_.music("a.ogg", 0.5f, 1.0f);
    const auto a = only("a.ogg");
    EXPECT_TRUE(a->loop);
    EXPECT_EQ(a->level, 0.0f);
    EXPECT_EQ(director_.musicId(), fs::canonical(project_ / "a.ogg").string());

    director_.tick(0.25f);
    EXPECT_FLOAT_EQ(a->level, 0.5f * 0.25f);
    director_.tick(1.0f);
    EXPECT_FLOAT_EQ(a->level, 0.5f);
    EXPECT_TRUE(director_.musicAlive());
    EXPECT_EQ(director_.lastError(), "");
}

TEST_F(DirectorTest, FadeTimesAreLimited) {
    // One tick of 0.15 s completes a fade asked with 0 s.
    director_.music("a.ogg", 1.0f, 0.0f);
    director_.tick(0.15f);
    EXPECT_FLOAT_EQ(only("a.ogg")->level, 1.0f);

    director_.music("b.ogg", 1.0f, 60.0f);  // 10 s
    director_.tick(1.0f);
    EXPECT_FLOAT_EQ(only("b.ogg")->level, 0.1f);
    EXPECT_FLOAT_EQ(only("a.ogg")->level, 0.9f);

    director_.music("c.ogg", 1.0f, NaN);  // 2 s
    director_.tick(0.5f);
    EXPECT_FLOAT_EQ(only("c.ogg")->level, 0.25f);
}

TEST_F(DirectorTest, AThirdTrackCutsTheOneFadingOut) {
    director_.music("a.ogg", 1.0f, 2.0f);
    director_.tick(2.0f);
    director_.music("b.ogg", 1.0f, 2.0f);
    director_.tick(0.5f);
    director_.music("c.ogg", 1.0f, 2.0f);
    EXPECT_TRUE(only("a.ogg")->closed);
    EXPECT_FALSE(only("b.ogg")->closed);

    director_.tick(0.25f);
    EXPECT_FLOAT_EQ(only("b.ogg")->level, 0.125f);  // was 0.25, fades out
    EXPECT_FLOAT_EQ(only("c.ogg")->level, 0.125f);
    director_.tick(0.25f);
    EXPECT_TRUE(only("b.ogg")->closed);  // dropped once silent
}

TEST_F(DirectorTest, TakesBackTheTrackFadingOutFromItsLevel) {
    director_.music("a.ogg", 1.0f, 2.0f);
    director_.tick(2.0f);
    director_.music("b.ogg", 1.0f, 2.0f);
    director_.tick(1.0f);  // a at 0.5, fading out
    director_.music("a.ogg", 0.8f, 2.0f);
    EXPECT_EQ(backend_->of("a.ogg").size(), 1u);  // not reopened
    director_.tick(0.5f);
    EXPECT_FLOAT_EQ(only("a.ogg")->level, 0.8f * 0.75f);
    EXPECT_FLOAT_EQ(only("b.ogg")->level, 0.25f);
}

TEST_F(DirectorTest, BlankMusicFadesOutAndClearsTheId) {
    director_.music("a.ogg", 1.0f, 2.0f);
    director_.tick(2.0f);
    director_.music("", 1.0f, 1.0f);
    EXPECT_EQ(director_.musicId(), "");
    EXPECT_FALSE(director_.musicAlive());
    director_.tick(0.5f);
    EXPECT_FLOAT_EQ(only("a.ogg")->level, 0.5f);
    director_.tick(0.5f);
    EXPECT_TRUE(only("a.ogg")->closed);
}

TEST_F(DirectorTest, FailuresKeepTheMusicAndAreReported) {
    director_.music("a.ogg", 1.0f, 2.0f);
    director_.music("../x.ogg", 1.0f, 2.0f);
    EXPECT_EQ(director_.lastError(), "Audio hors projet");
    backend_->refusal = "Piste mono ou stéréo requise";
    director_.music("b.ogg", 1.0f, 2.0f);
    EXPECT_EQ(director_.lastError(), "Piste mono ou stéréo requise");
    EXPECT_EQ(director_.musicId(), fs::canonical(project_ / "a.ogg").string());
    backend_->refusal.clear();

    director_.music("a.ogg", 1.0f, 2.0f);
    EXPECT_EQ(director_.lastError(), "");

    only("a.ogg")->playing = false;
    director_.tick(0.02f);
    EXPECT_EQ(director_.lastError(), "Lecture audio interrompue");
    only("a.ogg")->failure = "Lecture audio interrompue : orlex::common::IoFailure";
    director_.tick(0.02f);
    EXPECT_EQ(director_.lastError(), "Lecture audio interrompue : orlex::common::IoFailure");
}

TEST_F(DirectorTest, CombatOverridesZonesUntilLeft) {
    director_.zone("zone.ogg", 0.5f, 1.0f);
    director_.tick(1.0f);
    EXPECT_FLOAT_EQ(only("zone.ogg")->level, 0.5f);

    director_.enterCombat("fight.ogg");
    director_.tick(0.6f);  // 1.2 s fade
    EXPECT_FLOAT_EQ(only("fight.ogg")->level, 0.8f * 0.5f);
    director_.zone("a.ogg", 0.3f, 4.0f);
    EXPECT_TRUE(backend_->of("a.ogg").empty());

    director_.leaveCombat();
    director_.tick(2.0f);
    EXPECT_FLOAT_EQ(only("a.ogg")->level, 0.3f * 0.5f);
    EXPECT_EQ(director_.musicId(), fs::canonical(project_ / "a.ogg").string());
}

TEST_F(DirectorTest, BedsStartKeepReplaceAndStopAtOnce) {
    EXPECT_EQ(failureMessage<IoFailure>([&] { director_.ambient("rain", "rain.wav", Bus::MUSIC, 1.0f); }),
              "Canal ambiance/météo requis");

    director_.volume(Bus::WEATHER, 0.5f);
    director_.ambient("sky", "rain.wav", Bus::WEATHER, 0.8f);
    EXPECT_FLOAT_EQ(only("rain.wav")->level, 0.4f);
    EXPECT_TRUE(only("rain.wav")->loop);

    director_.ambient("sky", "rain.wav", Bus::AMBIENCE,
                      0.6f);  // kept; new volume and bus at the next refresh
    EXPECT_EQ(backend_->of("rain.wav").size(), 1u);
    director_.tick(0.02f);
    EXPECT_FLOAT_EQ(only("rain.wav")->level, 0.6f);

    backend_->refusal = "Sortie audio indisponible";
    director_.ambient("sky", "wind.wav", Bus::WEATHER, 1.0f);
    EXPECT_FALSE(only("rain.wav")->closed);
    EXPECT_EQ(director_.lastError(), "Sortie audio indisponible");
    backend_->refusal.clear();

    director_.ambient("sky", "wind.wav", Bus::WEATHER, 1.0f);
    EXPECT_TRUE(only("rain.wav")->closed);
    EXPECT_FLOAT_EQ(only("wind.wav")->level, 0.5f);
    director_.ambient("sky", "", Bus::WEATHER, 1.0f);
    EXPECT_TRUE(only("wind.wav")->closed);
}

TEST_F(DirectorTest, EffectsPlayAtOnceAndTheThirteenthCutsTheOldest) {
    director_.volume(Bus::EFFECTS, 0.25f);
    for (int i = 0; i < 12; ++i)
        director_.effect("hit.wav", Bus::EFFECTS, 1.0f);
    const auto first = backend_->voices.front();
    EXPECT_FLOAT_EQ(first->level, 0.25f);
    EXPECT_FALSE(first->closed);

    director_.effect("hit.wav", Bus::EFFECTS, 1.0f);
    EXPECT_TRUE(first->closed);
    EXPECT_FALSE(backend_->voices[1]->closed);

    // Finished effects are forgotten at the next tick, so the cap counts playing ones only.
    for (std::size_t i = 1; i < 7; ++i)
        backend_->voices[i]->playing = false;
    director_.tick(0.02f);
    director_.effect("hit.wav", Bus::EFFECTS, 1.0f);
    EXPECT_FALSE(backend_->voices[7]->closed);
}

TEST_F(DirectorTest, VolumeChangesRefreshEveryGain) {
    director_.music("a.ogg", 1.0f, 0.15f);
    director_.tick(1.0f);
    director_.ambient("sky", "rain.wav", Bus::AMBIENCE, 1.0f);
    director_.master(0.5f);
    EXPECT_FLOAT_EQ(only("a.ogg")->level, 0.5f);
    director_.volume(Bus::MUSIC, 2.0f);
    EXPECT_EQ(director_.volume(Bus::MUSIC), 1.0f);
    director_.volume(Bus::AMBIENCE, NaN);
    EXPECT_EQ(only("rain.wav")->level, 0.0f);
    EXPECT_EQ(director_.master(), 0.5f);
}

TEST_F(DirectorTest, AfterCloseNothingPlaysButVolumesStillApply) {
    director_.music("a.ogg", 1.0f, 2.0f);
    director_.ambient("sky", "rain.wav", Bus::AMBIENCE, 1.0f);
    director_.effect("hit.wav", Bus::EFFECTS, 1.0f);
    director_.close();
    EXPECT_TRUE(backend_->closed);
    for (const auto& voice : backend_->voices)
        EXPECT_TRUE(voice->closed);

    director_.music("b.ogg", 1.0f, 2.0f);
    director_.ambient("sky", "wind.wav", Bus::AMBIENCE, 1.0f);
    director_.effect("hit.wav", Bus::EFFECTS, 1.0f);
    director_.tick(1.0f);
    EXPECT_EQ(backend_->voices.size(), 3u);
    director_.master(0.3f);
    EXPECT_EQ(director_.master(), 0.3f);
    director_.close();
}

class DirectorStoreTest : public ::testing::Test {
protected:
    DirectorStoreTest() { common::usePreferenceDirectory(dir_.path().string()); }
    TempDir dir_;
    std::shared_ptr<FakeBackend> backend_ = std::make_shared<FakeBackend>();
};

TEST_F(DirectorStoreTest, LoadsClampedVolumesAndStoresChanges) {
    const auto manual = [] { return std::make_unique<ManualClock>(); };
    const auto preferences = std::make_shared<PreferenceVolumes>();
    {
        AudioDirector fresh(dir_.path(), backend_, preferences, manual());
        EXPECT_FLOAT_EQ(fresh.master(), 0.8f);
        EXPECT_FLOAT_EQ(fresh.volume(Bus::INTERFACE), 0.6f);
        EXPECT_FLOAT_EQ(fresh.volume(Bus::MUSIC), 1.0f);
    }
    common::Preferences store("com/orlex/audio");
    store.put("master", "1.7");
    store.put("INTERFACE", "NaN");
    store.put("WEATHER", "-3");
    AudioDirector director(dir_.path(), backend_, preferences, manual());
    EXPECT_EQ(director.master(), 1.0f);
    EXPECT_EQ(director.volume(Bus::INTERFACE), 0.0f);
    EXPECT_EQ(director.volume(Bus::WEATHER), 0.0f);

    director.volume(Bus::EFFECTS, 0.25f);
    director.master(5.0f);
    EXPECT_EQ(store.get("EFFECTS"), "0.25");
    EXPECT_EQ(store.get("master"), "1");
    director.close();

    AudioDirector again(dir_.path(), backend_, std::make_shared<PreferenceVolumes>(), manual());
    EXPECT_EQ(again.volume(Bus::EFFECTS), 0.25f);
    EXPECT_EQ(again.master(), 1.0f);

    // A director on a store of its own neither reads nor writes the preferences.
    AudioDirector apart(dir_.path(), backend_, std::make_shared<MemoryVolumes>(), manual());
    EXPECT_FLOAT_EQ(apart.master(), 0.8f);
    apart.volume(Bus::EFFECTS, 0.5f);
    EXPECT_EQ(apart.volume(Bus::EFFECTS), 0.5f);
    EXPECT_EQ(store.get("EFFECTS"), "0.25");
}

// A voice whose gain may be set from the clock thread while the test reads it.
struct ClockedVoice : Voice {
    void gain(float value) override {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard lock(mutex);
        level = value;
        thread = name;
        changed.notify_all();
    }
    void close() override {}

    std::mutex mutex;
    std::condition_variable changed;
    float level = 0.0f;
    std::string thread;
};

struct ClockedBackend : Backend {
    std::shared_ptr<Voice> open(const fs::path&, bool) override { return voice; }
    void close() override { closed = true; }
    std::shared_ptr<ClockedVoice> voice = std::make_shared<ClockedVoice>();
    std::atomic<bool> closed{false};
};

TEST_F(DirectorStoreTest, RealTimeDirectorsFadeOnTheirOwnClockUntilClosed) {
    writeFile(dir_ / "a.ogg", "sound");
    auto backend = std::make_shared<ClockedBackend>();
    AudioDirector director(dir_.path(), backend, std::make_shared<MemoryVolumes>(),
                           std::make_unique<RealTimeClock>());
    director.music("a.ogg", 1.0f, 0.15f);
    {
        std::unique_lock lock(backend->voice->mutex);
        EXPECT_TRUE(backend->voice->changed.wait_for(lock, std::chrono::seconds(20),
                                                     [&] { return backend->voice->level >= 0.8f; }));
        EXPECT_EQ(backend->voice->thread, "orlex-audio-fad");
    }
    director.close();
    EXPECT_TRUE(backend->closed);
    const std::vector<std::string> threads = test::runningThreadNames();
    EXPECT_EQ(std::count(threads.begin(), threads.end(), "orlex-audio-fad"), 0);
}

}  // namespace
}  // namespace orlex::audio
