#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/executor.h"
#include "common/shared_value.h"
#include "launcher/launcher_config.h"
#include "launcher/operation_runner.h"
#include "update/patcher.h"
#include "update/signature.h"

namespace orlex::launcher {

// Keeps the game installed under the root and current with the update channel: the game release engine,
// the operations that install and check it, the `ready` state that decides what the main button does,
// the installation texts of the main window, and the periodic update probe on its own thread
// "orlex-update-monitor", which also watches the launcher's own channel through the launcher release
// engine.
//
// Construction validates the channel and the root through the game engine (SecurityFailure) and creates
// the root. The destructor stops the probe thread.
class GameInstallation {
public:
    // config: channel, root, engine settings, probe delays. runner: where operations run and what they
    // show. signedIn: any thread, whether a player is signed in (the main button is shown only then).
    GameInstallation(const LauncherConfig& config, const update::Ed25519Key& key, OperationRunner& runner,
                     std::function<bool()> signedIn);
    GameInstallation(const GameInstallation&) = delete;
    GameInstallation& operator=(const GameInstallation&) = delete;
    ~GameInstallation();  // stopUpdateProbe()

    // The game release engine: base the channel, root the install root, product "client".
    update::Patcher& engine() { return *engine_; }
    // The launcher release engine: the channel resolved with "../launcher/", root root()/"launcher",
    // product "launcher". Made on first use (which creates that root and may fail as the constructor
    // does), then kept. Any thread.
    update::Patcher& launcherEngine();
    const std::filesystem::path& root() const { return engine_->root(); }
    // The probe's thread, which other parts may schedule their own delayed work on.
    common::Executor& updateMonitor() { return updateMonitor_; }

    // True when engine has no installed release, the installed release is not plan's release, or the
    // plan has a file to fetch.
    static bool needsUpdate(update::Patcher& engine, const update::Plan& plan);

    // Operation bodies (worker thread). The first check of a managed start: installs the channel's
    // release when needed, then shows the result as refresh() does. When nothing needed installing, the
    // result is the one just planned: the installation is hashed once, and the channel asked once.
    void ensureGameInstalled();
    // Started by the probe: fetches the channel's release again, installs it, then refresh().
    void updateGame();
    // The install action (main button when not ready, "Réparer", the game update dialog): fetches the
    // channel's release into remote(), installs it (re-verifying every file), then refresh().
    void installGame();
    // Fetches the channel's release into remote(), plans it (hashing every installed file), recomputes
    // ready() and posts the installation texts (LauncherView::showInstallation). Step "distribution_check".
    void refresh();

    // The manual update check (operation body, worker thread): when the launcher channel's release needs
    // installing, offers it (showLauncherUpdate; the failed-release record is not consulted); otherwise
    // plans the game channel's release and posts showGameUpdate when the game needs an update, else
    // showLauncherCurrent.
    void checkLauncherUpdate();

    // True when userdata/launcher-failed-manifest is a regular file whose trimmed text is release's id.
    bool failedLauncher(const update::Signed& release) const;

    // One update probe (normally on "orlex-update-monitor"). Does nothing while an operation or another
    // probe runs, a launcher update is in progress (selfUpdatePrompt()) or the window is absent or no
    // longer displayable. Offers a newer launcher release (showLauncherUpdate) unless it is the failed
    // one, and starts updateGame as an operation when the game is no longer current. A failure is logged
    // as "update_probe" and shown as a status; it never stops the schedule.
    void monitorUpdates();
    // Schedules monitorUpdates on "orlex-update-monitor": probeFirst from now, then probeEvery after the
    // end of each run, until stopUpdateProbe() or destruction.
    void startUpdateProbe();
    // Any thread but the probe's own. Stops the probe thread for good (window closed), with everything
    // scheduled on it; asks a running probe to stop and waits for it. Idempotent.
    void stopUpdateProbe();

    // State, each value read and written as one unit from any thread.
    // The installed game release is known to equal the channel's with nothing to fetch.
    bool ready() const { return ready_; }
    // A failed operation (but for an expired session) leaves the game not ready.
    void markNotReady() { ready_ = false; }
    bool updateProbeRunning() const { return updateProbeRunning_; }
    // A launcher update or an update dialog is in progress: the probe stays quiet.
    bool selfUpdatePrompt() const { return selfUpdatePrompt_; }
    void setSelfUpdatePrompt(bool value) { selfUpdatePrompt_ = value; }
    // The game release fetched by the last refresh or install action; nullopt before the first.
    std::optional<update::Signed> remote() const { return remote_.load(); }
    // Ids of the channels' releases last found to need no action; "" before the first.
    std::string checkedGameManifest() const { return checkedGameManifest_.load(); }
    std::string checkedLauncherManifest() const { return checkedLauncherManifest_.load(); }

private:
    // ready() and the installation texts from the channel's release as planned and the installed one.
    void show(const update::Plan& plan, const std::optional<update::Signed>& installed);
    bool probeLauncherSide();  // true when a launcher update was offered (the probe ends there)
    void probeGameSide();
    void probeAndReschedule();

    OperationRunner& runner_;
    std::function<bool()> signedIn_;
    std::string channel_;
    update::Ed25519Key key_;
    update::PatcherSettings engineSettings_;
    std::chrono::milliseconds probeFirst_;
    std::chrono::milliseconds probeEvery_;

    std::atomic<bool> ready_{false};
    std::atomic<bool> updateProbeRunning_{false};
    std::atomic<bool> selfUpdatePrompt_{false};
    common::SharedValue<std::optional<update::Signed>> remote_;
    common::SharedValue<std::string> checkedGameManifest_;
    common::SharedValue<std::string> checkedLauncherManifest_;

    std::unique_ptr<update::Patcher> engine_;
    std::once_flag launcherEngineMade_;
    std::unique_ptr<update::Patcher> launcherEngine_;
    common::Executor updateMonitor_{"orlex-update-monitor"};  // last: stopped before the engines go
};

}  // namespace orlex::launcher
