#include "launcher/operation_runner.h"

#include <gtest/gtest.h>

#include <atomic>

#include "common/failure.h"
#include "launcher/launcher.h"
#include "launcher/progress_text.h"
#include "launcher/tests/launcher_fixture.h"

namespace orlex::launcher {
namespace {

using test::LauncherFixture;

class Runner : public LauncherFixture {
protected:
    void SetUp() override { make(fastConfig(UNREACHABLE)); }
    OperationRunner& runner() { return launcher->runner(); }
};

TEST_F(Runner, SessionExpirySignsOutAndLeavesTheMainButton) {
    signInAs("joueur");
    view->clear();

    operate([] { throw common::SessionExpired(); });

    EXPECT_EQ(launcher->session().identity(), "");
    EXPECT_EQ(launcher->session().gameToken(), "");
    // The sign-out's own status comes first; the classification's message is what stays visible.
    EXPECT_EQ(view->values("status"),
              (std::vector<std::string>{"Déconnecté.", "Session expirée. Reconnecte-toi."}));
    EXPECT_EQ(view->values("action"), std::vector<std::string>{});
    EXPECT_EQ(logReports("phase=operation"), 1u);
    EXPECT_NE(log().find("code=SESSION_EXPIRED phase=operation"), std::string::npos);
}

TEST_F(Runner, AnyOtherFailureAsksToRetryAndLogsOneReportForTheCurrentStep) {
    operate([this] {
        runner().setOperationStep("client_wait");
        try {
            throw common::IoFailure("Connexion perdue : secret=abc");
        } catch (...) {
            std::throw_with_nested(common::IoFailure("Transport interrompu"));
        }
    });

    EXPECT_EQ(view->last("action"), "RÉESSAYER");
    EXPECT_EQ(view->last("status"), "Opération interrompue · consulter launcher.log.");
    EXPECT_EQ(logReports("code="), 1u);
    EXPECT_NE(log().find("code=OPERATION_FAILED phase=client_wait"), std::string::npos);
    EXPECT_EQ(log().find("secret"), std::string::npos) << "messages never reach the log";
    // The step keeps its last value once the operation has ended.
    EXPECT_EQ(runner().operationStep(), "client_wait");
}

TEST_F(Runner, ControlsAreDisabledWhileTheOperationRunsAndLogoutNeedsASignedInPlayer) {
    std::atomic<bool> runningInside{false};
    std::string stepInside;
    operate([&] {
        runningInside = runner().operationRunning();
        stepInside = runner().operationStep();
    });
    EXPECT_TRUE(runningInside);
    EXPECT_EQ(stepInside, "operation");
    EXPECT_FALSE(runner().operationRunning());
    EXPECT_EQ(view->values("enabled"), (std::vector<std::string>{"0 0", "1 0"})) << "nobody signed in";

    const struct {
        const char* identity;
        const char* enabledAfter;
    } cases[] = {{" \t ", "1 0"}, {"joueur", "1 1"}};
    for (const auto& c : cases) {
        signInAs(c.identity);
        view->clear();
        operate([] {});
        EXPECT_EQ(view->values("enabled"), (std::vector<std::string>{"0 0", c.enabledAfter}))
            << "identity \"" << c.identity << "\"";
    }
}

TEST_F(Runner, WithoutAWindowFailuresAreStillLoggedAndNothingIsShown) {
    LauncherConfig config = fastConfig(UNREACHABLE);
    config.root = root / "other";
    Launcher headless(config, key());
    headless.runner().status("invisible");
    headless.runner().error(std::make_exception_ptr(common::IoFailure("disque plein")));
    EXPECT_NE(test::readFile(root / "other/userdata/launcher.log").find("code=OPERATION_FAILED phase=idle"),
              std::string::npos);
}

TEST_F(Runner, UiThreadFunctionsStopADebugBuildCalledFromElsewhere) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEBUG_DEATH(runner().run([] {}), "onUiThread");
    EXPECT_DEBUG_DEATH(launcher->session().logoutHalvo(), "onUiThread");
}

// A runner alone, with hooks that record what it asks of the rest of the launcher.
class RunnerHooks : public LauncherFixture {
protected:
    std::atomic<int> signOuts{0}, notReadys{0};
    std::atomic<bool> signOutOnUi{false}, notReadyOnUi{true};
    std::unique_ptr<OperationRunner> runner;

