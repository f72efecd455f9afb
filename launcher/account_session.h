#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "accounts/editor_session_broker.h"
#include "accounts/game_session.h"
#include "accounts/halvo_id_client.h"
#include "common/executor.h"
#include "common/shared_value.h"
#include "launcher/launcher_config.h"
#include "launcher/operation_runner.h"

namespace orlex::launcher {

// The player's account in the launcher: the sign-in and sign-up flows that end in a game grant, the
// signed-in state, remembering the session on this device, restoring it at start with bounded retries,
// forgetting it and signing out. Account calls and exchanges run on the runner's worker thread behind
// any operation; their effects on the window are posted to the UI thread.
//
// Preferences (node PREFS): account.remember (a session is remembered on this device), account.identity
// (its account name), account.updateResume (set before a self-update hand-off, read once by the restore).
class AccountSession {
public:
    static constexpr const char* REMEMBER_KEY = "account.remember";
    static constexpr const char* IDENTITY_KEY = "account.identity";
    static constexpr const char* UPDATE_RESUME_KEY = "account.updateResume";
    static constexpr int MAX_RESTORE_RETRIES = 5;

    // config: root (the session file root/"userdata/account-session"), the account service, the game
    // session endpoint, the restore retry delay. Restore retries are scheduled on updateMonitor, which
    // hands each attempt back to the runner's worker. Loads the stored session (accounts/halvo_id_client.h).
    AccountSession(const LauncherConfig& config, OperationRunner& runner, common::Executor& updateMonitor);
    AccountSession(const AccountSession&) = delete;
    AccountSession& operator=(const AccountSession&) = delete;

    // The account client.
    accounts::HalvoIdClient& client() { return *client_; }

    // Exchanges the account session for a game grant at the configured endpoint.
    // Blocks; worker thread, or the editor session broker's serving thread. Fails with SessionExpired
    // without a request when no trusted cookie is held, and when the endpoint answers 401 or 403.
    accounts::GameGrant exchangeGameToken();
    // Keeps a renewed grant's token, realtime address and roles as the signed-in state; the identity
    // stays. Any thread.
    void keepGrant(const accounts::GameGrant& grant);
    // Worker thread. Writes the session file and remembers the grant's account name.
    void persistSession(const accounts::GameGrant& grant);
    // UI thread. Enters the signed-in state with the grant and shows it.
    void authenticated(const accounts::GameGrant& grant);
    // UI thread: reads the sign-in form and signs in on the worker thread, then exchanges and remembers.
    // The password buffer is wiped as soon as the account client has used it.
    void submitLogin();
    // UI thread: the same for the registration dialog.
    void submitRegister();
    // UI thread at start; the update monitor's thread for retries. Restores a remembered (or handed-over)
    // session on the worker thread: at most 1 + MAX_RESTORE_RETRIES attempts, restoreRetry apart.
    void restoreRememberedSession();
    // UI thread. Signs the client out locally and forgets the remembered account; the signed-in fields
    // are left alone.
    void forgetRememberedSession();
    // UI thread. Forgets the session and shows the signed-out window; nothing is sent anywhere.
    void logoutHalvo();
    // The grants a running child renews through the editor session broker: each call exchanges the
    // session afresh (on the broker's thread) and changes no launcher state.
    accounts::EditorSessionBroker::Provider builderSessionProvider();

    // The signed-in state, from the latest grant; each value read as one unit from any thread. An empty
    // identity means signed out.
    bool signedIn() const;  // the identity is not blank
    std::string identity() const { return identity_.load(); }
    std::string gameToken() const { return gameToken_.load(); }
    std::string realtimeUrl() const { return realtimeUrl_.load(); }
    std::set<std::string> gameRoles() const { return gameRoles_.load(); }
    // The running restore was asked for by a self-update hand-off.
    bool resumeAfterUpdate() const { return resumeAfterUpdate_; }
    // Failed restore attempts in a row.
    int restoreAttempts() const { return restoreAttempts_; }

private:
    void restoreAttempt();  // worker thread
    // Runs a sign-in or sign-up on the worker: attempt() talks to the service (wiping its passwords on
    // every way out); an accepted one is exchanged for a grant and kept. A failure is logged under phase
    // and shown as failureText; a refusal shows the service's message and runs refused(). Either way the
    // form's button comes back through reenable().
    void submitAccountAttempt(std::function<accounts::Result()> attempt, const char* phase,
                              const char* failureText, std::function<void(LauncherView&)> reenable,
                              std::function<void(LauncherView&)> refused);

    OperationRunner& runner_;
    common::Executor& updateMonitor_;
    accounts::SessionExchangeSettings gameSession_;
    std::chrono::milliseconds restoreRetry_;
    std::unique_ptr<accounts::HalvoIdClient> client_;

    common::SharedValue<std::string> identity_;
    common::SharedValue<std::string> gameToken_;
    common::SharedValue<std::string> realtimeUrl_;
    common::SharedValue<std::set<std::string>> gameRoles_;
    std::atomic<bool> resumeAfterUpdate_{false};
    std::atomic<int> restoreAttempts_{0};  // changed on the worker thread only
};

}  // namespace orlex::launcher
