#include "common/preferences.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::common {
namespace {

// Every test works on a store of its own under a temporary directory; the user's real store is never
// touched.
class PreferencesTest : public ::testing::Test {
protected:
    PreferencesTest() { usePreferenceDirectory(dir_.path().string()); }

    test::TempDir dir_;
    Preferences launcher_{"com/orlex/desktop-preview"};
};

TEST_F(PreferencesTest, KeepsTextsAndForgetsRemovedKeys) {
    EXPECT_EQ(launcher_.get("installation"), std::nullopt);
    EXPECT_EQ(launcher_.get("installation", "/home/joueur/OrlexTessaline"), "/home/joueur/OrlexTessaline");

    launcher_.put("installation", "/srv/jeux/Orlex élève ✓");
    launcher_.put("account.identity", "");
    EXPECT_EQ(launcher_.get("installation"), "/srv/jeux/Orlex élève ✓");
    EXPECT_EQ(launcher_.get("account.identity", "fallback"), "");

    launcher_.remove("installation");
    EXPECT_EQ(launcher_.get("installation"), std::nullopt);
    launcher_.remove("never.stored");
}

TEST_F(PreferencesTest, BooleansReadBackAndOtherTextsGiveTheFallback) {
    EXPECT_TRUE(launcher_.getBoolean("account.remember", true));
    launcher_.putBoolean("account.remember", true);
    launcher_.putBoolean("account.updateResume", false);
    EXPECT_TRUE(launcher_.getBoolean("account.remember", false));
    EXPECT_FALSE(launcher_.getBoolean("account.updateResume", true));

    launcher_.put("account.remember", "TRUE");
    EXPECT_TRUE(launcher_.getBoolean("account.remember", false));
    launcher_.put("account.remember", "oui");
    EXPECT_FALSE(launcher_.getBoolean("account.remember", false));
    EXPECT_TRUE(launcher_.getBoolean("account.remember", true));
}

TEST_F(PreferencesTest, NodesAreSeparateAndSharedBetweenInstances) {
    Preferences audio("com/orlex/audio");
    launcher_.put("volume", "launcher");
    audio.put("volume", "0.5");
    EXPECT_EQ(launcher_.get("volume"), "launcher");
    EXPECT_EQ(audio.get("volume"), "0.5");

    // A second object on the same node sees the change without a flush.
    EXPECT_EQ(Preferences("com/orlex/desktop-preview").get("volume"), "launcher");
    EXPECT_EQ(Preferences("com/orlex/ui").get("volume"), std::nullopt);
}

TEST_F(PreferencesTest, FlushWritesUnderTheChosenDirectory) {
    launcher_.put("installation", "/opt/orlex-marker-7f3a");
    launcher_.flush();
    bool found = false;
    for (const std::string& file : test::listFiles(dir_.path()))
        found = found || test::readFile(dir_ / file).find("/opt/orlex-marker-7f3a") != std::string::npos;
    EXPECT_TRUE(found) << "nothing written under " << dir_.path();
}

TEST_F(PreferencesTest, ManyThreadsWriteAndReadAtOnce) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            Preferences node(t % 2 == 0 ? "com/orlex/desktop-preview" : "com/orlex/audio");
            for (int i = 0; i < 50; ++i) {
                const std::string key = "k" + std::to_string(t) + "." + std::to_string(i);
                node.put(key, std::to_string(i));
                node.get("k0.0");
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < 8; ++t) {
        Preferences node(t % 2 == 0 ? "com/orlex/desktop-preview" : "com/orlex/audio");
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(node.get("k" + std::to_string(t) + "." + std::to_string(i)), std::to_string(i));
    }
}

}  // namespace
}  // namespace orlex::common
