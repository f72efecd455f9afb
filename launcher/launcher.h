#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "accounts/editor_session_broker.h"
#include "accounts/game_session.h"
#include "accounts/halvo_id_client.h"
#include "common/executor.h"
#include "launcher/launcher_config.h"
#include "launcher/launcher_view.h"
#include "update/patcher.h"

namespace orlex::launcher {

// A value shared between threads as one atomic unit; no lock guards combinations of such values.
template <typename T>
class AtomicValue {
public:
    explicit AtomicValue(T initial = T{}) : value_(std::move(initial)) {}
    T load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void store(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    T value_;
};

// The launcher core of the configuration's install root and update channel. Owns the two worker threads
// ("orlex-patcher" for operations, "orlex-update-monitor" for the probe), the game release engine and the
// window state flags. Construction validates the channel and the root through the game engine
// (SecurityFailure) and creates the root. Never touches a widget: everything visible goes through
// LauncherView::post and, inside the posted function, the view's setters; with no view attached, visible
// effects are skipped.
//
// Threads: "UI thread" below is the thread the attached view's post() runs functions on. The instance is
// destroyed on that thread (or once it has ended); its destructor stops both worker threads, asking a
// running task to stop, so they never keep a process alive. Functions it posted and that have not run yet
// do nothing once it is gone.
class Launcher {
public:
    // An operation's body; may fail with any exception.
    using Task = std::function<void()>;

    // The release key is given; the presence is the disabled one (added with the presence client).
    Launcher(LauncherConfig config, update::Ed25519Key key);
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;
    ~Launcher();

    const std::filesystem::path& root() const { return root_; }
    const std::string& channel() const { return channel_; }
    update::Patcher& patcher() { return *patcher_; }
    const update::Ed25519Key& releaseKey() const { return key_; }

    // A new engine for the launcher's own releases: the channel resolved with "../launcher/", root
    // root()/"launcher", product "launcher".
    std::unique_ptr<update::Patcher> selfPatcher() const;

    // The window, once built (absent in the modes without one). Also registers progress() as the game
    // engine's progress listener, so call it before the first operation starts.
    void attachView(std::shared_ptr<LauncherView> view);
    std::shared_ptr<LauncherView> view() const { return view_.load(); }

    // Appends to this instance's launcher log; never fails.
    void launcherLog(const std::string& message) const;

    // ---- Operation runner --------------------------------------------------------------------------

    // UI thread. Disables the controls, marks an operation running (step "operation") and queues task on
    // "orlex-patcher"; returns at once. A failure of the task goes to error(). Afterwards, on the worker,
    // operationRunning becomes false, then enable(true) is posted. A second task waits its turn.
    void run(Task task);
    // UI thread. Enables or disables the window's main controls; logout only when value is true and a
    // player is signed in (halvoIdentity not blank).
    void enable(bool value);
    // Any thread. Shows text on the status line, always later on the UI thread.
    void status(const std::string& text);
    // Any thread; never fails. Classifies the failure, logs its report labelled with operationStep,
    // clears ready unless the session expired, then posts: the sign-out (session expired only), the
    // classification's message as status, and "RÉESSAYER" on the main button (unless the session expired).
    void error(std::exception_ptr failure);
    // The game engine's progress listener; any thread, returns quickly. Drops an event that comes within
    // LauncherConfig::progressThrottle of the last one shown, except the final "Prêt"; posts the status,
    // bar and transfer texts of the others.
    void progress(const update::Progress& event);
    // Replaces what a failed operation whose session expired runs on the UI thread to sign the player
    // out; by default logoutHalvo(). Any thread.
    void onSignOut(std::function<void()> signOut);

    // ---- Game installation and update orchestration -------------------------------------------------

    // True when engine has no installed release, the installed release is not plan's release, or the
    // plan has a file to fetch.
    static bool needsUpdate(update::Patcher& engine, const update::Plan& plan);
    // Operation bodies (worker thread). The first check of a managed start: installs the channel's
    // release when needed, then refresh().
    void ensureGameInstalled();
    // Started by the probe: fetches the channel's release again, installs it, then refresh().
    void updateGame();
    // The install action (main button when not ready, "Réparer", the game update dialog): fetches the
    // channel's release into `remote`, installs it (re-verifying every file), then refresh().
    void installGame();
    // Recomputes ready from the channel's release, its plan and the installed release, and posts the
    // installation texts (installed label, main button text and visibility, bar, status).
    void refresh();

