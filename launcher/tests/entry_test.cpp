#include "launcher/entry.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/game_session.h"
#include "accounts/halvo_id_client.h"
#include "common/failure.h"
#include "common/preferences.h"
#include "common/properties.h"
#include "launcher/archive.h"
#include "launcher/launcher.h"
#include "launcher/tests/archive_support.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_channel.h"
#include "update/channel_url.h"

namespace orlex::launcher {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

TEST(Arguments, AValueFollowsTheFirstOccurrenceOfItsFlagBeforeTheLastPosition) {
    EXPECT_EQ(arg({"--root", "A", "--root", "B"}, "--root", "F"), "A");
    EXPECT_EQ(arg({"--plan", "--root"}, "--root", "F"), "F");
    EXPECT_EQ(arg({"--root"}, "--root", "F"), "F");
    EXPECT_EQ(arg({}, "--root", "F"), "F");
    EXPECT_EQ(arg({"--root", "--channel", "https://h/c/"}, "--root", "F"), "--channel");
    EXPECT_EQ(arg({"--root", "--root"}, "--root", "F"), "--root");
    EXPECT_EQ(arg({"--rooted", "A", "-root", "B"}, "--root", "F"), "F");
    EXPECT_EQ(arg({"x", "--wait-pid", ""}, "--wait-pid"), "");
    EXPECT_EQ(arg({"x", "--wait-pid"}, "--wait-pid"), std::nullopt);
}

TEST(EnvironmentOptions, ComeBeforeTheArgumentsWhoseSettingsWin) {
    setenv("ORLEX_LAUNCHER_OPTIONS", " -Dorlex.t1=env\t-Dorlex.t2=env ", 1);
    EXPECT_EQ(withEnvironmentOptions({"-Dorlex.t2=arg", "--plan"}),
              (Args{"-Dorlex.t1=env", "-Dorlex.t2=env", "-Dorlex.t2=arg", "--plan"}));
    setenv("ORLEX_LAUNCHER_OPTIONS", "-Dorlex.t1=env --plan", 1);
    EXPECT_EQ(orlex::test::failureMessage<common::FormatFailure>([] { (void)withEnvironmentOptions({}); }),
              "Option invalide dans ORLEX_LAUNCHER_OPTIONS : --plan");
    unsetenv("ORLEX_LAUNCHER_OPTIONS");
}

TEST(Arguments, OnlyLeadingDefinitionsBecomeProperties) {
    const Args rest =
        takeProperties({"-Dorlex.t1=1", "-Dorlex.t2=a=b", "-Dorlex.t3", "--plan", "-Dorlex.t4=late"});
    EXPECT_EQ(rest, (Args{"--plan", "-Dorlex.t4=late"}));
    EXPECT_EQ(common::property("orlex.t1"), "1");
    EXPECT_EQ(common::property("orlex.t2"), "a=b");
    EXPECT_EQ(common::property("orlex.t3"), "");
    EXPECT_EQ(common::property("orlex.t4"), std::nullopt);
    EXPECT_EQ(orlex::test::failureMessage<common::FormatFailure>([] { takeProperties({"-D=x"}); }),
              "Propriété sans nom : -D=x");
    for (const char* name : {"orlex.t1", "orlex.t2", "orlex.t3"})
        common::clearProperty(name);
}

TEST(Configuration, ComesFromTheArgumentsAndTheProperties) {
    const std::vector<std::string> names{TRUST_STORE_PROPERTY,      TRUST_STORE_PASSWORD_PROPERTY,
                                         DOWNLOAD_TIMEOUT_PROPERTY, HALVO_ORIGIN_PROPERTY,
                                         GAME_SESSION_PROPERTY,     DISCORD_APPLICATION_ID_PROPERTY,
                                         CHANNEL_PROPERTY};
    const Args rest = takeProperties(
        {"-Djavax.net.ssl.trustStore=/certs/ca.p12", "-Djavax.net.ssl.trustStorePassword=secret",
         "-Dorlex.downloadTimeoutSeconds=7", "-Dorlex.halvoOrigin=https://id.example/",
         "-Dorlex.gameSession=https://play.example/mmo/session",
         "-Dorlex.discord.applicationId= 123456789012345", "-Dorlex.channel=https://property.example/client/",
         "--root", "/games/orlex", "--archive", "/a.zip"});

    const LauncherConfig configured = configure(rest);
    EXPECT_EQ(configured.root, fs::path("/games/orlex"));
    EXPECT_EQ(configured.archive, fs::path("/a.zip"));
    EXPECT_EQ(configured.channel, "https://property.example/client/");
    const net::TrustConfig store{fs::path("/certs/ca.p12"), "secret"};
    EXPECT_EQ(configured.engine.transport.trust, store);
    EXPECT_EQ(configured.account.trust, store);
    EXPECT_EQ(configured.gameSession.trust, store);
    EXPECT_EQ(configured.engine.transport.downloadTimeout, std::chrono::seconds(7));
    EXPECT_EQ(configured.account.origin, "https://id.example/");
    EXPECT_EQ(configured.gameSession.endpoint, "https://play.example/mmo/session");
    EXPECT_EQ(configured.discordApplicationId, " 123456789012345");
    // Passed on: the trust store to the game; every setting but the channel (a flag) to a new launcher.
    using Properties = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(configured.gameProperties, (Properties{{TRUST_STORE_PROPERTY, "/certs/ca.p12"},
                                                     {TRUST_STORE_PASSWORD_PROPERTY, "secret"}}));
    EXPECT_EQ(configured.launcherProperties,
              (Properties{{TRUST_STORE_PROPERTY, "/certs/ca.p12"},
                          {TRUST_STORE_PASSWORD_PROPERTY, "secret"},
                          {HALVO_ORIGIN_PROPERTY, "https://id.example/"},
                          {GAME_SESSION_PROPERTY, "https://play.example/mmo/session"},
                          {DOWNLOAD_TIMEOUT_PROPERTY, "7"},
                          {DISCORD_APPLICATION_ID_PROPERTY, " 123456789012345"}}));
    for (const std::string& name : names)
        common::clearProperty(name);

    common::setProperty(TRUST_STORE_PROPERTY, "");
    const LauncherConfig defaults =
        configure({"--root", "/games/orlex", "--channel", "https://flag.example/c/"});
    EXPECT_EQ(defaults.channel, "https://flag.example/c/");
    EXPECT_EQ(defaults.archive, defaultArchivePath());
    EXPECT_EQ(defaults.engine.transport.trust, net::TrustConfig{}) << "an empty store names none";
    EXPECT_EQ(defaults.engine.transport.downloadTimeout, std::chrono::seconds(45));
    EXPECT_EQ(defaults.account.origin, accounts::DEFAULT_HALVO_ORIGIN);
    EXPECT_EQ(defaults.gameSession.endpoint, accounts::DEFAULT_GAME_SESSION);
    EXPECT_EQ(defaults.discordApplicationId, "");
    common::clearProperty(TRUST_STORE_PROPERTY);
}

TEST(Arguments, TheDefaultChannelIsAnAcceptedHttpsChannelForGameReleases) {
    const std::string channel = DEFAULT_CHANNEL;
    update::checkChannelBase(channel);
    EXPECT_TRUE(channel.ends_with(".example/client/")) << channel;
    // The game-session endpoint is fixed on the update service's own host.
    EXPECT_EQ(update::resolveUrl(channel, "/mmo/session"), accounts::DEFAULT_GAME_SESSION);
}

// The real entry point in this process against a published channel served over HTTPS on 127.0.0.1.
class Entry : public ::testing::Test {
protected:
    struct Run {
        int status;
        std::string out;
        std::string err;
    };

