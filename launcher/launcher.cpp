#include "launcher/launcher.h"

#include "update/paths.h"

namespace orlex::launcher {
namespace {

LauncherConfig withNormalisedRoot(LauncherConfig config) {
    config.root = update::normalised(config.root);
    return config;
}

}  // namespace

Launcher::Launcher(LauncherConfig config, update::Ed25519Key key)
    : Launcher(std::move(config), std::move(key), discord::DiscordRichPresence::disabled()) {}

Launcher::Launcher(LauncherConfig config, update::Ed25519Key key, discord::DiscordRichPresence presence)
    : config_(withNormalisedRoot(std::move(config))),
      runner_(config_, {.signedIn = [this] { return session_.signedIn(); },
                        .signOut = [this] { session_.logoutHalvo(); },
                        .notReady = [this] { installation_.markNotReady(); }}),
      installation_(config_, key, runner_, [this] { return session_.signedIn(); }),
      session_(config_, runner_, installation_.updateMonitor()),
      presence_(std::move(presence)),
      launch_(config_, runner_, installation_, session_, presence_),
      selfUpdate_(config_, runner_, installation_, session_) {}

Launcher::~Launcher() {
    // Posted functions first, then the threads: a running task may still use any part or the view.
    runner_.shutdown();
    installation_.stopUpdateProbe();
}

void Launcher::attachView(std::shared_ptr<LauncherView> view) {
    runner_.attachView(std::move(view));
    installation_.engine().onProgress([this](const update::Progress& event) { runner_.progress(event); });
}

}  // namespace orlex::launcher
