#include "launcher/launcher.h"

#include "launcher/launcher_log.h"
#include "update/channel_url.h"

namespace orlex::launcher {

Launcher::Launcher(std::filesystem::path root, std::string channel, update::Ed25519Key key,
                   LauncherTiming timing)
    : root_(std::move(root)), channel_(std::move(channel)), key_(std::move(key)), timing_(std::move(timing)) {
    patcher_ = std::make_unique<update::Patcher>(channel_, key_, root_, "client", timing_.engine);
    root_ = patcher_->root();
}

Launcher::~Launcher() {
    // Threads first: a running task may still use the engine or the view.
    updateMonitor_.shutdown();
    worker_.shutdown();
}

std::unique_ptr<update::Patcher> Launcher::selfPatcher() const {
    return std::make_unique<update::Patcher>(update::resolveUrl(channel_, "../launcher/"), key_,
                                             root_ / "launcher", "launcher", timing_.engine);
}

void Launcher::attachView(std::shared_ptr<LauncherView> view) {
    view_ = std::move(view);
}

void Launcher::launcherLog(const std::string& message) const {
    appendLauncherLog(root_, message);
}

}  // namespace orlex::launcher
