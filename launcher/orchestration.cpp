// Game installation, the installation texts of the main window, and the periodic update probe that
// watches both the game channel and the launcher's own channel.

#include <fstream>
#include <iterator>
#include <system_error>

#include "common/interruption.h"
#include "common/text.h"
#include "launcher/launcher.h"
#include "launcher/launcher_failure.h"
#include "launcher/progress_text.h"

namespace orlex::launcher {

namespace {

using common::trimmed;

constexpr const char* PROBE_UNAVAILABLE =
    "Vérification des mises à jour indisponible · nouvel essai automatique.";
constexpr std::uintmax_t MAX_FAILED_RECORD = 4096;  // an id is 64 characters; anything far larger is not one

}  // namespace

bool Launcher::needsUpdate(update::Patcher& engine, const update::Plan& plan) {
    const std::optional<update::Signed> installed = engine.installed();
    return !installed || installed->id != plan.release.id || plan.files > 0;
}

void Launcher::ensureGameInstalled() {
    operationStep.store("initial_install");
    const update::Signed release = patcher_->remote();
    const update::Plan plan = patcher_->plan(release);
    if (needsUpdate(*patcher_, plan))
        patcher_->install(plan);
    refresh();
}

void Launcher::updateGame() {
    status("Mise à jour du jeu…");
    patcher_->install(patcher_->plan(patcher_->remote()));
    refresh();
}

void Launcher::installGame() {
    const update::Signed release = patcher_->remote();
    remote.store(release);
    patcher_->install(patcher_->plan(release));
    refresh();
}

void Launcher::refresh() {
    operationStep.store("distribution_check");
    const update::Signed release = patcher_->remote();
    remote.store(release);
    const update::Plan plan = patcher_->plan(release);
    const std::optional<update::Signed> installed = patcher_->installed();
    const bool current = installed && installed->id == release.id && plan.files == 0;
    ready = current;
    if (current)
        checkedGameManifest.store(release.id);

    const std::string installedText =
        "Version installée : " + (installed ? installed->manifest.version : std::string("aucune"));
    const std::string action = current ? "JOUER" : installed ? "METTRE À JOUR" : "INSTALLER";
    const std::string statusText =
        current ? "Prêt à jouer." : "Mise à jour prête • " + megabytes(plan.bytes) + " Mo";
    post([this, installedText, action, statusText, current](LauncherView& view) {
        view.setInstalled(installedText);
        view.setActionText(action);
        view.setActionVisible(signedIn());
        view.setBar(current ? 1000 : 0);
        view.setStatus(statusText);
    });
}

bool Launcher::failedLauncher(const update::Signed& release) const {
    try {
        const std::filesystem::path record = root_ / "userdata" / "launcher-failed-manifest";
        std::error_code error;
        if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(record, error)))
            return false;
        if (std::filesystem::file_size(record, error) > MAX_FAILED_RECORD || error)
            return false;
        std::ifstream in(record, std::ios::binary);
        if (!in)
            return false;
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        return trimmed(text) == release.id;
    } catch (...) {
        return false;
    }
}

void Launcher::monitorUpdates() {
    const std::shared_ptr<LauncherView> view = view_.load();
    if (operationRunning || updateProbeRunning || selfUpdatePrompt || !view || !view->displayable())
        return;
    updateProbeRunning = true;
    try {
        if (!probeLauncherSide())
            probeGameSide();
    } catch (const common::Interrupted&) {
        updateProbeRunning = false;
        throw;
    } catch (...) {
        launcherLog(LauncherFailure::of(std::current_exception()).report("update_probe"));
        status(PROBE_UNAVAILABLE);
    }
    updateProbeRunning = false;
}

bool Launcher::probeLauncherSide() {
    const std::unique_ptr<update::Patcher> engine = selfPatcher();
    const update::Signed release = engine->remote();
    if (release.id == checkedLauncherManifest.load())
        return false;
    const std::optional<update::Signed> installed = engine->installed();
    if (!installed || installed->id != release.id) {
        const update::Plan plan = engine->plan(release);
        if (needsUpdate(*engine, plan) && !failedLauncher(release)) {
            // Left unchecked: an offer that does not lead to an update is made again by the next probe.
            post([plan](LauncherView& view) { view.showLauncherUpdate(plan); });
            return true;
        }
    }
    checkedLauncherManifest.store(release.id);
    return false;
}

void Launcher::probeGameSide() {
    const update::Signed release = patcher_->remote();
    // Planning hashes every installed file: only for a release not yet examined, or when not ready.
    if (release.id == checkedGameManifest.load() && ready)
        return;
    const std::optional<update::Signed> installed = patcher_->installed();
    const update::Plan plan = patcher_->plan(release);
    const bool current = installed && installed->id == release.id && plan.files == 0;
    ready = current;
    if (current) {
        checkedGameManifest.store(release.id);
        return;
    }
    post([this](LauncherView&) {
        if (!operationRunning)
            run([this] { updateGame(); });
    });
}

void Launcher::startUpdateProbe() {
    updateMonitor_.schedule(config_.probeFirst, [this] { probeAndReschedule(); });
}

void Launcher::stopUpdateProbe() {
    updateMonitor_.shutdown();
}

void Launcher::probeAndReschedule() {
    monitorUpdates();  // Interrupted passes through: the schedule is ending
    updateMonitor_.schedule(config_.probeEvery, [this] { probeAndReschedule(); });
}

}  // namespace orlex::launcher
