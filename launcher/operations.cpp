// The operation runner: one task at a time on "orlex-patcher", the enabled state of the window's
// controls, the status line, failure reports, and the throttled progress display.

#include "common/interruption.h"
#include "launcher/launcher.h"
#include "launcher/launcher_failure.h"
#include "launcher/progress_text.h"

namespace orlex::launcher {

void Launcher::run(Task task) {
    enable(false);
    operationRunning = true;
    operationStep.store("operation");
    worker_.submit([this, task = std::move(task)] {
        try {
            task();
        } catch (const common::Interrupted&) {
            // The instance is shutting down: nothing is reported and nothing is posted.
            operationRunning = false;
            return;
        } catch (...) {
            error(std::current_exception());
        }
        // Cleared before the controls come back, so a check made in between sees the operation ended.
        operationRunning = false;
        post([this](LauncherView&) { enable(true); });
    });
}

void Launcher::enable(bool value) {
    if (const std::shared_ptr<LauncherView> view = view_.load())
        view->setControlsEnabled(value, value && signedIn());
}

void Launcher::status(const std::string& text) {
    post([text](LauncherView& view) { view.setStatus(text); });
}

void Launcher::error(std::exception_ptr failure) {
    try {
        const LauncherFailure classified = LauncherFailure::of(failure);
        launcherLog(classified.report(operationStep.load()));
        const bool expired = classified.sessionExpired();
        if (!expired)
            ready = false;
        post([this, expired, message = classified.message()](LauncherView& view) {
            if (expired) {
                if (const std::function<void()> signOut = signOut_.load())
                    signOut();
            }
            // Posted after whatever the sign-out posted, so the classification's message stays visible.
            status(message);
            if (!expired)
                view.setActionText("RÉESSAYER");
        });
    } catch (...) {
        // Reporting a failure never fails in turn.
    }
}

void Launcher::progress(const update::Progress& event) {
    const std::int64_t now = config_.progressClock();
    // Read, compare and store without a compare-and-set: two events passing together only cost a repaint.
    if (event.phase != "Prêt" && now - progressUiTime.load() < config_.progressThrottle.count())
        return;
    progressUiTime = now;
    post([text = progressStatus(event.phase), bar = progressBar(event.completed, event.total),
          transfer = transferText(event.completed, event.total)](LauncherView& view) {
        view.setStatus(text);
        view.setBar(bar);
        view.setTransfer(transfer);
    });
}

void Launcher::onSignOut(std::function<void()> signOut) {
    signOut_.store(std::move(signOut));
}

}  // namespace orlex::launcher
