#pragma once

#include <functional>
#include <string>

#include "update/patcher.h"

namespace orlex::launcher {

// What the launcher core may do to its window. The core never touches a widget: it calls post() from
// any thread, and only the function it posts calls the other members, on the UI thread. The window
// implements post() with a queued call to the Qt GUI thread; tests use a recording fake.
class LauncherView {
public:
    virtual ~LauncherView() = default;

    // Runs fn later on the UI thread; posts run in posting order. Callable from any thread.
    virtual void post(std::function<void()> fn) = 0;
    // False once the window is disposed; read from any thread.
    virtual bool displayable() const = 0;

    // UI thread only, from here on.
    virtual void setStatus(const std::string& text) = 0;
    // action, repair, folder, self, builder, halvo, settings get `enabled`; logout gets `logoutEnabled`.
    virtual void setControlsEnabled(bool enabled, bool logoutEnabled) = 0;
    virtual void setActionText(const std::string& text) = 0;
    virtual void setActionVisible(bool visible) = 0;
    virtual void setBar(int thousandths) = 0;  // 0 to 1000
    virtual void setTransfer(const std::string& text) = 0;
    virtual void setInstalled(const std::string& text) = 0;
    // The launcher channel has a newer release: starts the launcher update (its own guard applies).
    virtual void showLauncherUpdate(const update::Plan& plan) = 0;
};

}  // namespace orlex::launcher