    Entry() {
        common::usePreferenceDirectory((dir_ / "config").string());
        common::Preferences(PREFS).put("installation", preferred_.string());
        archive_ = test::makeArchive(dir_ / "archive",
                                     {{"release-public.der", test::publicDerOf(channel_.privateKeyFile())}});
    }
    ~Entry() override {
        common::clearProperty(CHANNEL_PROPERTY);
        common::clearProperty(TRUST_STORE_PROPERTY);
    }

    // A launch trusting the channel's CA through the property, then args.
    Run launch(const Args& args) {
        Args all{std::string("-D") + TRUST_STORE_PROPERTY + "=" + channel_.ca().caPem().string()};
        all.insert(all.end(), args.begin(), args.end());
        std::ostringstream out, err;
        const int status = launcherMain(all, out, err);
        return {status, out.str(), err.str()};
    }
    // The archive and the channel given, then args.
    Run launchOn(const fs::path& root, const Args& args) {
        Args all{"--archive", archive_.string(), "--channel", channel_.baseUrl(), "--root", root.string()};
        all.insert(all.end(), args.begin(), args.end());
        return launch(all);
    }
    std::size_t blobRequests() const {
        std::size_t count = 0;
        for (const auto& request : const_cast<orlex::test::TestChannel&>(channel_).server().requests())
            count += request.path.starts_with("/blobs/") ? 1 : 0;
        return count;
    }

