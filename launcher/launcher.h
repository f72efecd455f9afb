#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "common/executor.h"
#include "launcher/launcher_view.h"
#include "update/patcher.h"

namespace orlex::launcher {

// Every delay the launcher core waits for; tests shrink them.
struct LauncherTiming {
    std::chrono::milliseconds probeFirst{2000};   // first update probe after the window is built
    std::chrono::milliseconds probeEvery{10000};  // between the end of one probe and the next
    std::chrono::nanoseconds progressThrottle{80'000'000};
    update::PatcherSettings engine;  // transport pauses, clock
};

// A value shared between threads as one atomic unit; no lock guards combinations of such values.
template <typename T>
class AtomicValue {
public:
    explicit AtomicValue(T initial = T{}) : value_(std::move(initial)) {}
    T load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void store(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    T value_;
};

// The launcher core of one install root and update channel. Owns the two worker threads ("orlex-patcher"
// for operations, "orlex-update-monitor" for the probe), the game release engine and the window state
// flags. Construction validates the channel and the root through the game engine (SecurityFailure) and
// creates the root. Never touches a widget: everything visible goes through the LauncherView.
class Launcher {
public:
    // The release key is given; the presence is the disabled one (added with the presence client).
    Launcher(std::filesystem::path root, std::string channel, update::Ed25519Key key,
             LauncherTiming timing = {});
    ~Launcher();

    const std::filesystem::path& root() const { return root_; }
    const std::string& channel() const { return channel_; }
    update::Patcher& patcher() { return *patcher_; }
    const update::Ed25519Key& releaseKey() const { return key_; }

    // A new engine for the launcher's own releases: the channel resolved with "../launcher/", root
    // root()/"launcher", product "launcher".
    std::unique_ptr<update::Patcher> selfPatcher() const;

    // The window, once built (absent in the modes without one).
    void attachView(std::shared_ptr<LauncherView> view);

    // Appends to this instance's launcher log; never fails.
    void launcherLog(const std::string& message) const;

    // Shared state, each field one atomic value.
    std::atomic<bool> operationRunning{false};
    std::atomic<bool> ready{false};
    std::atomic<bool> updateProbeRunning{false};
    std::atomic<bool> selfUpdatePrompt{false};
    std::atomic<bool> resumeAfterUpdate{false};
    std::atomic<std::int64_t> progressUiTime{0};
    AtomicValue<std::string> operationStep{"idle"};
    AtomicValue<std::optional<update::Signed>> remote;
    AtomicValue<std::string> checkedLauncherManifest;
    AtomicValue<std::string> checkedGameManifest;
    AtomicValue<std::string> halvoIdentity;
    AtomicValue<std::string> gameToken;
    AtomicValue<std::string> realtimeUrl;
    AtomicValue<std::set<std::string>> gameRoles;
    std::atomic<int> restoreAttempts{0};

protected:
    std::filesystem::path root_;
    std::string channel_;
    update::Ed25519Key key_;
    LauncherTiming timing_;
    common::Executor worker_{"orlex-patcher"};
    common::Executor updateMonitor_{"orlex-update-monitor"};
    std::unique_ptr<update::Patcher> patcher_;
    std::shared_ptr<LauncherView> view_;
};

}  // namespace orlex::launcher