    void SetUp() override {
        runner = std::make_unique<OperationRunner>(
            fastConfig(UNREACHABLE), OperationRunner::Hooks{.signedIn = [] { return false; },
                                                            .signOut =
                                                                [this] {
                                                                    signOutOnUi = view->onUiThread();
                                                                    ++signOuts;
                                                                },
                                                            .notReady =
                                                                [this] {
                                                                    notReadyOnUi = view->onUiThread();
                                                                    ++notReadys;
                                                                }});
        runner->attachView(view);
    }
    void TearDown() override {
        view->ui.shutdown();
        runner.reset();
    }
    void fail(std::exception_ptr failure) {
        const std::size_t before = enabledCount();
        view->onUi([&] { runner->run([failure] { std::rethrow_exception(failure); }); });
        view->waitUntil([&] { return enabledCount() > before; });
        view->waitIdle();
    }
};

TEST_F(RunnerHooks, AnExpiredSessionSignsOutOnTheUiThreadAnyOtherFailureMarksTheGameNotReady) {
    fail(std::make_exception_ptr(common::SessionExpired()));
    EXPECT_EQ(signOuts, 1);
    EXPECT_TRUE(signOutOnUi);
    EXPECT_EQ(notReadys, 0);
    EXPECT_EQ(view->values("status"), std::vector<std::string>{"Session expirée. Reconnecte-toi."});

    view->clear();
    fail(std::make_exception_ptr(common::IoFailure("disque plein")));
    EXPECT_EQ(signOuts, 1);
    EXPECT_EQ(notReadys, 1);
    EXPECT_FALSE(notReadyOnUi) << "on the failing worker, before anything is shown";
    EXPECT_EQ(view->values("action"), std::vector<std::string>{"RÉESSAYER"});
}

class Progress : public LauncherFixture {
protected:
    static constexpr std::int64_t MS = 1'000'000;
    std::atomic<std::int64_t> clock{1'000 * MS};

    void SetUp() override {
        LauncherConfig config = fastConfig(UNREACHABLE);
        config.progressClock = [this] { return clock.load(); };
        make(config);
    }
    void at(std::int64_t time, update::Progress event) {
        clock = time;
        launcher->runner().progress(event);
    }
};

TEST_F(Progress, ThrottlesRepaintsButAlwaysShowsTheEnd) {
    const std::int64_t start = clock;
    at(start, {"app/game.jar", 100'000, 1'000'000, 0});
    at(start + 1 * MS, {"Prêt", 1'000'000, 1'000'000, 0});                      // the end always passes
    at(start + 80 * MS, {"app/other.jar", 500'000, 1'000'000, 0});              // 79 ms after the last shown
    at(start + 81 * MS, {"Préparation · app/lib.bin", 600'000, 1'000'000, 0});  // exactly 80 ms after
    at(start + 82 * MS, {"app/last.jar", 700'000, 1'000'000, 0});               // 1 ms after that one
    view->waitIdle();

    EXPECT_EQ(view->values("status"),
              (std::vector<std::string>{"Téléchargement…", "Prêt.", "Préparation des fichiers…"}));
    EXPECT_EQ(view->values("bar"), (std::vector<std::string>{"100", "1000", "600"}));
    EXPECT_EQ(view->values("transfer"),
              (std::vector<std::string>{"0,1 / 1,0 Mo · reste 0,9 Mo", "1,0 / 1,0 Mo · reste 0,0 Mo",
                                        "0,6 / 1,0 Mo · reste 0,4 Mo"}));
}

TEST(ProgressText, BarAndTransferLine) {
    EXPECT_EQ(progressBar(0, 0), 1000);
    EXPECT_EQ(progressBar(1, 3), 333);
    EXPECT_EQ(progressBar(2, 3), 666);
    EXPECT_EQ(progressBar(5'000'000'000'000, 10'000'000'000'000), 500) << "64-bit arithmetic";

    EXPECT_EQ(transferText(250'000, 1'000'000), "0,3 / 1,0 Mo · reste 0,8 Mo");
    EXPECT_EQ(transferText(150'000, 150'000), "0,2 / 0,2 Mo · reste 0,0 Mo");
    EXPECT_EQ(transferText(0, 0), "0,0 / 0,0 Mo · reste 0,0 Mo");
    EXPECT_EQ(transferText(12'345'678'901, 98'765'432'109), "12345,7 / 98765,4 Mo · reste 86419,8 Mo");
    EXPECT_EQ(transferText(2'000'000, 1'000'000), "2,0 / 1,0 Mo · reste 0,0 Mo");

    EXPECT_EQ(progressStatus("Préparation · app/game.jar"), "Préparation des fichiers…");
    EXPECT_EQ(progressStatus("Prêt"), "Prêt.");
    EXPECT_EQ(progressStatus("Prêt à jouer"), "Téléchargement…");
    EXPECT_EQ(progressStatus("app/game.jar"), "Téléchargement…");
}

}  // namespace
}  // namespace orlex::launcher
