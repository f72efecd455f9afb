#include "launcher/launcher.h"

#include "launcher/launcher_log.h"
#include "update/channel_url.h"

namespace orlex::launcher {

Launcher::Launcher(LauncherConfig config, update::Ed25519Key key)
    : root_(config.root), channel_(config.channel), key_(std::move(key)), config_(std::move(config)) {
    signOut_.store([this] { logoutHalvo(); });
    patcher_ = std::make_unique<update::Patcher>(channel_, key_, root_, "client", config_.engine);
    root_ = patcher_->root();
    halvo_ =
        std::make_unique<accounts::HalvoIdClient>(root_ / "userdata" / "account-session", config_.account);
}

Launcher::~Launcher() {
    // Posted functions not yet run find the instance gone and do nothing.
    alive_.reset();
    // Threads next: a running task may still use the engine or the view.
    updateMonitor_.shutdown();
    worker_.shutdown();
}

std::unique_ptr<update::Patcher> Launcher::selfPatcher() const {
    return std::make_unique<update::Patcher>(update::resolveUrl(channel_, "../launcher/"), key_,
                                             root_ / "launcher", "launcher", config_.engine);
}

void Launcher::attachView(std::shared_ptr<LauncherView> view) {
    view_.store(std::move(view));
    patcher_->onProgress([this](const update::Progress& event) { progress(event); });
}

void Launcher::launcherLog(const std::string& message) const {
    appendLauncherLog(root_, message);
}

void Launcher::post(std::function<void(LauncherView&)> fn) {
    std::shared_ptr<LauncherView> view = view_.load();
    if (!view)
        return;
    view->post([alive = std::weak_ptr<const bool>(alive_), target = std::weak_ptr<LauncherView>(view),
                fn = std::move(fn)] {
        const std::shared_ptr<LauncherView> current = target.lock();
        if (alive.lock() && current)
            fn(*current);
    });
}

bool Launcher::signedIn() const {
    const std::string identity = halvoIdentity.load();
    return identity.find_first_not_of(" \t\n\v\f\r") != std::string::npos;
}

}  // namespace orlex::launcher
