#include "launcher/self_update.h"

#include <iostream>
#include <optional>
#include <thread>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/host.h"
#include "common/preferences.h"
#include "common/utf8.h"
#include "common/uuid.h"
#include "launcher/account_session.h"
#include "launcher/archive.h"
#include "launcher/game_installation.h"
#include "launcher/operation_runner.h"
#include "update/atomic_write.h"
#include "update/patcher.h"

namespace orlex::launcher {
namespace fs = std::filesystem;
namespace {

constexpr const char* HANDSHAKE_VARIABLE = "ORLEX_LAUNCHER_HANDSHAKE";
constexpr const char* OLD_LAUNCHER_RUNNING = "Ancien launcher encore actif";
constexpr const char* NEW_LAUNCHER_FAILED =
    "Nouveau launcher non démarré ; version précédente restaurée si disponible";
constexpr std::size_t MAX_POINTER = 4096;  // as the engine reads its pointer

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Writes the failed-release record; what stands in its place (a directory, say) goes first. False, with
// a line on the error output, when it still cannot be written (a full disk, a link above it).
bool recordFailedRelease(const fs::path& record, const std::string& id) {
    for (int attempt = 0;; ++attempt) {
        try {
            update::atomicWrite(record, bytesOf(id));
            return true;
        } catch (const std::exception& unrecorded) {
            if (attempt > 0) {
                std::cerr << "Version en échec non enregistrée : " << unrecorded.what() << std::endl;
                return false;
            }
        }
        try {
            update::Patcher::deleteTree(record);
        } catch (const std::exception&) {
            // the second attempt reports it
        }
    }
}

}  // namespace

SelfUpdate::SelfUpdate(const LauncherConfig& config, OperationRunner& runner, GameInstallation& installation,
                       AccountSession& session)
    : root_(config.root),
      channel_(config.channel),
      platform_(config.platform),
      program_(config.program),
      archive_(config.archive),
      launcherProperties_(config.launcherProperties),
      timing_(config.selfUpdate),
      runner_(runner),
      installation_(installation),
      session_(session) {}

void SelfUpdate::startSelfUpdate() {
    update::Patcher& engine = installation_.launcherEngine();
    const update::Plan plan = engine.plan(engine.remote());
    if (!GameInstallation::needsUpdate(engine, plan)) {
        runner_.post([](LauncherView& view) { view.showLauncherCurrent(); });
        return;
    }
    if (session_.signedIn()) {
        session_.client().persist();
        common::Preferences preferences(PREFS);
        preferences.put(AccountSession::IDENTITY_KEY, session_.identity());
        preferences.putBoolean(AccountSession::UPDATE_RESUME_KEY, true);
        preferences.flush();
    }
    if (program_.empty())
        throw common::IoFailure("Programme du launcher inconnu");
    common::ProcessSpec spec{.program = program_, .arguments = propertyArguments()};
    for (const std::string& argument :
         {std::string("--archive"), common::utf8Of(archive_), std::string("--apply-self"),
          std::string("--wait-pid"), std::to_string(common::currentProcessId()), std::string("--root"),
          common::utf8Of(root_), std::string("--channel"), channel_})
        spec.arguments.push_back(argument);
    common::createDirectories(userdata());
    spec.outputFile = userdata() / "launcher-update.log";
    // The apply-self process outlives this one: its owner goes without ending it.
    common::ChildProcess::start(spec);
    runner_.post([](LauncherView& view) { view.endForSelfUpdate(); });
}

void SelfUpdate::applySelf(std::int64_t pid) {
    if (pid > 0) {
        bool ended = false;
        try {
            ended = common::waitForProcessEnd(pid, timing_.oldLauncherWait);
        } catch (...) {
            common::raiseWithCause(common::IoFailure(OLD_LAUNCHER_RUNNING), std::current_exception());
        }
        if (!ended)
            throw common::IoFailure(OLD_LAUNCHER_RUNNING);
    }

    update::Patcher& engine = installation_.launcherEngine();
    const fs::path pointer = engine.root() / "current";
    const std::optional<update::Signed> previous = engine.installed();
    std::optional<std::vector<std::uint8_t>> keptPointer;
    if (previous) {
        common::SmallFile kept = common::readSmallFile(pointer, MAX_POINTER);
        if (kept.kind == common::NodeKind::Regular && !kept.oversized)
            keptPointer = std::move(kept.bytes);
    }
    const update::Signed candidate = engine.remote();

    // The installed release stands in for a failed candidate only when it is another release: a hand-off
    // cut off after the pointer moved leaves the failed candidate itself installed.
    const bool fallbackExists = previous && previous->id != candidate.id;
    if (fallbackExists && installation_.failedLauncher(candidate)) {
        const fs::path release = engine.verifiedRelease();
        launchUpdated(release, freshHandshake());
        return;
    }
    engine.install(engine.plan(candidate));
    const fs::path release = engine.verifiedRelease();
    const fs::path handshake = freshHandshake();
    common::ChildProcess started = launchUpdated(release, handshake);
    for (int poll = 0; poll < timing_.confirmPolls; ++poll) {
        if (common::nodeKind(handshake) != common::NodeKind::Missing || started.poll())
            break;
        std::this_thread::sleep_for(timing_.confirmPoll);
    }
    if (common::nodeKind(handshake) != common::NodeKind::Missing) {
        // A record that cannot go (a directory in its place) names no release: the start stands.
        try {
            common::removeNode(failedRecord());
        } catch (const std::exception&) {
        }
        return;
    }

    started.terminate(timing_.terminateGrace);
    const bool recorded = recordFailedRelease(failedRecord(), candidate.id);
    if (fallbackExists && keptPointer) {
        {
            const update::Lock lock = engine.lock();
            update::atomicWrite(pointer, *keptPointer);
        }
        // Only the record keeps the restored launcher from offering the failed release at once and
        // handing over to it again, round after round: without it the failure ends here.
        if (recorded)
            launchUpdated(engine.verifiedRelease(), handshake);
    } else if (previous && !fallbackExists) {
        // Installed already (a slow start of the current release, or a hand-off cut off after the pointer
        // moved): it stays, and starts again in case it was only slow. Being no fallback of its own, every
        // later start of it is still waited for.
        launchUpdated(engine.verifiedRelease(), handshake);
    } else {
        const update::Lock lock = engine.lock();
        common::removeNode(pointer);
    }
    throw common::IoFailure(NEW_LAUNCHER_FAILED);
}

common::ChildProcess SelfUpdate::launchUpdated(const fs::path& release, const fs::path& handshake) {
    const bool windows = platform_.starts_with("windows");
    common::ProcessSpec spec{
        .program = release / "runtime" / "bin" / (windows ? "orlex-launcher.exe" : "orlex-launcher"),
        .arguments = propertyArguments()};
    for (const std::string& argument :
         {std::string("--archive"), common::utf8Of(release / "app" / "launcher.zip"),
          std::string("--managed"), std::string("--root"), common::utf8Of(root_), std::string("--channel"),
          channel_})
        spec.arguments.push_back(argument);
    spec.environment.push_back({HANDSHAKE_VARIABLE, common::utf8Of(handshake)});
    return common::ChildProcess::start(spec);
}

fs::path SelfUpdate::freshHandshake() const {
    common::createDirectories(userdata());
    return userdata() / ("launcher-ready-" + common::randomUuid());
}

std::vector<std::string> SelfUpdate::propertyArguments() const {
    std::vector<std::string> arguments;
    for (const auto& [name, value] : launcherProperties_)
        arguments.push_back("-D" + name + "=" + value);
    return arguments;
}

}  // namespace orlex::launcher