    // True when userdata/launcher-failed-manifest is a regular file whose trimmed text is release's id.
    bool failedLauncher(const update::Signed& release) const;

    // One update probe (normally on "orlex-update-monitor"). Does nothing while an operation or another
    // probe runs, a launcher update is in progress (selfUpdatePrompt) or the window is absent or no longer
    // displayable. Offers a newer launcher release (showLauncherUpdate) unless it is the failed one, and
    // starts updateGame as an operation when the game is no longer current. A failure is logged as
    // "update_probe" and shown as a status; it never stops the schedule.
    void monitorUpdates();
    // Schedules monitorUpdates on "orlex-update-monitor": probeFirst from now, then probeEvery after the
    // end of each run, until stopUpdateProbe() or destruction.
    void startUpdateProbe();
    // Stops the probe schedule for good (window closed); waits for a running probe to end.
    void stopUpdateProbe();

    // ---- Game session grant (account_flows.cpp) ------------------------------------------------------
    // Preference keys: account.remember (a session is remembered on this device), account.identity (its
    // account name), account.updateResume (set before a self-update hand-off, read once by the restore).

    // The account client, with the session file root()/"userdata/account-session".
    accounts::HalvoIdClient& halvo() { return *halvo_; }

    // Exchanges the account session for a game grant at the configured endpoint.
    // Blocks; worker thread, or the editor session broker's serving thread. Fails with SessionExpired
    // without a request when no trusted cookie is held, and when the endpoint answers 401 or 403.
    accounts::GameGrant exchangeGameToken();
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

    static constexpr int MAX_RESTORE_RETRIES = 5;

    // Shared state, each field one atomic value.
    std::atomic<bool> operationRunning{false};
    std::atomic<bool> ready{false};
    std::atomic<bool> updateProbeRunning{false};
    std::atomic<bool> selfUpdatePrompt{false};
    std::atomic<bool> resumeAfterUpdate{false};
    std::atomic<std::int64_t> progressUiTime{0};
    AtomicValue<std::string> operationStep{"idle"};
    AtomicValue<std::optional<update::Signed>> remote;
    AtomicValue<std::string> checkedLauncherManifest;
    AtomicValue<std::string> checkedGameManifest;
    AtomicValue<std::string> halvoIdentity;
    AtomicValue<std::string> gameToken;
    AtomicValue<std::string> realtimeUrl;
    AtomicValue<std::set<std::string>> gameRoles;
    std::atomic<int> restoreAttempts{0};

protected:
    // Runs fn with the view on the UI thread, unless no view is attached or this instance is gone by then.
    void post(std::function<void(LauncherView&)> fn);
    bool signedIn() const;

    std::filesystem::path root_;
    std::string channel_;
    update::Ed25519Key key_;
    LauncherConfig config_;
    // Reset first on destruction: posted functions hold it weakly and skip their work once it is gone.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    AtomicValue<std::shared_ptr<LauncherView>> view_;
    AtomicValue<std::function<void()>> signOut_;
    common::Executor worker_{"orlex-patcher"};
    common::Executor updateMonitor_{"orlex-update-monitor"};
    std::unique_ptr<update::Patcher> patcher_;
    std::unique_ptr<accounts::HalvoIdClient> halvo_;

private:
    void restoreAttempt();  // worker thread
    // Runs a sign-in or sign-up on the worker: attempt() talks to the service (wiping its passwords on
    // every way out); an accepted one is exchanged for a grant and kept. A failure is logged under phase
    // and shown as failureText; a refusal shows the service's message and runs refused(). Either way the
    // form's button comes back through reenable().
    void submitAccountAttempt(std::function<accounts::Result()> attempt, const char* phase,
                              const char* failureText, std::function<void(LauncherView&)> reenable,
                              std::function<void(LauncherView&)> refused);
    bool probeLauncherSide();  // true when a launcher update was offered (the probe ends there)
    void probeGameSide();
    void probeAndReschedule();
};

}  // namespace orlex::launcher
