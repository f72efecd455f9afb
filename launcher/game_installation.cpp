#include "launcher/game_installation.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "common/interruption.h"
#include "common/text.h"
#include "launcher/launcher_failure.h"
#include "launcher/launcher_log.h"
#include "launcher/progress_text.h"
#include "update/channel_url.h"

namespace orlex::launcher {

namespace {

using common::trimmed;

constexpr const char* PROBE_UNAVAILABLE =
    "Vérification des mises à jour indisponible · nouvel essai automatique.";
constexpr std::uintmax_t MAX_FAILED_RECORD = 4096;  // an id is 64 characters; anything far larger is not one

// The engines' notes go to the launcher log, as well as wherever the settings already send them.
update::PatcherSettings loggingTo(update::PatcherSettings settings, const std::filesystem::path& root) {
    settings.log = [root, earlier = std::move(settings.log)](const std::string& note) {
        earlier(note);
        appendLauncherLog(root, note);
    };
    return settings;
}

}  // namespace

GameInstallation::GameInstallation(const LauncherConfig& config, const update::Ed25519Key& key,
                                   OperationRunner& runner, std::function<bool()> signedIn)
    : runner_(runner),
      signedIn_(std::move(signedIn)),
      channel_(config.channel),
      key_(key),
      engineSettings_(loggingTo(config.engine, config.root)),
      probeFirst_(config.probeFirst),
      probeEvery_(config.probeEvery),
      engine_(std::make_unique<update::Patcher>(channel_, key_, config.root, "client", engineSettings_)) {}

GameInstallation::~GameInstallation() {
    stopUpdateProbe();
}

update::Patcher& GameInstallation::launcherEngine() {
    std::call_once(launcherEngineMade_, [this] {
        launcherEngine_ =
            std::make_unique<update::Patcher>(update::resolveUrl(channel_, "../launcher/"), key_,
                                              root() / "launcher", "launcher", engineSettings_);
    });
    return *launcherEngine_;
}

bool GameInstallation::needsUpdate(update::Patcher& engine, const update::Plan& plan) {
    const std::optional<update::Signed> installed = engine.installed();
    return !installed || installed->id != plan.release.id || plan.files > 0;
}

void GameInstallation::ensureGameInstalled() {
    runner_.setOperationStep("initial_install");
    const update::Signed release = engine_->remote();
    const update::Plan plan = engine_->plan(release);
    if (needsUpdate(*engine_, plan)) {
        engine_->install(plan);
        refresh();
        return;
    }
    // Nothing was fetched: the plan just made is what a refresh would find, without hashing it all again.
    runner_.setOperationStep("distribution_check");
    remote_.store(release);
    show(plan, engine_->installed());
}

void GameInstallation::updateGame() {
    runner_.status("Mise à jour du jeu…");
    engine_->install(engine_->plan(engine_->remote()));
    refresh();
}

void GameInstallation::installGame() {
    const update::Signed release = engine_->remote();
    remote_.store(release);
    engine_->install(engine_->plan(release));
    refresh();
}

void GameInstallation::checkLauncherUpdate() {
    update::Patcher& launcher = launcherEngine();
    const update::Plan launcherPlan = launcher.plan(launcher.remote());
    if (needsUpdate(launcher, launcherPlan)) {
        runner_.post([launcherPlan](LauncherView& view) { view.showLauncherUpdate(launcherPlan); });
        return;
    }
    const update::Plan gamePlan = engine_->plan(engine_->remote());
    if (needsUpdate(*engine_, gamePlan))
        runner_.post([gamePlan](LauncherView& view) { view.showGameUpdate(gamePlan); });
    else
        runner_.post([](LauncherView& view) { view.showLauncherCurrent(); });
}

void GameInstallation::refresh() {
    runner_.setOperationStep("distribution_check");
    const update::Signed release = engine_->remote();
    remote_.store(release);
    const update::Plan plan = engine_->plan(release);
    show(plan, engine_->installed());
}

void GameInstallation::show(const update::Plan& plan, const std::optional<update::Signed>& installed) {
    const bool current = installed && installed->id == plan.release.id && plan.files == 0;
    ready_ = current;
    if (current)
        checkedGameManifest_.store(plan.release.id);

    InstallationState state;
    state.installed =
        "Version installée : " + (installed ? installed->manifest.version : std::string("aucune"));
    state.action = current ? "JOUER" : installed ? "METTRE À JOUR" : "INSTALLER";
    state.bar = current ? 1000 : 0;
    state.status = current ? "Prêt à jouer." : "Mise à jour prête • " + megabytes(plan.fetchBytes) + " Mo";
    runner_.post([this, state](LauncherView& view) mutable {
        // Read when shown: a sign-in or sign-out since the check decides.
        state.actionVisible = signedIn_();
        view.showInstallation(state);
    });
}

bool GameInstallation::failedLauncher(const update::Signed& release) const {
    try {
        const std::filesystem::path record = root() / "userdata" / "launcher-failed-manifest";
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

void GameInstallation::monitorUpdates() {
    const std::shared_ptr<LauncherView> view = runner_.view();
    if (runner_.operationRunning() || updateProbeRunning_ || selfUpdatePrompt_ || !view ||
        !view->displayable())
        return;
    updateProbeRunning_ = true;
    try {
        if (!probeLauncherSide())
            probeGameSide();
    } catch (const common::Interrupted&) {
        updateProbeRunning_ = false;
        throw;
    } catch (...) {
        runner_.log(LauncherFailure::of(std::current_exception()).report("update_probe"));
        runner_.status(PROBE_UNAVAILABLE);
    }
    updateProbeRunning_ = false;
}

bool GameInstallation::probeLauncherSide() {
    update::Patcher& engine = launcherEngine();
    const update::Signed release = engine.remote();
    if (release.id == checkedLauncherManifest_.load())
        return false;
    const std::optional<update::Signed> installed = engine.installed();
    if (!installed || installed->id != release.id) {
        const update::Plan plan = engine.plan(release);
        if (needsUpdate(engine, plan) && !failedLauncher(release)) {
            // Left unchecked: an offer that does not lead to an update is made again by the next probe.
            runner_.post([plan](LauncherView& view) { view.showLauncherUpdate(plan); });
            return true;
        }
    }
    checkedLauncherManifest_.store(release.id);
    return false;
}

void GameInstallation::probeGameSide() {
    const update::Signed release = engine_->remote();
    // Planning hashes every installed file: only for a release not yet examined, or when not ready.
    if (release.id == checkedGameManifest_.load() && ready_)
        return;
    const std::optional<update::Signed> installed = engine_->installed();
    const update::Plan plan = engine_->plan(release);
    const bool current = installed && installed->id == release.id && plan.files == 0;
    ready_ = current;
    if (current) {
        checkedGameManifest_.store(release.id);
        return;
    }
    runner_.post([this](LauncherView& view) {
        if (view.displayable() && !runner_.operationRunning())
            runner_.run([this] { updateGame(); });
    });
}

void GameInstallation::startUpdateProbe() {
    updateMonitor_.schedule(probeFirst_, [this] { probeAndReschedule(); });
}

void GameInstallation::stopUpdateProbe() {
    updateMonitor_.shutdown();
}

void GameInstallation::probeAndReschedule() {
    monitorUpdates();  // Interrupted passes through: the schedule is ending
    updateMonitor_.schedule(probeEvery_, [this] { probeAndReschedule(); });
}

}  // namespace orlex::launcher
