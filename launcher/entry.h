#pragma once

#include <filesystem>
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

// The process's configuration, from the arguments after the "-D" ones and the process property table:
// --archive (default defaultArchivePath()), --root (default defaultRoot()), --channel (default the
// property orlex.channel, else DEFAULT_CHANNEL); the trust store of javax.net.ssl.trustStore (not set or
// empty: none) with javax.net.ssl.trustStorePassword, for every HTTPS client; the download time-out of
// orlex.downloadTimeoutSeconds (update::parseDownloadTimeout); the account service's origin of
// orlex.halvoOrigin and the game session endpoint of orlex.gameSession (defaults in accounts/); the
// presence's application id of orlex.discord.applicationId. Every delay keeps the system's default.
// This is the one place below main that reads the property table.
LauncherConfig configure(const std::vector<std::string>& arguments);

// The launcher program: arguments without the program name; returns the process exit status.
//
// Mode: command mode when any of --apply-self, --plan, --install, --repair, --verify, --play,
// --builder is present; managed with --managed, UI self-check with --ui-smoke, unmanaged otherwise.
// This build runs the command modes --plan, --install, --repair and --verify on the game installation:
// every progress event of the game engine as "{phase} {completed}/{total}", after planning
// "PLAN files={} bytes={} version={}" and, unless --plan is present, the installation; for --verify
// "VERIFIED {release directory}". The other modes end with status 1 and a message saying this build
// does not have them yet.
//
// Configuration: configure(), once; the release key comes from the configured archive.
//
// Status 0 once every command has succeeded; status 1 for any failure, whose description (its message
// and those of its nested causes, one per line) goes to err; it is never written to the launcher log
// (only the presence's notices are, outside the command modes).
// out receives whole lines, possibly from the engine's transfer threads. No thread of the launcher
// outlives the call.
int launcherMain(const std::vector<std::string>& arguments, std::ostream& out = std::cout,
                 std::ostream& err = std::cerr);

}  // namespace orlex::launcher
