// The game session grant: sign-in and sign-up flows that end in a grant, the signed-in state,
// remembering the session on this device, restoring it at start with bounded retries, forgetting it
// and signing out.

#include <optional>

#include "common/failure.h"
#include "common/interruption.h"
#include "common/preferences.h"
#include "common/text.h"
#include "launcher/archive.h"
#include "launcher/launcher.h"
#include "launcher/launcher_failure.h"

namespace orlex::launcher {
namespace {

using common::trimmed;

constexpr const char* REMEMBER = "account.remember";
constexpr const char* IDENTITY = "account.identity";
constexpr const char* UPDATE_RESUME = "account.updateResume";

}  // namespace

accounts::GameGrant Launcher::exchangeGameToken() {
    return accounts::exchangeSession(config_.gameSession, halvo_->sessionCookieHeader());
}

void Launcher::persistSession(const accounts::GameGrant& grant) {
    halvo_->persist();
    common::Preferences preferences(PREFS);
    preferences.putBoolean(REMEMBER, true);
    preferences.put(IDENTITY, grant.name);
    preferences.flush();
}

void Launcher::authenticated(const accounts::GameGrant& grant) {
    halvoIdentity.store(grant.name);
    gameToken.store(grant.token);
    realtimeUrl.store(grant.realtime);
    gameRoles.store(grant.roles);
    const std::shared_ptr<LauncherView> view = view_.load();
    if (!view)
        return;
    view->setIdentity("Bienvenue, " + grant.name);
    view->showAccountCard("connected");
    view->setLogout(true, true);
    view->setBuilderVisible(grant.roles.contains(accounts::ROLE_BUILDER_OPEN));
    view->setActionVisible(true);
    view->setStatus("Connecté.");
    view->relayout();
}

void Launcher::submitAccountAttempt(std::function<accounts::Result()> attempt, const char* phase,
                                    const char* failureText, std::function<void(LauncherView&)> reenable,
                                    std::function<void(LauncherView&)> refused) {
    worker_.submit([this, attempt, phase, failureText, reenable, refused] {
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
            post([this, failure = std::current_exception(), phase, failureText, reenable](LauncherView& ui) {
                launcherLog(LauncherFailure::of(failure).report(phase));
                ui.setStatus(failureText);
                reenable(ui);
            });
            return;
        }
        post([this, result, grant, reenable, refused](LauncherView& ui) {
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

void Launcher::submitLogin() {
    const std::shared_ptr<LauncherView> view = view_.load();
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
            return halvo_->login(identifier, password->view());
        },
        "halvo_login", "Connexion impossible · consulter launcher.log.",
        [](LauncherView& ui) { ui.setLoginEnabled(true); },
        [](LauncherView& ui) {
            ui.clearLoginPassword();
            ui.focusLoginPassword();
        });
}

void Launcher::submitRegister() {
    const std::shared_ptr<LauncherView> view = view_.load();
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
            return halvo_->registerAccount(form->username, form->displayName, form->email,
                                           form->password.view(), form->confirm.view());
        },
        "halvo_register", "Création impossible · consulter launcher.log.",
        [](LauncherView& ui) { ui.setRegisterEnabled(true); }, [](LauncherView&) {});
}

void Launcher::restoreRememberedSession() {
    common::Preferences preferences(PREFS);
    if (preferences.getBoolean(UPDATE_RESUME, false)) {
        resumeAfterUpdate = true;
        preferences.remove(UPDATE_RESUME);
        preferences.flush();
    }
    if (!preferences.getBoolean(REMEMBER, false) && !resumeAfterUpdate)
        return;
    if (trimmed(preferences.get(IDENTITY, "")).empty())
        return;
    worker_.submit([this] { restoreAttempt(); });
}

void Launcher::restoreAttempt() {
    if (trimmed(halvo_->sessionCookieHeader()).empty()) {
        post([this](LauncherView&) { forgetRememberedSession(); });
        return;
    }
    try {
        const accounts::GameGrant grant = exchangeGameToken();
        restoreAttempts = 0;
        resumeAfterUpdate = false;
        post([this, grant](LauncherView&) { authenticated(grant); });
    } catch (const common::Interrupted&) {
        return;
    } catch (const common::SecurityFailure&) {
        post([this](LauncherView&) { forgetRememberedSession(); });
    } catch (...) {
        if (++restoreAttempts <= MAX_RESTORE_RETRIES)
            updateMonitor_.schedule(config_.restoreRetry, [this] { restoreRememberedSession(); });
        else
            status("Connexion temporairement indisponible.");
    }
}

void Launcher::forgetRememberedSession() {
    resumeAfterUpdate = false;
    halvo_->logout();
    common::Preferences preferences(PREFS);
    preferences.remove(IDENTITY);
    preferences.remove(UPDATE_RESUME);
    preferences.putBoolean(REMEMBER, false);
    preferences.flush();
    if (const std::shared_ptr<LauncherView> view = view_.load())
        view->setRememberChecked(false);
}

void Launcher::logoutHalvo() {
    forgetRememberedSession();
    halvoIdentity.store("");
    gameToken.store("");
    realtimeUrl.store("");
    gameRoles.store({});
    const std::shared_ptr<LauncherView> view = view_.load();
    if (!view)
        return;
    view->setLogout(false, false);
    view->setBuilderVisible(false);
    view->setActionVisible(false);
    view->showAccountCard("login");
    view->clearLoginPassword();
    view->setStatus("Déconnecté.");
    view->relayout();
}

accounts::EditorSessionBroker::Provider Launcher::builderSessionProvider() {
    return [this] {
        const accounts::GameGrant grant = exchangeGameToken();
        return accounts::EditorSessionBroker::Grant{grant.token, grant.realtime,
                                                    accounts::publishAddress(grant.realtime), grant.roles};
    };
}

}  // namespace orlex::launcher
