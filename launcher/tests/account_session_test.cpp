// The account session's grant flows against the local fake services, seen through a recording window.

#include "launcher/account_session.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "accounts/editor_session_broker.h"
#include "accounts/halvo_id_client.h"
#include "common/failure.h"
#include "common/preferences.h"
#include "launcher/archive.h"
#include "launcher/tests/launcher_fixture.h"
#include "tests/support/failures.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"
#include "tools/fake_services.h"

namespace orlex::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class GrantFlow : public LauncherFixture {
protected:
    TempDir preferencesDir;
    TempDir certificates;
    TestCa ca{certificates / "ca"};
    tools::FakeServices services{ca.serverCertificate().string(), ca.serverKey().string()};
    fs::path sessionFile = root / "userdata/account-session";

    accounts::HalvoIdSettings service{.origin = services.origin(), .trust = {ca.caPem()}};

    void SetUp() override {
        common::usePreferenceDirectory(preferencesDir.path().string());
        services.addAccount({"nova", "correct horse", {"worldbuilder.open", "worldbuilder.use"}});
        services.addAccount({"pix", "battery staple", {}});
    }

    common::Preferences preferences() const { return common::Preferences(launcher::PREFS); }

    // A launcher start on the fake services, with restore delays of a millisecond.
    void start() {
        launcher::LauncherConfig config = fastConfig(UNREACHABLE);
        config.restoreRetry = 1ms;
        config.account = service;
        config.gameSession = {.endpoint = services.gameSession(), .trust = {ca.caPem()}};
        make(config);
    }
    launcher::AccountSession& session() { return launcher->session(); }
    void restore() {
        view->onUi([&] { session().restoreRememberedSession(); });
    }

    // What an earlier run left: a live session in the session file, and the remembered account.
    void leaveASession(bool remember, bool updateResume = false) {
        accounts::HalvoIdClient client(sessionFile, service);
        ASSERT_TRUE(client.login("nova", "correct horse").ok);
        client.persist();
        common::Preferences stored = preferences();
        stored.putBoolean("account.remember", remember);
        stored.put("account.identity", "nova");
        if (updateResume)
            stored.putBoolean("account.updateResume", true);
        stored.flush();
    }

    // Lets everything queued on the worker run, then lets the window settle.
    void settle() {
        operate([] {});
    }

    void signIn(const std::string& identifier, const std::string& password) {
        view->loginIdentifier = identifier;
        view->loginPassword = password;
        view->onUi([&] { session().submitLogin(); });
    }
};

// ---- Restore at start ------------------------------------------------------------------------------

TEST_F(GrantFlow, NothingRememberedMeansNoExchange) {
    leaveASession(false);
    start();
    restore();
    settle();
    EXPECT_EQ(services.sessionRequests(), 0);
    EXPECT_EQ(session().identity(), "");
    EXPECT_EQ(view->occurrences("card connected"), 0u);
}

TEST_F(GrantFlow, ARememberedSessionIsRestoredWithoutBeingWrittenAgain) {
    leaveASession(true);
    const auto written = fs::last_write_time(sessionFile);
    start();
    restore();
    view->waitFor("card connected");
    view->waitIdle();
    EXPECT_EQ(session().identity(), "nova");
    EXPECT_EQ(session().gameRoles(), (std::set<std::string>{"worldbuilder.open", "worldbuilder.use"}));
    EXPECT_EQ(view->last("identity"), "Bienvenue, nova");
    EXPECT_EQ(view->last("builder"), "1");
    EXPECT_EQ(view->last("logout"), "1 1");
    EXPECT_EQ(view->last("status"), "Connecté.");
    EXPECT_EQ(fs::last_write_time(sessionFile), written);
}

TEST_F(GrantFlow, AHandOffRestoresOnceAndItsRetriesStillRun) {
    leaveASession(false, true);
    services.failSessions(2);
    start();
    restore();
    view->waitFor("card connected");
    EXPECT_EQ(services.sessionRequests(), 3);
    EXPECT_FALSE(preferences().get("account.updateResume"));
    EXPECT_FALSE(session().resumeAfterUpdate());
    EXPECT_EQ(session().restoreAttempts(), 0);
    EXPECT_FALSE(preferences().getBoolean("account.remember", true));

    // The next start has nothing left to resume.
    start();
    restore();
    settle();
    EXPECT_EQ(services.sessionRequests(), 3);
}

TEST_F(GrantFlow, ARefusedSessionAtStartIsForgottenQuietly) {
    leaveASession(true);
    services.forgetSessions();
    start();
    restore();
    view->waitFor("remember 0");
    view->waitIdle();
    EXPECT_FALSE(fs::exists(sessionFile));
    EXPECT_FALSE(preferences().get("account.identity"));
    EXPECT_FALSE(preferences().getBoolean("account.remember", true));
    EXPECT_EQ(view->occurrences("card connected"), 0u);
    EXPECT_EQ(view->values("status"), std::vector<std::string>{});
    EXPECT_EQ(services.sessionRequests(), 1);
}

TEST_F(GrantFlow, AnEndpointThatStaysDownGetsSixAttempts) {
    leaveASession(true);
    services.failSessions(-1);
    start();
    restore();
    view->waitFor("status Connexion temporairement indisponible.");
    settle();
    EXPECT_EQ(services.sessionRequests(), 6);
    EXPECT_TRUE(fs::exists(sessionFile));  // kept for the next start
    EXPECT_TRUE(preferences().getBoolean("account.remember", false));
}

