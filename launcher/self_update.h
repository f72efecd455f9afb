#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/process.h"
#include "launcher/launcher_config.h"

namespace orlex::launcher {

class AccountSession;
class GameInstallation;
class OperationRunner;

// Keeps the launcher itself current: it always runs from a release of the launcher channel installed
// under root/launcher, never from the archive the installer carries.
//
// A running window hands over to a short-lived apply-self process (the same program with --apply-self),
// which waits for the window's process to end, installs the channel's launcher release, starts it with
// a fresh start confirmation file (ORLEX_LAUNCHER_HANDSHAKE) and waits about ten seconds for the new
// launcher to write it. A release that does not confirm is terminated and recorded in
// userdata/launcher-failed-manifest, the previous release's pointer is written back and that release
// started; a recorded release is never installed again (the installed one starts instead) until the
// channel publishes another.
class SelfUpdate {
public:
    // config: root, channel, the program and archive this process runs from, the properties passed on,
    // the confirmation and wait delays.
    SelfUpdate(const LauncherConfig& config, OperationRunner& runner, GameInstallation& installation,
               AccountSession& session);
    SelfUpdate(const SelfUpdate&) = delete;
    SelfUpdate& operator=(const SelfUpdate&) = delete;

    // Operation body (worker thread). When the launcher channel's release needs installing: keeps the
    // signed-in player's session for the next launcher (session file, account.identity and
    // account.updateResume), starts the apply-self process with its output in userdata/launcher-update.log,
    // and asks the window to end the process with status 0. Otherwise shows the "up to date" prompt.
    void startSelfUpdate();

    // The apply-self and unmanaged modes (main thread; pid 0: no process to wait for). Returns once a
    // launcher release has been started; fails with IoFailure("Ancien launcher encore actif") when the
    // process pid still runs after oldLauncherWait, and with IoFailure("Nouveau launcher non démarré ;
    // version précédente restaurée si disponible") when the new release did not confirm its start.
    void applySelf(std::int64_t pid);

    // Starts the launcher release in release with --managed on this root and channel, the confirmation
    // file handshake in its environment, and this process's working directory and output.
    common::ChildProcess launchUpdated(const std::filesystem::path& release,
                                       const std::filesystem::path& handshake);

private:
    std::filesystem::path userdata() const { return root_ / "userdata"; }
    std::filesystem::path failedRecord() const { return userdata() / "launcher-failed-manifest"; }
    std::filesystem::path freshHandshake() const;
    std::vector<std::string> propertyArguments() const;

    std::filesystem::path root_;
    std::string channel_;
    std::string platform_;
    std::filesystem::path program_;
    std::filesystem::path archive_;
    std::vector<std::pair<std::string, std::string>> launcherProperties_;
    SelfUpdateTiming timing_;
    OperationRunner& runner_;
    GameInstallation& installation_;
    AccountSession& session_;
};

}  // namespace orlex::launcher
