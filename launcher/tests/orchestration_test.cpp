#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "launcher/launcher.h"
#include "launcher/tests/launcher_fixture.h"
#include "tests/support/files.h"
#include "tests/support/test_channel.h"

namespace orlex::launcher {
namespace {

namespace fs = std::filesystem;
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

// A launcher on the sibling channels "<server>/client/" (game) and "<server>/launcher/" (launcher).
class Orchestration : public LauncherFixture {
protected:
    TestChannel channel;

    void SetUp() override {
        LauncherConfig config = fastConfig(channel.url("client/"));
        config.engine = channel.engineSettings();
        make(config, channel.publicKey());
    }

    std::string publishGame(const TestChannel::Files& files, std::int64_t sequence) {
        return channel.publishUnder("client/", files, sequence, "client");
    }
    std::string publishLauncher(std::int64_t sequence) {
        return channel.publishUnder("launcher/", LAUNCHER, sequence, "launcher");
    }
    // The launcher release installed as the running one, so that the probe's launcher side is quiet.
    void installLauncherRelease() {
        const std::unique_ptr<update::Patcher> engine = launcher->selfPatcher();
        engine->install(engine->plan(engine->remote()));
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
        launcher->monitorUpdates();
        view->waitIdle();
    }
    void installGameNow() {
        operate([this] { launcher->ensureGameInstalled(); });
        ASSERT_TRUE(launcher->ready);
    }
};

TEST_F(Orchestration, FirstStartInstallsTheGameThenOffersToPlay) {
    const std::string id = publishGame(GAME, 1);
    launcher->halvoIdentity.store("joueur");

    operate([this] { launcher->ensureGameInstalled(); });

    EXPECT_TRUE(launcher->ready);
    EXPECT_EQ(launcher->checkedGameManifest.load(), id);
    ASSERT_TRUE(launcher->remote.load());
    EXPECT_EQ(launcher->remote.load()->id, id);
    EXPECT_EQ(test::readFile(launcher->patcher().verifiedRelease() / "app/game.jar"),
              GAME.at("app/game.jar"));
    EXPECT_EQ(view->last("action"), "JOUER");
    EXPECT_EQ(view->last("visible"), "1");
    EXPECT_EQ(view->last("installed"), "Version installée : 1.0.1");
    EXPECT_EQ(view->last("bar"), "1000");
    EXPECT_EQ(view->last("status"), "Prêt à jouer.");
    const std::vector<std::string> statuses = view->values("status");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Prêt."), statuses.end()) << "the download's end";
    // The operation ended by refreshing the release state, and the step says so until the next one.
    EXPECT_EQ(launcher->operationStep.load(), "distribution_check");
}

TEST_F(Orchestration, RefreshNamesWhatTheMainButtonWouldDo) {
    publishGame(GAME, 1);
    operate([this] { launcher->refresh(); });

    EXPECT_FALSE(launcher->ready);
    EXPECT_EQ(launcher->checkedGameManifest.load(), "");
    EXPECT_EQ(view->last("action"), "INSTALLER");
    EXPECT_EQ(view->last("visible"), "0") << "nobody is signed in";
    EXPECT_EQ(view->last("installed"), "Version installée : aucune");
    EXPECT_EQ(view->last("bar"), "0");
    EXPECT_EQ(view->last("status"), "Mise à jour prête • 0,3 Mo");  // 260,024 bytes

    operate([this] { launcher->installGame(); });
    EXPECT_EQ(view->last("action"), "JOUER");

    publishGame(nextGame(), 2);
    launcher->halvoIdentity.store("joueur");
    operate([this] { launcher->refresh(); });

    EXPECT_FALSE(launcher->ready);
    EXPECT_EQ(view->last("action"), "METTRE À JOUR");
    EXPECT_EQ(view->last("visible"), "1");
    EXPECT_EQ(view->last("installed"), "Version installée : 1.0.1");
    EXPECT_EQ(view->last("status"), "Mise à jour prête • 0,2 Mo");  // only the changed 150,000 bytes
}

TEST_F(Orchestration, RepairingACurrentInstallationFetchesNothing) {
    publishGame(GAME, 1);
    installGameNow();
    const std::size_t blobs = blobRequests();

    operate([this] { launcher->installGame(); });

    EXPECT_EQ(blobRequests(), blobs);
    EXPECT_TRUE(launcher->ready);
    EXPECT_EQ(view->last("status"), "Prêt à jouer.");
}

TEST_F(Orchestration, ProbeDoesNotPlanAReleaseAlreadyFoundCurrent) {
    publishGame(GAME, 1);
    const std::string launcherId = publishLauncher(1);
    installLauncherRelease();
    installGameNow();
    probe();
    ASSERT_EQ(launcher->checkedLauncherManifest.load(), launcherId);
    ASSERT_EQ(logReports("update_probe"), 0u);

    // Planning takes the installation lock: with both held elsewhere, any planning would fail the probe.
    update::Lock gameLock = launcher->patcher().lock();
    const std::unique_ptr<update::Patcher> selfEngine = launcher->selfPatcher();
    update::Lock launcherLock = selfEngine->lock();
    const std::size_t requests = channel.server().requests().size();
    view->clear();

    probe();

    EXPECT_EQ(requestPaths(requests),
              (std::vector<std::string>{"/launcher/current.json", "/client/current.json"}));
    EXPECT_EQ(logReports("update_probe"), 0u);
    EXPECT_EQ(view->events(), std::vector<std::string>{}) << "a current game changes nothing visible";
    EXPECT_TRUE(launcher->ready);

    // Once not ready, the same release is planned again (and here meets the held lock).
    launcher->ready = false;
    probe();
    EXPECT_EQ(logReports("phase=update_probe"), 1u);
    EXPECT_EQ(view->last("status"), PROBE_UNAVAILABLE);
    EXPECT_FALSE(launcher->updateProbeRunning);
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
    launcher->monitorUpdates();
    view->waitUntil([&] { return enabledCount() > operations; });
    view->waitIdle();

    EXPECT_TRUE(launcher->ready);
    EXPECT_EQ(launcher->checkedGameManifest.load(), next);
    EXPECT_EQ(launcher->patcher().installed()->id, next);
    EXPECT_EQ(view->values("launcherUpdate"), std::vector<std::string>{});
    const std::vector<std::string> statuses = view->values("status");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), "Mise à jour du jeu…");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Prêt."), statuses.end()) << "download progress";
    EXPECT_EQ(statuses.back(), "Prêt à jouer.");
    EXPECT_EQ(logReports("code="), 0u);
}