// ---- Sign-in and sign-up ---------------------------------------------------------------------------

TEST_F(GrantFlow, SignInEntersTheSignedInStateAndRemembersIt) {
    start();
    signIn("  nova ", "correct horse");
    view->waitFor("card connected");
    view->waitIdle();
    EXPECT_EQ(view->values("login"), std::vector<std::string>{"0"});
    EXPECT_EQ(view->last("status"), "Connecté.");
    EXPECT_EQ(view->last("visible"), "1");
    EXPECT_TRUE(fs::exists(sessionFile));
    EXPECT_TRUE(preferences().getBoolean("account.remember", false));
    EXPECT_EQ(preferences().get("account.identity"), "nova");
    EXPECT_FALSE(session().gameToken().empty());

    // Signing out forgets everything on this device and shows the sign-in card.
    view->clear();
    view->onUi([&] { session().logoutHalvo(); });
    EXPECT_EQ(view->events(),
              (std::vector<std::string>{"remember 0", "logout 0 0", "builder 0", "visible 0", "card login",
                                        "password cleared", "status Déconnecté.", "layout"}));
    EXPECT_FALSE(fs::exists(sessionFile));
    EXPECT_EQ(session().identity(), "");
    EXPECT_FALSE(preferences().get("account.identity"));
}

TEST_F(GrantFlow, AWrongPasswordIsShownAndTheFormReset) {
    start();
    signIn("nova", "wrong horse");
    view->waitFor("login 1");
    view->waitIdle();
    EXPECT_EQ(view->last("status"), "Identifiant ou mot de passe incorrect.");
    EXPECT_EQ(view->occurrences("password cleared"), 1u);
    EXPECT_EQ(view->occurrences("password focused"), 1u);
    EXPECT_EQ(services.sessionRequests(), 0);
}

TEST_F(GrantFlow, AnExchangeFailureAfterSignInIsLoggedAndNothingRemembered) {
    services.failSessions(-1);
    start();
    signIn("nova", "correct horse");
    view->waitFor("login 1");
    view->waitIdle();
    EXPECT_EQ(view->last("status"), "Connexion impossible · consulter launcher.log.");
    EXPECT_FALSE(fs::exists(sessionFile));
    EXPECT_EQ(view->occurrences("card connected"), 0u);
    EXPECT_EQ(view->occurrences("password cleared"), 0u);
    EXPECT_EQ(logReports("code=OPERATION_FAILED phase=halvo_login"), 1u);
    EXPECT_EQ(log().find("correct horse"), std::string::npos);
    EXPECT_EQ(log().find("halvo_session="), std::string::npos);
}

TEST_F(GrantFlow, SignUpChecksLocallyThenCreatesTheAccount) {
    start();
    view->username = " stella ";
    view->displayName = "Stella";
    view->email = "stella@example.org";
    view->password = "une phrase longue";
    view->confirm = "une phrase longue.";
    view->onUi([&] { session().submitRegister(); });
    view->waitFor("register 1");
    view->waitIdle();
    EXPECT_EQ(view->last("status"), "Les mots de passe diffèrent.");

    view->confirm = view->password;
    view->onUi([&] { session().submitRegister(); });
    view->waitFor("card connected");
    view->waitIdle();
    EXPECT_EQ(view->last("identity"), "Bienvenue, stella");
    EXPECT_EQ(view->last("builder"), "0");  // a grant without "worldbuilder.open"
    EXPECT_EQ(preferences().get("account.identity"), "stella");
    EXPECT_EQ(view->values("register"), (std::vector<std::string>{"0", "1", "0"}));
}

TEST_F(GrantFlow, SignUpRefusedByTheServiceShowsItsText) {
    start();
    view->username = "pix";
    view->displayName = "Pix";
    view->email = "pix@example.org";
    view->password = view->confirm = "une phrase longue";
    view->onUi([&] { session().submitRegister(); });
    view->waitFor("register 1");
    view->waitIdle();
    EXPECT_EQ(view->last("status"), "Ce pseudo est déjà utilisé.");
}

// ---- Exchange and broker ---------------------------------------------------------------------------

TEST_F(GrantFlow, AnExchangeWithoutTrustedCookiesExpiresBeforeAnyRequest) {
    start();
    failureMessage<common::SessionExpired>([&] { session().exchangeGameToken(); });
    EXPECT_EQ(services.sessionRequests(), 0);
}

TEST_F(GrantFlow, TheBuilderProviderGivesFreshGrantsWithoutChangingTheLauncher) {
    leaveASession(true);
    start();
    const accounts::EditorSessionBroker::Provider provider = session().builderSessionProvider();
    const accounts::EditorSessionBroker::Grant first = provider();
    const accounts::EditorSessionBroker::Grant second = provider();
    EXPECT_EQ(first.realtime, "wss://" + services.origin().substr(8) + "/realtime");
    EXPECT_EQ(first.publish, services.origin() + "/mmo/world/publish");
    EXPECT_NE(first.token, second.token);
    EXPECT_TRUE(first.roles.contains("worldbuilder.open"));
    EXPECT_EQ(session().identity(), "");
    EXPECT_EQ(services.sessionRequests(), 2);
}

}  // namespace
}  // namespace orlex::test