    orlex::test::TempDir dir_;
    fs::path preferred_ = dir_ / "preferred root";
    orlex::test::TestChannel channel_;
    fs::path archive_;
    orlex::test::TestChannel::Files release_{{"app/client.txt", "client"},
                                             {"+x runtime/bin/java", "#!/bin/sh\n"}};
};

TEST_F(Entry, ARootFlagInLastPositionLeavesTheChosenInstallationInForce) {
    channel_.publish(release_, 1);
    const Run run =
        launch({"--archive", archive_.string(), "--channel", channel_.baseUrl(), "--plan", "--root"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_directory(preferred_));
}

TEST_F(Entry, TheFirstRootGivenIsUsed) {
    channel_.publish(release_, 1);
    const Run run = launchOn(dir_ / "A", {"--root", (dir_ / "B").string(), "--plan"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_directory(dir_ / "A"));
    EXPECT_FALSE(fs::exists(dir_ / "B"));
    EXPECT_FALSE(fs::exists(preferred_));
}

TEST_F(Entry, TheChannelComesFromTheCommandLineThenFromTheProperty) {
    channel_.publish(release_, 1);
    const Args base{"--archive", archive_.string(), "--root", (dir_ / "root").string(), "--plan"};

    Args fromProperty{"-Dorlex.channel=" + channel_.baseUrl()};
    fromProperty.insert(fromProperty.end(), base.begin(), base.end());
    const Run viaProperty = launch(fromProperty);
    EXPECT_EQ(viaProperty.status, 0) << viaProperty.err;
    EXPECT_EQ(viaProperty.out, "PLAN files=2 bytes=16 version=1.0.1\n");

    Args overridden{"-Dorlex.channel=https://127.0.0.1:9/client", "--channel", channel_.baseUrl()};
    overridden.insert(overridden.end(), base.begin(), base.end());
    const Run viaFlag = launch(overridden);
    EXPECT_EQ(viaFlag.status, 0) << viaFlag.err;
    EXPECT_EQ(viaFlag.out, "PLAN files=2 bytes=16 version=1.0.1\n");
}

TEST_F(Entry, PlanTogetherWithInstallOnlyPlans) {
    channel_.publish(release_, 1);
    const Run run = launchOn(dir_ / "root", {"--plan", "--install"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "PLAN files=2 bytes=16 version=1.0.1\n");
    EXPECT_EQ(blobRequests(), 0u);
    EXPECT_FALSE(fs::exists(dir_ / "root" / "current"));
}

TEST_F(Entry, InstallReportsEveryProgressEventThenVerifyNamesTheRelease) {
    channel_.publish(release_, 1);
    const fs::path root = dir_ / "root";

    const Run installed = launchOn(root, {"--install"});
    ASSERT_EQ(installed.status, 0) << installed.err;
    std::istringstream lines(installed.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "PLAN files=2 bytes=16 version=1.0.1");
    std::vector<std::string> progress;
    while (std::getline(lines, line))
        progress.push_back(line);
    ASSERT_FALSE(progress.empty());
    for (const std::string& event : progress)
        EXPECT_TRUE(std::regex_match(event, std::regex(".+ [0-9]+/16"))) << event;
    EXPECT_EQ(progress.back(), "Prêt 16/16");

    const Run verified = launchOn(root, {"--verify"});
    ASSERT_EQ(verified.status, 0) << verified.err;
    ASSERT_TRUE(verified.out.starts_with("VERIFIED ")) << verified.out;
    EXPECT_TRUE(verified.out.ends_with("\n"));
    const fs::path named = verified.out.substr(9, verified.out.size() - 10);
    EXPECT_TRUE(fs::equivalent(named.parent_path(), root / "releases")) << named;
    EXPECT_EQ(orlex::test::readFile(named / "app/client.txt"), "client");

    const std::size_t fetched = blobRequests();
    const Run repaired = launchOn(root, {"--repair"});
    EXPECT_EQ(repaired.status, 0) << repaired.err;
    EXPECT_TRUE(repaired.out.starts_with("PLAN files=0 bytes=0 version=1.0.1\n")) << repaired.out;
    EXPECT_EQ(blobRequests(), fetched);
}

TEST_F(Entry, WindowModesWithoutAUserInterfaceEndWithStatusOneAndSaySo) {
    for (const Args& mode : {Args{"--managed"}, Args{"--ui-smoke"}}) {
        const Run run = launchOn(dir_ / "root", mode);
        EXPECT_EQ(run.status, 1) << ::testing::PrintToString(mode);
        EXPECT_TRUE(run.err.starts_with("Cette version du lanceur n’a pas encore le mode ")) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(launchOn(dir_ / "root", {"--managed"}).err.find("--managed") != std::string::npos);
    EXPECT_TRUE(channel_.server().requests().empty());
}

TEST_F(Entry, WindowModesConfirmTheStartOnlyOnceTheWindowIsUp) {
    const fs::path handshake = dir_ / "launcher-ready";
    ::setenv("ORLEX_LAUNCHER_HANDSHAKE", handshake.c_str(), 1);
    std::vector<WindowStart> starts;
    const WindowModes windows = [&](Launcher& launcher, const WindowStart& start) {
        EXPECT_EQ(launcher.root().filename(), "root");
        EXPECT_FALSE(fs::exists(handshake));
        start.windowShown();
        starts.push_back(start);
        return 0;
    };
    const auto launchWindows = [&](Args args) {
        Args all{"--archive",        archive_.string(), "--channel",
                 channel_.baseUrl(), "--root",          (dir_ / "root").string()};
        all.insert(all.end(), args.begin(), args.end());
        std::ostringstream out, err;
        return launcherMain(all, out, err, {.windows = windows, .intro = {}});
    };

    EXPECT_EQ(launchWindows({"--managed"}), 0);
    EXPECT_EQ(orlex::test::readFile(handshake), std::to_string(::getpid()));
    fs::remove(handshake);
    EXPECT_EQ(launchWindows({"--ui-smoke", "--screenshot", (dir_ / "shot.png").string()}), 0);
    ::unsetenv("ORLEX_LAUNCHER_HANDSHAKE");
    fs::remove(handshake);
    EXPECT_EQ(launchWindows({"--ui-smoke"}), 0);
    EXPECT_FALSE(fs::exists(handshake));

    ASSERT_EQ(starts.size(), 3u);
    EXPECT_FALSE(starts[0].selfCheck);
    EXPECT_TRUE(starts[1].selfCheck);
    EXPECT_EQ(starts[1].screenshot, dir_ / "shot.png");
    EXPECT_EQ(starts[2].screenshot, "/tmp/orlex-launcher.png");
    // A plain start stays the self-update's, not the window's.
    EXPECT_EQ(launchWindows({}), 1);
    EXPECT_EQ(starts.size(), 3u);
}

TEST_F(Entry, OfTwoLaunchersInstallingAtOnceOneProceedsAndTheOtherIsTurnedAway) {
    channel_.publish(release_, 1);
    const std::string blob = orlex::test::TestChannel::blobPath("client");
    channel_.server().inject(blob, orlex::test::Fault::stallFor(std::chrono::seconds(3)));
    const Args install{std::string("-D") + TRUST_STORE_PROPERTY + "=" + channel_.ca().caPem().string(),
                       "--archive",
                       archive_.string(),
                       "--channel",
                       channel_.baseUrl(),
                       "--root",
                       (dir_ / "root").string(),
                       "--install"};

    orlex::test::ProcessResult first;
    std::thread installing(
        [&] { first = orlex::test::runProcess(orlex::test::builtProgram("orlex-launcher"), install); });
    while (channel_.server().rangesFor(blob).empty())  // the first one holds the installation, fetching
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const orlex::test::ProcessResult second =
        orlex::test::runProcess(orlex::test::builtProgram("orlex-launcher"), install);
    installing.join();

    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(second.err.starts_with("Installation déjà utilisée\n")) << second.err;
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(launchOn(dir_ / "root", {"--verify"}).status, 0);
}

TEST_F(Entry, FailuresEndWithStatusOneAndTheirTextOnStandardErrorOnly) {
    channel_.publish(release_, 1);
    const fs::path root = dir_ / "root";
    std::string unslashed = channel_.baseUrl();
    unslashed.pop_back();

    const Run badChannel = launch(
        {"--archive", archive_.string(), "--root", root.string(), "--channel", unslashed, "--install"});
    EXPECT_EQ(badChannel.status, 1);
    EXPECT_EQ(badChannel.err, "URL de canal invalide\n");
    EXPECT_EQ(badChannel.out, "");
    EXPECT_TRUE(channel_.server().requests().empty());

    const fs::path keyless = test::makeArchive(dir_ / "keyless", {{"logo.png", "png"}});
    const Run noKey = launch({"--archive", keyless.string(), "--root", root.string(), "--channel",
                              channel_.baseUrl(), "--install"});
    EXPECT_EQ(noKey.status, 1);
    EXPECT_EQ(noKey.err, "Clé de signature absente\n");

    // A failure with a cause: nothing listens on port 1, the transport failure keeps the refusal below it.
    const Run unreachable = launch({"--archive", archive_.string(), "--root", root.string(), "--channel",
                                    "https://127.0.0.1:1/client/", "--plan"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.err.find("\nCause : "), std::string::npos) << unreachable.err;
    EXPECT_TRUE(unreachable.err.ends_with("\n"));

    const Run nothingInstalled = launchOn(root, {"--verify"});
    EXPECT_EQ(nothingInstalled.status, 1);
    EXPECT_FALSE(nothingInstalled.err.empty());

    const Run badProperty = launch({"-D=1", "--plan"});
    EXPECT_EQ(badProperty.status, 1);
    EXPECT_EQ(badProperty.err, "Propriété sans nom : -D=1\n");

    EXPECT_FALSE(fs::exists(root / "userdata"));
}

}  // namespace
}  // namespace orlex::launcher