TEST_F(Orchestration, AnOperationStartedMeanwhileTakesPrecedenceOverTheAutomaticUpdate) {
    publishGame(GAME, 1);
    publishLauncher(1);
    installLauncherRelease();
    installGameNow();
    publishGame(nextGame(), 2);
    view->clear();

    // The UI thread is busy while the probe posts; by the time the post runs, an operation has begun.
    std::promise<void> release;
    view->ui.submit([future = release.get_future().share()] { future.wait(); });
    launcher->monitorUpdates();
    launcher->operationRunning = true;
    release.set_value();
    view->waitIdle();
    launcher->operationRunning = false;

    EXPECT_FALSE(launcher->ready);
    EXPECT_EQ(view->events(), std::vector<std::string>{});
}

TEST_F(Orchestration, ProbeOffersANewerLauncherReleaseUntilItIsDealtWith) {
    publishGame(GAME, 1);
    installGameNow();
    const std::string launcherId = publishLauncher(1);

    probe();
    probe();

    EXPECT_EQ(view->values("launcherUpdate"), (std::vector<std::string>{launcherId, launcherId}));
    EXPECT_EQ(launcher->checkedLauncherManifest.load(), "");
}

TEST_F(Orchestration, ProbeNeverOffersTheLauncherReleaseThatFailedToStart) {
    publishGame(GAME, 1);
    installGameNow();
    const std::string launcherId = publishLauncher(1);
    test::writeFile(root / "userdata/launcher-failed-manifest", "  " + launcherId + "\n");

    probe();

    EXPECT_EQ(view->values("launcherUpdate"), std::vector<std::string>{});
    EXPECT_EQ(launcher->checkedLauncherManifest.load(), launcherId);
    EXPECT_TRUE(launcher->ready);
    EXPECT_EQ(logReports("code="), 0u);

    // A release with another id is offered again.
    const std::string next = channel.publishUnder("launcher/", {{"app/launcher.zip", "v2"}}, 2, "launcher");
    probe();
    EXPECT_EQ(view->values("launcherUpdate"), std::vector<std::string>{next});
}

