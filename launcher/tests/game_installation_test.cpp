#include "launcher/game_installation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <thread>

#include "common/failure.h"
#include "launcher/launcher.h"
#include "launcher/tests/launcher_fixture.h"
#include "tests/support/files.h"
#include "tests/support/test_channel.h"

namespace orlex::launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::LauncherFixture;
using test::randomBytes;
using test::TestChannel;

constexpr const char* PROBE_UNAVAILABLE =
    "Vérification des mises à jour indisponible · nouvel essai automatique.";

const TestChannel::Files GAME = {
    {"app/game.jar", randomBytes(200'000, 1)},
    {"assets/intro.bin", randomBytes(60'000, 2)},
    {"+x runtime/bin/java", "#!/bin/sh\necho runtime\n"},
};

TestChannel::Files nextGame() {
    TestChannel::Files next = GAME;
    next["app/game.jar"] = randomBytes(150'000, 7);
    return next;
}

const TestChannel::Files LAUNCHER = {
    {"app/launcher.zip", randomBytes(40'000, 3)},
    {"+x runtime/bin/orlex-launcher", "#!/bin/sh\n"},
};

// Bytes this process has read so far through read() and its kind, page cache hits included; -1 where
// the system does not tell.
long long bytesReadByThisProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return -1;
}

// A launcher on the sibling channels "<server>/client/" (game) and "<server>/launcher/" (launcher).
class Orchestration : public LauncherFixture {
protected:
    TestChannel channel;

    void SetUp() override {
        LauncherConfig config = fastConfig(channel.url("client/"));
        config.engine = channel.engineSettings();
        make(config, channel.publicKey());
    }

    GameInstallation& installation() { return launcher->installation(); }
    std::string publishGame(const TestChannel::Files& files, std::int64_t sequence) {
        return channel.publishUnder("client/", files, sequence, "client");
    }
    std::string publishLauncher(std::int64_t sequence) {
        return channel.publishUnder("launcher/", LAUNCHER, sequence, "launcher");
    }
    // The launcher release installed as the running one, so that the probe's launcher side is quiet.
    void installLauncherRelease() {
        update::Patcher& engine = installation().launcherEngine();
        engine.install(engine.plan(engine.remote()));
    }
    std::size_t blobRequests() {
        const auto requests = channel.server().requests();
        return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [](const auto& r) {
            return r.path.find("/blobs/") != std::string::npos;
        }));
    }
    std::vector<std::string> requestPaths(std::size_t from) {
        std::vector<std::string> paths;
        const auto requests = channel.server().requests();
        for (std::size_t i = from; i < requests.size(); ++i)
            paths.push_back(requests[i].path);
        return paths;
    }
    // The probe as "orlex-update-monitor" runs it; then waits for what it posted to settle.
    void probe() {
        installation().monitorUpdates();
        view->waitIdle();
    }
    void installGameNow() {
        operate([this] { installation().ensureGameInstalled(); });
        ASSERT_TRUE(installation().ready());
    }
};

TEST_F(Orchestration, FirstStartInstallsTheGameThenOffersToPlay) {
    const std::string id = publishGame(GAME, 1);
    signInAs("joueur");

    operate([this] { installation().ensureGameInstalled(); });

    EXPECT_TRUE(installation().ready());
    EXPECT_EQ(installation().checkedGameManifest(), id);
    ASSERT_TRUE(installation().remote());
    EXPECT_EQ(installation().remote()->id, id);
    EXPECT_EQ(test::readFile(installation().engine().verifiedRelease() / "app/game.jar"),
              GAME.at("app/game.jar"));
    EXPECT_EQ(view->last("installation"), "Version installée : 1.0.1|JOUER|1|1000|Prêt à jouer.");
    const std::vector<std::string> statuses = view->values("status");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Prêt."), statuses.end()) << "the download's end";
    // The operation ended by refreshing the release state, and the step says so until the next one.
    EXPECT_EQ(launcher->runner().operationStep(), "distribution_check");
}

TEST_F(Orchestration, RefreshNamesWhatTheMainButtonWouldDo) {
    publishGame(GAME, 1);
    operate([this] { installation().refresh(); });
    EXPECT_FALSE(installation().ready());
    EXPECT_EQ(installation().checkedGameManifest(), "");
    // Nobody is signed in: the button stays hidden. 260,024 bytes to fetch.
    EXPECT_EQ(view->last("installation"),
              "Version installée : aucune|INSTALLER|0|0|Mise à jour prête • 0,3 Mo");

    operate([this] { installation().installGame(); });
    EXPECT_EQ(view->last("installation"), "Version installée : 1.0.1|JOUER|0|1000|Prêt à jouer.");

    publishGame(nextGame(), 2);
    signInAs("joueur");
    operate([this] { installation().refresh(); });
    EXPECT_FALSE(installation().ready());
    // Only the changed 150,000 bytes.
    EXPECT_EQ(view->last("installation"),
              "Version installée : 1.0.1|METTRE À JOUR|1|0|Mise à jour prête • 0,2 Mo");
}

TEST_F(Orchestration, AStartCheckWithNothingToFetchReadsTheInstallationOnce) {
    constexpr long long GAME_BYTES = 8'000'000;
    publishGame({{"app/game.jar", randomBytes(GAME_BYTES, 5)}}, 1);
    installGameNow();
    const std::size_t requests = channel.server().requests().size();
    const long long before = bytesReadByThisProcess();
    if (before < 0)
        GTEST_SKIP() << "this system does not count the bytes a process reads";

    operate([this] { installation().ensureGameInstalled(); });

    const long long read = bytesReadByThisProcess() - before;
    EXPECT_GE(read, GAME_BYTES) << "every installed file is hashed";
    EXPECT_LT(read, GAME_BYTES * 3 / 2) << "and only once";
    EXPECT_EQ(requestPaths(requests), std::vector<std::string>{"/client/current.json"});
    EXPECT_EQ(view->last("installation"), "Version installée : 1.0.1|JOUER|0|1000|Prêt à jouer.");
}

TEST_F(Orchestration, RepairingACurrentInstallationFetchesNothing) {
    publishGame(GAME, 1);
    installGameNow();
    const std::size_t blobs = blobRequests();

    operate([this] { installation().installGame(); });

    EXPECT_EQ(blobRequests(), blobs);
    EXPECT_TRUE(installation().ready());
    EXPECT_EQ(view->last("installation"), "Version installée : 1.0.1|JOUER|0|1000|Prêt à jouer.");
}

TEST_F(Orchestration, AFailedOperationLeavesTheGameNotReadyUnlessTheSessionExpired) {
    publishGame(GAME, 1);
    installGameNow();

    operate([] { throw common::SessionExpired(); });
    EXPECT_TRUE(installation().ready());

    operate([] { throw common::IoFailure("disque plein"); });
    EXPECT_FALSE(installation().ready());
}

TEST_F(Orchestration, ProbeDoesNotPlanAReleaseAlreadyFoundCurrent) {
    publishGame(GAME, 1);
    const std::string launcherId = publishLauncher(1);
    installLauncherRelease();
    installGameNow();
    probe();
    ASSERT_EQ(installation().checkedLauncherManifest(), launcherId);
    ASSERT_EQ(logReports("update_probe"), 0u);

    // Planning takes the installation lock: with both held elsewhere, any planning would fail the probe.
    update::Lock gameLock = installation().engine().lock();
    update::Lock launcherLock = installation().launcherEngine().lock();
    const std::size_t requests = channel.server().requests().size();
    view->clear();

    probe();

    EXPECT_EQ(requestPaths(requests),
              (std::vector<std::string>{"/launcher/current.json", "/client/current.json"}));
    EXPECT_EQ(logReports("update_probe"), 0u);
    EXPECT_EQ(view->events(), std::vector<std::string>{}) << "a current game changes nothing visible";
    EXPECT_TRUE(installation().ready());

    // Once a failed operation has left the game not ready, the same release is planned again (and here
    // meets the held lock).
    operate([] { throw common::IoFailure("disque plein"); });
    probe();
    EXPECT_EQ(logReports("phase=update_probe"), 1u);
    EXPECT_EQ(view->last("status"), PROBE_UNAVAILABLE);
    EXPECT_FALSE(installation().updateProbeRunning());
}

TEST_F(Orchestration, ProbeInstallsANewGameReleaseWithoutAsking) {
    publishGame(GAME, 1);
    publishLauncher(1);
    installLauncherRelease();
    installGameNow();
    probe();
    const std::string next = publishGame(nextGame(), 2);
    view->clear();

    const std::size_t operations = enabledCount();
    installation().monitorUpdates();
    view->waitUntil([&] { return enabledCount() > operations; });
    view->waitIdle();

    EXPECT_TRUE(installation().ready());
    EXPECT_EQ(installation().checkedGameManifest(), next);
    EXPECT_EQ(installation().engine().installed()->id, next);
    EXPECT_EQ(view->values("launcherUpdate"), std::vector<std::string>{});
    const std::vector<std::string> statuses = view->values("status");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), "Mise à jour du jeu…");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Prêt."), statuses.end()) << "download progress";
    EXPECT_EQ(view->last("installation"), "Version installée : 1.0.2|JOUER|0|1000|Prêt à jouer.");
    EXPECT_EQ(logReports("code="), 0u);
}

TEST_F(Orchestration, AnOperationStartedMeanwhileTakesPrecedenceOverTheAutomaticUpdate) {
    publishGame(GAME, 1);
    publishLauncher(1);
    installLauncherRelease();
    const std::string installed = [&] {
        installGameNow();
        return installation().engine().installed()->id;
    }();
    publishGame(nextGame(), 2);
    view->clear();

    // The UI thread is busy while the probe posts; by the time the post runs, an operation has begun.
    std::promise<void> uiFree, operationDone;
    view->ui.submit([this, free = uiFree.get_future().share(), done = operationDone.get_future().share()] {
        free.wait();
        launcher->runner().run([done] { done.wait(); });
    });
    installation().monitorUpdates();
    uiFree.set_value();
    view->waitFor("enabled 0 0");
    view->waitIdle();
    operationDone.set_value();
    view->waitFor("enabled 1 0");
    view->waitIdle();

    EXPECT_FALSE(installation().ready());
    EXPECT_EQ(view->events(), (std::vector<std::string>{"enabled 0 0", "enabled 1 0"})) << "one operation";
    EXPECT_EQ(installation().engine().installed()->id, installed);
}

TEST_F(Orchestration, AProbeUnderwayKeepsAnotherOneQuiet) {
    publishGame(GAME, 1);
    publishLauncher(1);
    installLauncherRelease();
    installGameNow();
    // Long enough for the second probe to start while the first waits for its answer.
    channel.server().inject("/launcher/current.json", test::Fault::stallFor(3s));
    const std::size_t requests = channel.server().requests().size();

    std::jthread first([this] { installation().monitorUpdates(); });
    channel.server().waitForRequests(requests + 1);
    EXPECT_TRUE(installation().updateProbeRunning());
    installation().monitorUpdates();
    first.join();

    EXPECT_EQ(requestPaths(requests),
              (std::vector<std::string>{"/launcher/current.json", "/client/current.json"}));
    EXPECT_FALSE(installation().updateProbeRunning());
}

TEST_F(Orchestration, ProbeOffersANewerLauncherReleaseUntilItIsDealtWith) {
    publishGame(GAME, 1);
    installGameNow();
    const std::string launcherId = publishLauncher(1);

    probe();
    probe();

    EXPECT_EQ(view->values("launcherUpdate"), (std::vector<std::string>{launcherId, launcherId}));
    EXPECT_EQ(installation().checkedLauncherManifest(), "");
}

TEST_F(Orchestration, ProbeNeverOffersTheLauncherReleaseThatFailedToStart) {
    publishGame(GAME, 1);
    installGameNow();
    const std::string launcherId = publishLauncher(1);
    test::writeFile(root / "userdata/launcher-failed-manifest", "  " + launcherId + "\n");

    probe();

    EXPECT_EQ(view->values("launcherUpdate"), std::vector<std::string>{});
    EXPECT_EQ(installation().checkedLauncherManifest(), launcherId);
    EXPECT_TRUE(installation().ready());
    EXPECT_EQ(logReports("code="), 0u);

    // A release with another id is offered again.
    const std::string next = channel.publishUnder("launcher/", {{"app/launcher.zip", "v2"}}, 2, "launcher");
    probe();
    EXPECT_EQ(view->values("launcherUpdate"), std::vector<std::string>{next});
}

TEST_F(Orchestration, ManualCheckOffersTheLauncherThenTheGameUpdateOrSaysAllIsCurrent) {
    publishGame(GAME, 1);
    installGameNow();
    const std::string launcherId = publishLauncher(1);
    operate([this] { installation().checkLauncherUpdate(); });
    EXPECT_EQ(view->values("launcherUpdate"), std::vector<std::string>{launcherId});

    installLauncherRelease();
    operate([this] { installation().checkLauncherUpdate(); });
    EXPECT_EQ(view->occurrences("launcherCurrent"), 1u);

    publishGame(nextGame(), 2);
    operate([this] { installation().checkLauncherUpdate(); });
    EXPECT_EQ(view->values("gameUpdate"), std::vector<std::string>{"150000"});
    EXPECT_EQ(view->occurrences("launcherCurrent"), 1u);
}

class Probe : public LauncherFixture {
protected:
    void SetUp() override { make(fastConfig(UNREACHABLE)); }
    GameInstallation& installation() { return launcher->installation(); }
};

TEST_F(Probe, AnUnreachableChannelLogsOneReportPerProbe) {
    installation().monitorUpdates();
    installation().monitorUpdates();
    view->waitIdle();

    EXPECT_EQ(logReports("phase=update_probe"), 2u);
    EXPECT_EQ(logReports("code="), 2u);
    EXPECT_EQ(view->values("status"), (std::vector<std::string>{PROBE_UNAVAILABLE, PROBE_UNAVAILABLE}));
    EXPECT_FALSE(installation().updateProbeRunning());
    EXPECT_EQ(launcher->runner().operationStep(), "idle") << "the probe is not an operation";
}

TEST_F(Probe, StaysQuietWhileAnythingElseIsUnderway) {
    const auto quiet = [&](const char* situation) {
        const std::size_t events = view->events().size();
        installation().monitorUpdates();
        view->waitIdle();
        EXPECT_EQ(logReports("code="), 0u) << situation;
        EXPECT_EQ(view->events().size(), events) << situation;
    };
    std::promise<void> operationDone;
    view->onUi(
        [&, done = operationDone.get_future().share()] { launcher->runner().run([done] { done.wait(); }); });
    quiet("an operation runs");
    operationDone.set_value();
    view->waitFor("enabled 1 0");

    installation().setSelfUpdatePrompt(true);
    quiet("a launcher update or an update dialog");
    installation().setSelfUpdatePrompt(false);

    view->displayable_ = false;
    quiet("the window is disposed");
    view->displayable_ = true;

    LauncherConfig config = fastConfig(UNREACHABLE);
    config.root = root / "headless";
    Launcher headless(config, key());
    headless.installation().monitorUpdates();
    EXPECT_FALSE(fs::exists(root / "headless/userdata/launcher.log")) << "no window at all";

    installation().monitorUpdates();
    EXPECT_EQ(logReports("code="), 1u) << "and probes again once nothing stands in the way";
}

TEST_F(Probe, RunsAgainAfterEachProbeUntilStopped) {
    LauncherConfig config = fastConfig(UNREACHABLE);
    config.probeFirst = std::chrono::milliseconds(0);
    config.probeEvery = std::chrono::milliseconds(1);
    launcher.reset();
    make(config);

    installation().startUpdateProbe();
    view->waitUntil([&] { return logReports("phase=update_probe") >= 3; });
    installation().stopUpdateProbe();

    EXPECT_FALSE(installation().updateProbeRunning());
    view->waitIdle();
    const std::vector<std::string> statuses = view->values("status");
    EXPECT_EQ(statuses.size(), logReports("phase=update_probe"));
    EXPECT_TRUE(
        std::all_of(statuses.begin(), statuses.end(), [](const auto& s) { return s == PROBE_UNAVAILABLE; }));
}

TEST_F(Probe, FailedReleaseRecordMatchesOnlyItsOwnTrimmedId) {
    update::Signed release;
    release.id = std::string(64, 'a');
    const fs::path record = root / "userdata/launcher-failed-manifest";
    EXPECT_FALSE(installation().failedLauncher(release)) << "no record";

    const struct {
        std::string text;
        bool failed;
        const char* what;
    } records[] = {
        {"\t" + release.id + " \r\n", true, "the id between blanks"},
        {std::string(64, 'b'), false, "another release"},
        {release.id.substr(1), false, "a prefix"},
    };
    for (const auto& r : records) {
        test::writeFile(record, r.text);
        EXPECT_EQ(installation().failedLauncher(release), r.failed) << r.what;
    }
    fs::remove(record);
    fs::create_directories(record / release.id);
    EXPECT_FALSE(installation().failedLauncher(release)) << "not a regular file";
}

}  // namespace
}  // namespace orlex::launcher
