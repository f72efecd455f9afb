#include "launcher/operation_runner.h"

#include <cassert>

#include "common/interruption.h"
#include "launcher/launcher_failure.h"
#include "launcher/launcher_log.h"
#include "launcher/progress_text.h"

namespace orlex::launcher {

OperationRunner::OperationRunner(const LauncherConfig& config, Hooks hooks)
    : root_(config.root),
      progressThrottle_(config.progressThrottle),
      progressClock_(config.progressClock),
      hooks_(std::move(hooks)) {}

OperationRunner::~OperationRunner() {
    shutdown();
}

void OperationRunner::shutdown() {
    alive_.store(nullptr);
    worker_.shutdown();
}

void OperationRunner::attachView(std::shared_ptr<LauncherView> view) {
    view_.store(std::move(view));
}

bool OperationRunner::onUiThread() const {
    const std::shared_ptr<LauncherView> view = view_.load();
    return !view || view->onUiThread();
}

void OperationRunner::post(std::function<void(LauncherView&)> fn) {
    const std::shared_ptr<LauncherView> view = view_.load();
    const std::shared_ptr<const bool> alive = alive_.load();
    if (!view || !alive)
        return;
    view->post([alive = std::weak_ptr<const bool>(alive), target = std::weak_ptr<LauncherView>(view),
                fn = std::move(fn)] {
        const std::shared_ptr<LauncherView> current = target.lock();
        if (alive.lock() && current)
            fn(*current);
    });
}

void OperationRunner::log(const std::string& message) const {
    appendLauncherLog(root_, message);
}

void OperationRunner::run(Task task) {
    assert(onUiThread());
    enable(false);
    operationRunning_ = true;
    operationStep_.store("operation");
    worker_.submit([this, task = std::move(task)] {
        try {
            task();
        } catch (const common::Interrupted&) {
            // The launcher is shutting down: nothing is reported and nothing is posted.
            operationRunning_ = false;
            return;
        } catch (...) {
            error(std::current_exception());
        }
        // Cleared before the controls come back, so a check made in between sees the operation ended.
        operationRunning_ = false;
        post([this](LauncherView&) { enable(true); });
    });
}

void OperationRunner::submit(Task task) {
    worker_.submit(std::move(task));
}

void OperationRunner::enable(bool value) {
    assert(onUiThread());
    if (const std::shared_ptr<LauncherView> view = view_.load())
        view->setControlsEnabled(value, value && hooks_.signedIn());
}

void OperationRunner::status(const std::string& text) {
    post([text](LauncherView& view) { view.setStatus(text); });
}

void OperationRunner::error(std::exception_ptr failure) {
    try {
        const LauncherFailure classified = LauncherFailure::of(failure);
        log(classified.report(operationStep_.load()));
        const bool expired = classified.sessionExpired();
        if (!expired)
            hooks_.notReady();
        post([this, expired, message = classified.message()](LauncherView& view) {
            if (expired)
                hooks_.signOut();
            // Posted after whatever the sign-out posted, so the classification's message stays visible.
            status(message);
            if (!expired)
                view.setActionText("RÉESSAYER");
        });
    } catch (...) {
        // Reporting a failure never fails in turn.
    }
}

void OperationRunner::progress(const update::Progress& event) {
    const std::int64_t now = progressClock_();
    // Read, compare and store without a compare-and-set: two events passing together only cost a repaint.
    if (event.phase != "Prêt" && now - progressUiTime_.load() < progressThrottle_.count())
        return;
    progressUiTime_ = now;
    post([text = progressStatus(event.phase), bar = progressBar(event.completed, event.total),
          transfer = transferText(event.completed, event.total)](LauncherView& view) {
        view.setStatus(text);
        view.setBar(bar);
        view.setTransfer(transfer);
    });
}

}  // namespace orlex::launcher