class Probe : public LauncherFixture {
protected:
    void SetUp() override { make(fastConfig(UNREACHABLE)); }
};

TEST_F(Probe, AnUnreachableChannelLogsOneReportPerProbe) {
    launcher->monitorUpdates();
    launcher->monitorUpdates();
    view->waitIdle();

    EXPECT_EQ(logReports("phase=update_probe"), 2u);
    EXPECT_EQ(logReports("code="), 2u);
    EXPECT_EQ(view->values("status"), (std::vector<std::string>{PROBE_UNAVAILABLE, PROBE_UNAVAILABLE}));
    EXPECT_FALSE(launcher->updateProbeRunning);
    EXPECT_EQ(launcher->operationStep.load(), "idle") << "the probe is not an operation";
}

TEST_F(Probe, StaysQuietWhileAnythingElseIsUnderway) {
    const auto quiet = [&](const char* situation) {
        launcher->monitorUpdates();
        view->waitIdle();
        EXPECT_EQ(logReports("code="), 0u) << situation;
        EXPECT_EQ(view->events(), std::vector<std::string>{}) << situation;
    };
    launcher->operationRunning = true;
    quiet("an operation runs");
    launcher->operationRunning = false;

    launcher->selfUpdatePrompt = true;
    quiet("a launcher update or an update dialog");
    launcher->selfUpdatePrompt = false;

    launcher->updateProbeRunning = true;
    quiet("another probe runs");
    launcher->updateProbeRunning = false;

    view->displayable_ = false;
    quiet("the window is disposed");
    view->displayable_ = true;

    LauncherConfig config = fastConfig(UNREACHABLE);
    config.root = root / "headless";
    Launcher headless(config, key());
    headless.monitorUpdates();
    EXPECT_FALSE(fs::exists(root / "headless/userdata/launcher.log")) << "no window at all";

    launcher->monitorUpdates();
    EXPECT_EQ(logReports("code="), 1u) << "and probes again once nothing stands in the way";
}

TEST_F(Probe, RunsAgainAfterEachProbeUntilStopped) {
    LauncherConfig config = fastConfig(UNREACHABLE);
    config.probeFirst = std::chrono::milliseconds(0);
    config.probeEvery = std::chrono::milliseconds(1);
    launcher.reset();
    make(config);

    launcher->startUpdateProbe();
    view->waitUntil([&] { return logReports("phase=update_probe") >= 3; });
    launcher->stopUpdateProbe();

    EXPECT_FALSE(launcher->updateProbeRunning);
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

    EXPECT_FALSE(launcher->failedLauncher(release)) << "no record";
    test::writeFile(record, "\t" + release.id + " \r\n");
    EXPECT_TRUE(launcher->failedLauncher(release));
    test::writeFile(record, std::string(64, 'b'));
    EXPECT_FALSE(launcher->failedLauncher(release)) << "another release";
    test::writeFile(record, release.id.substr(1));
    EXPECT_FALSE(launcher->failedLauncher(release)) << "a prefix";
    fs::remove(record);
    fs::create_directories(record / release.id);
    EXPECT_FALSE(launcher->failedLauncher(release)) << "not a regular file";
}

}  // namespace
}  // namespace orlex::launcher
