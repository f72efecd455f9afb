#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/shared_value.h"
#include "launcher/intro_screen.h"
#include "launcher/launcher_config.h"

namespace orlex::discord {
class DiscordRichPresence;
}

namespace orlex::launcher {

class AccountSession;
class GameInstallation;
class OperationRunner;

// Starts the game and the world builder from the verified active release, on the release's own runtime,
// and watches them until they end. The player's grant reaches them only through their environment
// (ORLEX_GAME_TOKEN and its companions), never on a command line, which any local user can read. The
// installation lock is held for the whole run, so no launcher plans or installs underneath a running
// game. Both children run in the release directory, with their standard output and error in
// userdata/client.log or userdata/builder.log, rewritten at each start; they inherit no descriptor of
// the launcher beyond their standard streams.
//
// play() and openBuilder() block their thread (the worker, or the main thread in command mode) for the
// whole run, polling every POLL; window changes are posted to the UI thread.
class GameLaunch {
public:
    static constexpr std::chrono::milliseconds POLL{100};
    static constexpr int UPDATE_REQUEST = 42;  // the game's exit code that asks for a game update

    static constexpr const char* GAME_MAIN = "com.orlex.client.Desktop";
    static constexpr const char* BUILDER_MAIN = "com.orlex.builder.WorldBuilder";
    static constexpr const char* INTRO_FILM = "assets/velkor-games-logo.mp4";

    // config: root, platform, and the properties passed on to the game.
    GameLaunch(const LauncherConfig& config, OperationRunner& runner, GameInstallation& installation,
               AccountSession& session, discord::DiscordRichPresence& presence);
    GameLaunch(const GameLaunch&) = delete;
    GameLaunch& operator=(const GameLaunch&) = delete;

    // The intro player of the program's user interface; without one a game start with intro fails at the
    // intro. Any thread, before the start it should serve.
    void attachIntro(std::shared_ptr<IntroScreen> intro) { intro_.store(std::move(intro)); }

    // Starts the game and waits for its end; returns its exit code. The signed-in player's grant is
    // renewed first. Without smoke the intro plays first and its holding screen stays up until the game
    // creates its client-ready marker (ORLEX_CLIENT_READY) or ends. A game that creates its update-return
    // marker (ORLEX_UPDATE_RETURN) brings the window to the front once. Exit code 42: the game release is
    // installed and the launcher's own update offered; returns 0 then. Whatever happens, the holding
    // screen closes, the markers go and the presence shows the launcher again.
    int play(bool smoke);
    // Starts the world builder and waits for its end; returns its exit code. A signed-in player needs the
    // role "worldbuilder.open" (else SecurityFailure("Ce compte ne dispose pas du droit World Builder.")
    // before anything starts) and gets an editor session broker for the run.
    int openBuilder();

    // The class path of a release's app directory: its regular files whose name ends in ".jar" (any
    // case), sorted by name ignoring case, as full paths joined by ";" (windows) or ":". Fails with
    // IoFailure("Aucun fichier JAR client dans {}") when there is none, and when app cannot be listed.
    static std::string classpath(const std::filesystem::path& app, bool windows);

    // Brings the launcher window to the player (shown, restored, raised, focused); nothing without one.
    void foregroundForUpdate();

private:
    std::filesystem::path runtimeProgram(const std::filesystem::path& release) const;
    std::filesystem::path userdata() const { return root_ / "userdata"; }
    // A fresh grant for the signed-in player, kept in the session's signed-in state.
    void renewGrant();
    // Exit code 42: installs the game channel's release, then offers the launcher's own update.
    void installRequestedUpdate();

    std::filesystem::path root_;
    std::string platform_;
    std::vector<std::pair<std::string, std::string>> gameProperties_;
    OperationRunner& runner_;
    GameInstallation& installation_;
    AccountSession& session_;
    discord::DiscordRichPresence& presence_;
    common::SharedValue<std::shared_ptr<IntroScreen>> intro_;
};

}  // namespace orlex::launcher
