#pragma once

#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/launcher_config.h"

namespace orlex::launcher {

// The element after the first occurrence of flag among positions 0 to size − 2, else fallback. A
// flag in the last position has no value and is ignored; a value is never tested for looking like
// a flag ("--root --channel" gives "--channel").
std::string arg(const std::vector<std::string>& args, std::string_view flag, std::string fallback);
std::optional<std::string> arg(const std::vector<std::string>& args, std::string_view flag);

// Moves the leading "-Dname=value" arguments into the process property table (common/properties.h)
// and returns the arguments after them. "-Dname" alone sets an empty value; a "-D" argument after the
// first other argument is an ordinary argument. A "-D" without a name fails with FormatFailure.
std::vector<std::string> takeProperties(const std::vector<std::string>& arguments);

// The environment variable of "-D" settings for the launcher processes of an environment, the way to set
// them where the starting program passes none (the installer passes only --archive and --root): words
// separated by blanks, each a "-Dname=value" setting. Every launcher process takes them before its own
// "-D" arguments, which win; the processes it starts inherit the variable.
inline constexpr const char* OPTIONS_VARIABLE = "ORLEX_LAUNCHER_OPTIONS";

// The words of OPTIONS_VARIABLE, then arguments. A word that is not a "-D" setting fails with
// FormatFailure("Option invalide dans ORLEX_LAUNCHER_OPTIONS : <word>").
std::vector<std::string> withEnvironmentOptions(const std::vector<std::string>& arguments);

// The process's configuration, from the arguments after the "-D" ones and the process property table:
// --archive (default defaultArchivePath()), --root (default defaultRoot()), --channel (default the
// property orlex.channel, else DEFAULT_CHANNEL); the trust store of javax.net.ssl.trustStore (not set or
// empty: none) with javax.net.ssl.trustStorePassword, for every HTTPS client; the download time-out of
// orlex.downloadTimeoutSeconds (update::parseDownloadTimeout); the account service's origin of
// orlex.halvoOrigin and the game session endpoint of orlex.gameSession (defaults in accounts/); the
// presence's application id of orlex.discord.applicationId. Every delay keeps the system's default.
// This is the one place below main that reads the property table.
LauncherConfig configure(const std::vector<std::string>& arguments);

class Launcher;

// What the window modes ask of the program's user interface, which launcher/ does not have (it links no
// widgets): the program that has one hands launcherMain a WindowModes (orlex-launcher: ui/window_modes.h).
struct WindowStart {
    bool selfCheck = false;            // --ui-smoke: capture the window and end
    std::filesystem::path screenshot;  // where the self-check writes its PNG
    // The entry's start confirmation; to be called once, on the UI thread, as soon as the window is up.
    // May fail; the failure then escapes the window modes.
    std::function<void()> windowShown;
    std::ostream* out = nullptr;  // the program's standard output
};
// Runs on the main thread, which becomes the UI thread: builds launcher's window, calls windowShown, and
// runs the window until it ends the process's interface; returns the exit status. When it returns, no
// thread of any launcher it made runs, and launcher's threads post nothing more.
using WindowModes = std::function<int(Launcher& launcher, const WindowStart& start)>;
// Runs commands on another thread while the main thread becomes the UI thread that shows the game's
// intro and holding screen, with an intro screen attached to launcher first (GameLaunch::attachIntro);
// returns what commands returns, or rethrows its failure. Used by command mode for --play without
// --smoke.
using IntroHost = std::function<int(Launcher& launcher, const std::function<int()>& commands)>;

// The program's user interface, as far as it has one.
struct UserInterface {
    WindowModes windows;
    IntroHost intro;
};

// The launcher program: arguments without the program name; returns the process exit status.
//
// Mode: command mode when any of --apply-self, --plan, --install, --repair, --verify, --play,
// --builder is present; managed with --managed, UI self-check with --ui-smoke, unmanaged otherwise.
// Command mode, in this order: --plan, --install, --repair on the game installation: every progress
// event of the game engine as "{phase} {completed}/{total}", after planning "PLAN files={} bytes={}
// version={}" and, unless --plan is present, the installation; --verify: "VERIFIED {release directory}";
// --play: the game (GameLaunch::play, with --smoke as a smoke start without intro), a non-zero exit code
// failing with "Le client a quitté avec le code {}"; --builder: the world builder, a non-zero exit code
// failing with "World Builder interrompu : {}". Nothing of the account is restored in command mode: the
// game and the builder start without session data. The intro of --play needs ui.intro; without it such
// a start fails at the intro.
//
// Window modes (--managed, --ui-smoke, without a command): windows runs them. Once the window is up, when
// the environment variable ORLEX_LAUNCHER_HANDSHAKE names a file, this process's id is written to it in
// decimal without a line end (the file created or emptied first): the start confirmation a self-update
// waits for. The self-check then waits 4.5 s, writes a PNG of the window to --screenshot (default
// "/tmp/orlex-launcher.png"), prints "LAUNCHER_UI_PASS" and ends with status 0.
//
// Apply-self mode (--apply-self [--wait-pid PID], decimal, default 0; anything else fails with
// FormatFailure) and unmanaged mode (no mode flag): SelfUpdate::applySelf, status 0 once a launcher
// release has been started. The window modes without ui.windows end with status 1 and a message saying
// this build does not have them.
//
// Configuration: configure(), once; the release key comes from the configured archive.
//
// Status 0 once every command has succeeded; status 1 for any failure, whose description (its message
// and those of its nested causes, one per line) goes to err; it is never written to the launcher log
// (only the presence's notices are, outside the command modes).
// out receives whole lines, possibly from the engine's transfer threads. No thread of the launcher
// outlives the call.
int launcherMain(const std::vector<std::string>& arguments, std::ostream& out = std::cout,
                 std::ostream& err = std::cerr, const UserInterface& ui = {});

}  // namespace orlex::launcher
