#pragma once

#include <filesystem>
#include <memory>

#include "discord/presence.h"
#include "launcher/account_session.h"
#include "launcher/game_installation.h"
#include "launcher/game_launch.h"
#include "launcher/launcher_config.h"
#include "launcher/launcher_view.h"
#include "launcher/operation_runner.h"
#include "launcher/self_update.h"
#include "update/signature.h"

namespace orlex::launcher {

// The launcher core of one install root and update channel, in three parts: the operation runner (one
// operation at a time, status, failures, progress), the game installation (engines, probe) and the
// account session (grant, remember/restore, sign-out); besides them the Discord presence, the game
// launch, which starts the game and the world builder, and the self-update, which installs and starts
// the launcher's own releases, with what the other parts know. The parts
// reach each other only through what this object gives them at construction. None touches a widget:
// everything visible goes through the attached LauncherView.
//
// Construction validates the channel and the root through the game engine (SecurityFailure) and creates
// the root; the account client then loads its stored session. The instance is destroyed on the UI
// thread (or once it has ended): functions it posted and that have not run yet do nothing from then on,
// and its threads stop, a running task being asked to stop, so they never keep a process alive.
class Launcher {
public:
    // The presence is the disabled one.
    Launcher(LauncherConfig config, update::Ed25519Key key);
    Launcher(LauncherConfig config, update::Ed25519Key key, discord::DiscordRichPresence presence);
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;
    ~Launcher();

    OperationRunner& runner() { return runner_; }
    GameInstallation& installation() { return installation_; }
    AccountSession& session() { return session_; }
    GameLaunch& launch() { return launch_; }
    SelfUpdate& selfUpdate() { return selfUpdate_; }
    discord::DiscordRichPresence& presence() { return presence_; }
    // The configuration as given, with the root made absolute and normalised.
    const LauncherConfig& config() const { return config_; }
    const std::filesystem::path& root() const { return config_.root; }

    // Once, before the first operation: the window (absent in the modes without one). Also makes the
    // runner show the game engine's progress.
    void attachView(std::shared_ptr<LauncherView> view);

private:
    LauncherConfig config_;
    OperationRunner runner_;
    GameInstallation installation_;
    AccountSession session_;
    discord::DiscordRichPresence presence_;
    GameLaunch launch_;
    SelfUpdate selfUpdate_;
};

}  // namespace orlex::launcher
