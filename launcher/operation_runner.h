#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/executor.h"
#include "common/shared_value.h"
#include "launcher/launcher_config.h"
#include "launcher/launcher_view.h"
#include "update/patcher.h"

namespace orlex::launcher {

// Runs the launcher's operations one at a time on its worker thread "orlex-patcher", and owns the
// window's side of them: the enabled state of the main controls, the status line, failure reports in
// the launcher log of the configuration's root, and the throttled progress display. It also holds the
// attached window and posts to it for the other parts of the launcher.
//
// Threads: "UI thread" below is the thread the attached view's post() runs functions on; in debug
// builds the functions documented for it check that they run there. Functions this runner posted and
// that have not run by shutdown() do nothing.
class OperationRunner {
public:
    // An operation's body, or an account task; may fail with any exception.
    using Task = std::function<void()>;

    // What the runner needs from the rest of the launcher, given once at construction; none may be
    // empty, and none is called before the first run(), enable() or error().
    struct Hooks {
        std::function<bool()> signedIn;  // any thread: a player is signed in (the logout control)
        std::function<void()> signOut;   // UI thread: a failed operation met an expired session
        std::function<void()> notReady;  // the failing thread: any other failure; the game is not ready
    };

    // config: the root (its launcher log), the progress throttle and its clock.
    OperationRunner(const LauncherConfig& config, Hooks hooks);
    OperationRunner(const OperationRunner&) = delete;
    OperationRunner& operator=(const OperationRunner&) = delete;
    ~OperationRunner();  // shutdown()

    // Any thread, once, before the first operation: the window (absent in the modes without one). With
    // no view, nothing is shown and the UI thread checks pass.
    void attachView(std::shared_ptr<LauncherView> view);
    std::shared_ptr<LauncherView> view() const { return view_.load(); }
    // True on the attached view's UI thread, or when no view is attached. Any thread.
    bool onUiThread() const;
    // Any thread. Runs fn with the view later on the UI thread, unless no view is attached or this
    // runner has shut down by then.
    void post(std::function<void(LauncherView&)> fn);
    // Any thread. Appends message to the launcher log; never fails.
    void log(const std::string& message) const;

    // UI thread. Disables the controls, marks an operation running (step "operation") and queues task on
    // "orlex-patcher"; returns at once. A failure of the task goes to error(). Afterwards, on the worker,
    // operationRunning() becomes false, then enable(true) is posted. A second task waits its turn.
    void run(Task task);
    // Any thread. Queues task on "orlex-patcher" behind any operation, as one that is not an operation:
    // no controls, no step, no failure report; the task catches its own failures.
    void submit(Task task);
    // UI thread. Enables or disables the window's main controls; logout only when value is true and a
    // player is signed in.
    void enable(bool value);
    // Any thread. Shows text on the status line, always later on the UI thread.
    void status(const std::string& text);
    // Any thread; never fails. Classifies the failure, logs its report labelled with operationStep(),
    // calls notReady unless the session expired, then posts: signOut (session expired only), the
    // classification's message as status, and "RÉESSAYER" on the main button (unless the session expired).
    void error(std::exception_ptr failure);
    // A release engine's progress listener; any thread, returns quickly. Drops an event that comes within
    // LauncherConfig::progressThrottle of the last one shown, except the final "Prêt"; posts the status,
    // bar and transfer texts of the others.
    void progress(const update::Progress& event);

    // What the running (or last) operation is doing, for failure reports: "idle" before the first one.
    // Any thread.
    std::string operationStep() const { return operationStep_.load(); }
    void setOperationStep(std::string step) { operationStep_.store(std::move(step)); }
    // From run() accepting a task until that task has ended. Any thread.
    bool operationRunning() const { return operationRunning_; }

    // Any thread but the worker's own. From now on posted functions do nothing and tasks are dropped; a
    // running task is asked to stop (common/interruption.h) and waited for. Idempotent.
    void shutdown();

private:
    std::filesystem::path root_;
    std::chrono::nanoseconds progressThrottle_;
    std::function<std::int64_t()> progressClock_;
    Hooks hooks_;

    std::atomic<bool> operationRunning_{false};
    std::atomic<std::int64_t> progressUiTime_{0};  // progressClock_ time of the last progress shown
    common::SharedValue<std::string> operationStep_{"idle"};
    common::SharedValue<std::shared_ptr<LauncherView>> view_;
    // Reset first by shutdown(): posted functions hold it weakly and skip their work once it is gone.
    common::SharedValue<std::shared_ptr<const bool>> alive_{std::make_shared<const bool>(true)};
    common::Executor worker_{"orlex-patcher"};  // last: joined before the state above goes
};

}  // namespace orlex::launcher
