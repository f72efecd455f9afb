#include "launcher/account_session.h"

#include <cassert>
#include <optional>

#include "common/failure.h"
#include "common/interruption.h"
#include "common/preferences.h"
#include "common/text.h"
#include "launcher/archive.h"
#include "launcher/launcher_failure.h"

namespace orlex::launcher {
namespace {

using common::trimmed;

}  // namespace

AccountSession::AccountSession(const LauncherConfig& config, OperationRunner& runner,
                               common::Executor& updateMonitor)
    : runner_(runner),
      updateMonitor_(updateMonitor),
      gameSession_(config.gameSession),
      restoreRetry_(config.restoreRetry),
      client_(std::make_unique<accounts::HalvoIdClient>(config.root / "userdata" / "account-session",
                                                        config.account)) {}

bool AccountSession::signedIn() const {
    return identity_.load().find_first_not_of(" \t\n\v\f\r") != std::string::npos;
}

accounts::GameGrant AccountSession::exchangeGameToken() {
    return accounts::exchangeSession(gameSession_, client_->sessionCookieHeader());
}

void AccountSession::keepGrant(const accounts::GameGrant& grant) {
    gameToken_.store(grant.token);
    realtimeUrl_.store(grant.realtime);
    gameRoles_.store(grant.roles);
}

void AccountSession::persistSession(const accounts::GameGrant& grant) {
    client_->persist();
    common::Preferences preferences(PREFS);
    preferences.putBoolean(REMEMBER_KEY, true);
    preferences.put(IDENTITY_KEY, grant.name);
    preferences.flush();
}

void AccountSession::authenticated(const accounts::GameGrant& grant) {
    assert(runner_.onUiThread());
    identity_.store(grant.name);
    gameToken_.store(grant.token);
    realtimeUrl_.store(grant.realtime);
    gameRoles_.store(grant.roles);
    const std::shared_ptr<LauncherView> view = runner_.view();
    if (!view)
        return;
    view->setIdentity("Bienvenue, " + grant.name);
    view->showAccountCard(AccountCard::Connected);
    view->setLogout(true, !runner_.operationRunning());  // the operation's end enables it
    view->setBuilderVisible(grant.roles.contains(accounts::ROLE_BUILDER_OPEN));
    view->setActionVisible(true);
    view->setStatus("Connecté.");
    view->relayout();
}

void AccountSession::submitAccountAttempt(std::function<accounts::Result()> attempt, const char* phase,
                                          const char* failureText,
                                          std::function<void(LauncherView&)> reenable,
                                          std::function<void(LauncherView&)> refused) {
    runner_.submit([this, attempt, phase, failureText, reenable, refused] {
        accounts::Result result;
        std::optional<accounts::GameGrant> grant;
        try {
            result = attempt();
            if (result.ok) {
                grant = exchangeGameToken();
                persistSession(*grant);
            }
        } catch (const common::Interrupted&) {
            return;
        } catch (...) {
            runner_.post(
                [this, failure = std::current_exception(), phase, failureText, reenable](LauncherView& ui) {
                    runner_.log(LauncherFailure::of(failure).report(phase));
                    ui.setStatus(failureText);
                    reenable(ui);
                });
            return;
        }
        runner_.post([this, result, grant, reenable, refused](LauncherView& ui) {
            if (result.ok && grant) {
                authenticated(*grant);
                return;
            }
            ui.setStatus(result.message);
            refused(ui);
            reenable(ui);
        });
    });
}

void AccountSession::submitLogin() {
    assert(runner_.onUiThread());
    const std::shared_ptr<LauncherView> view = runner_.view();
    if (!view)
        return;
    LauncherView::LoginInput input = view->readLogin();
    const std::string identifier(trimmed(input.identifier));
    view->setLoginEnabled(false);
    // Shared so that the task stays copyable; wiped as soon as the client has used it, on every way out.
    auto password = std::make_shared<accounts::SecretBuffer>(std::move(input.password));
    submitAccountAttempt(
        [this, identifier, password] {
            struct Wipe {
                accounts::SecretBuffer& secret;
                ~Wipe() { secret.wipe(); }
            } wipe{*password};
            return client_->login(identifier, password->view());
        },
        "halvo_login", "Connexion impossible · consulter launcher.log.",
        [](LauncherView& ui) { ui.setLoginEnabled(true); },
        [](LauncherView& ui) {
            ui.clearLoginPassword();
            ui.focusLoginPassword();
        });
}

void AccountSession::submitRegister() {
    assert(runner_.onUiThread());
    const std::shared_ptr<LauncherView> view = runner_.view();
    if (!view)
        return;
    LauncherView::RegistrationInput input = view->readRegistration();
    view->setRegisterEnabled(false);
    struct Form {
        std::string username, displayName, email;
        accounts::SecretBuffer password, confirm;
    };
    auto form = std::make_shared<Form>(
        Form{std::string(trimmed(input.username)), std::string(trimmed(input.displayName)),
             std::string(trimmed(input.email)), std::move(input.password), std::move(input.confirm)});
    submitAccountAttempt(
        [this, form] {
            struct Wipe {
                Form& form;
                ~Wipe() {
                    form.password.wipe();
                    form.confirm.wipe();
                }
            } wipe{*form};
            return client_->registerAccount(form->username, form->displayName, form->email,
                                            form->password.view(), form->confirm.view());
        },
        "halvo_register", "Création impossible · consulter launcher.log.",
        [](LauncherView& ui) { ui.setRegisterEnabled(true); }, [](LauncherView&) {});
}

void AccountSession::restoreRememberedSession() {
    common::Preferences preferences(PREFS);
    if (preferences.getBoolean(UPDATE_RESUME_KEY, false)) {
        resumeAfterUpdate_ = true;
        preferences.remove(UPDATE_RESUME_KEY);
        preferences.flush();
    }
    if (!preferences.getBoolean(REMEMBER_KEY, false) && !resumeAfterUpdate_)
        return;
    if (trimmed(preferences.get(IDENTITY_KEY, "")).empty())
        return;
    runner_.submit([this] { restoreAttempt(); });
}

void AccountSession::restoreAttempt() {
    if (trimmed(client_->sessionCookieHeader()).empty()) {
        runner_.post([this](LauncherView&) { forgetRememberedSession(); });
        return;
    }
    try {
        const accounts::GameGrant grant = exchangeGameToken();
        restoreAttempts_ = 0;
        resumeAfterUpdate_ = false;
        runner_.post([this, grant](LauncherView&) { authenticated(grant); });
    } catch (const common::Interrupted&) {
        return;
    } catch (const common::SecurityFailure&) {
        runner_.post([this](LauncherView&) { forgetRememberedSession(); });
    } catch (...) {
        if (++restoreAttempts_ <= MAX_RESTORE_RETRIES)
            updateMonitor_.schedule(restoreRetry_, [this] { restoreRememberedSession(); });
        else
            runner_.status("Connexion temporairement indisponible.");
    }
}

void AccountSession::forgetRememberedSession() {
    assert(runner_.onUiThread());
    resumeAfterUpdate_ = false;
    client_->logout();
    common::Preferences preferences(PREFS);
    preferences.remove(IDENTITY_KEY);
    preferences.remove(UPDATE_RESUME_KEY);
    preferences.putBoolean(REMEMBER_KEY, false);
    preferences.flush();
    if (const std::shared_ptr<LauncherView> view = runner_.view())
        view->setRememberChecked(false);
}

void AccountSession::logoutHalvo() {
    assert(runner_.onUiThread());
    forgetRememberedSession();
    identity_.store("");
    gameToken_.store("");
    realtimeUrl_.store("");
    gameRoles_.store({});
    const std::shared_ptr<LauncherView> view = runner_.view();
    if (!view)
        return;
    view->setLogout(false, false);
    view->setBuilderVisible(false);
    view->setActionVisible(false);
    view->showAccountCard(AccountCard::Login);
    view->clearLoginPassword();
    view->setStatus("Déconnecté.");
    view->relayout();
}

accounts::EditorSessionBroker::Provider AccountSession::builderSessionProvider() {
    return [this] {
        const accounts::GameGrant grant = exchangeGameToken();
        return accounts::EditorSessionBroker::Grant{grant.token, grant.realtime,
                                                    accounts::publishAddress(grant.realtime), grant.roles};
    };
}

}  // namespace orlex::launcher
