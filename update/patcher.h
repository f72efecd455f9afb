#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/file_lock.h"
#include "update/release.h"
#include "update/signature.h"
#include "update/transport.h"
#include "update/verification.h"

namespace orlex::update {

// What installing a release would fetch: the entries not already valid in the active release.
struct Plan {
    Signed release;
    std::int64_t bytes = 0;
    std::int32_t files = 0;
};

// The engine root's exclusive lock (update.lock). Holding it entitles the holder to change the root;
// destruction or release() unlocks, then closes.
class Lock {
public:
    explicit Lock(common::FileLock held) : held_(std::move(held)) {}
    void release() { held_.release(); }

private:
    common::FileLock held_;
};

// Delays and clocks of one engine; tests shrink them.
struct PatcherSettings {
    TransportTiming transport;
    ManifestVerifier::Clock now = ManifestVerifier::systemSeconds;
};

// One engine root for one product on one update channel.
// remote(), installed() and verifiedRelease() take no lock and may run on any thread.
// plan() and install() hold the root's update.lock for their whole run and fail at once with
// IoFailure("Installation déjà utilisée") when another holder exists, in this process or another.
class Patcher {
public:
    using ProgressListener = std::function<void(const Progress&)>;

    // Fails with SecurityFailure before any request when the channel base or the root is refused;
    // creates the root when missing.
    Patcher(std::string base, Ed25519Key key, std::filesystem::path root, std::string product,
            PatcherSettings settings = {});

    // Set once, before use. Called from the installing thread and from the transfer's own progress
    // callbacks; must be thread-safe and return quickly.
    void onProgress(ProgressListener listener);

    const std::filesystem::path& root() const { return root_; }
    const std::string& base() const { return base_; }

    Signed remote();                    // the channel's current release, verified as fresh; never cached
    std::optional<Signed> installed();  // nullopt when nothing is installed
    Plan plan(const Signed& release);
    void install(const Signed& release);      // the pointer write is the only commit
    std::filesystem::path verifiedRelease();  // proves the active release intact; hashes every file
    Lock lock();

    // Deletes a tree without following links; nothing reached through a link is deleted. A directory
    // that cannot be listed fails with IoFailure.
    static void deleteTree(const std::filesystem::path& path);

private:
    std::filesystem::path activeDirectory();
    bool valid(const std::optional<std::filesystem::path>& dir, const Entry& entry);
    struct Validity {
        std::vector<char> ok;                      // per entry, in manifest order
        std::vector<std::exception_ptr> failures;  // a refused path, per entry
        std::size_t firstBad;                      // first entry not ok, or entries.size()
    };
    // valid() for every entry, on every core; with stopAtFirstBad, entries after the first bad one
    // may be left unchecked.
    Validity checkEntries(const std::optional<std::filesystem::path>& dir, const std::vector<Entry>& entries,
                          bool stopAtFirstBad);
    // Which entries the directory already holds intact; a refused path fails as it would in order.
    std::vector<char> reusableEntries(const std::optional<std::filesystem::path>& dir,
                                      const std::vector<Entry>& entries);
    bool cleanTree(const std::filesystem::path& dir, const Signed& release);
    void housekeep(const std::optional<std::filesystem::path>& active,
                   const std::optional<std::filesystem::path>& fallback,
                   const std::optional<std::string>& stage);
    std::optional<std::filesystem::path> installedDirectory(const std::optional<Signed>& release);

    std::string base_;
    std::filesystem::path root_;
    std::string product_;
    ManifestVerifier verifier_;
    std::unique_ptr<Transport> transport_;
    ProgressListener progress_ = [](const Progress&) {};
};

}  // namespace orlex::update
