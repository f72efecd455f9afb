#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/file_lock.h"
#include "common/file_system.h"
#include "update/chunk_reuse.h"
#include "update/downloads_ahead.h"
#include "update/release.h"
#include "update/signature.h"
#include "update/transport.h"
#include "update/verification.h"

namespace orlex::update {

// What installing a release would fetch: the entries not already intact in the active release.
struct Plan {
    Signed release;
    std::int64_t bytes = 0;  // the sizes of the files to fetch
    std::int32_t files = 0;
    // The bytes expected to travel: bytes less what older versions of the files already hold in
    // chunks the channel's indexes name.
    std::int64_t fetchBytes = 0;
    // What install() takes over from planning: the active directory the plan was made against (nullopt
    // when nothing was installed) and, per entry in manifest order, the stamp of its file there when
    // it was found intact (nullopt: it must be fetched).
    std::optional<std::filesystem::path> active;
    std::vector<std::optional<common::FileStamp>> intact;
    // Per entry to fetch, how the active release's older version of its file (at the same path, or the
    // file of a dropped path closest in size: a renamed file) can be reused (null: it is fetched whole).
    std::vector<std::shared_ptr<const ChunkReuse>> reuse;
};

// The engine root's exclusive lock (update.lock). Holding it entitles the holder to change the root;
// destruction or release() unlocks, then closes.
class [[nodiscard]] Lock {
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
    // How many cores the host reports; 0 when it cannot tell. Hashing and copying use up to four.
    std::function<unsigned()> cores = [] { return std::thread::hardware_concurrency(); };
    // Notes for the launcher's log (from any thread): why a file was fetched whole after all.
    EngineLog log = [](const std::string&) {};
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
    // plan() and install() take an active release whose manifest files cannot be read or no longer
    // verify (damage, not a different release) for no installation at all, so installing repairs it.
    [[nodiscard]] Plan plan(const Signed& release);
    // Installs the planned release. Files the plan found intact are reused without hashing them again
    // when their identity and stamps are unchanged; anything else is checked again. Everything the new
    // release consists of is on the storage device before the pointer names it; the pointer write is
    // the only commit.
    void install(const Plan& plan);
    [[nodiscard]] std::filesystem::path
    verifiedRelease();  // proves the active release intact; hashes every file
    [[nodiscard]] Lock lock();

    // Deletes a tree without following links; nothing reached through a link is deleted. A directory
    // that cannot be listed fails with IoFailure.
    static void deleteTree(const std::filesystem::path& path);

private:
    // Partial downloads that earlier launchers kept beside the entry's file in a stage.
    class LegacyPartials {
    public:
        explicit LegacyPartials(const std::vector<VerifiedEntry>& entries);
        // Moves entry's old partial files to partial + ".part" / ".incoming" unless their names are
        // paths (or directories) of the release itself.
        void adopt(const std::filesystem::path& stage, const VerifiedEntry& entry,
                   const std::filesystem::path& partial) const;

    private:
        std::unordered_set<std::string> occupied_;  // lower-cased entry paths and their directories
    };

    using Stamps = std::vector<std::optional<common::FileStamp>>;  // per entry; nullopt: not intact

    std::optional<Signed> readInstalled(bool damagedIsAbsent);
    std::filesystem::path activeDirectory();
    // The file's stamp when the entry's path under dir is a regular file of the entry's size and
    // digest that did not change while it was hashed; nullopt otherwise or when dir is absent.
    std::optional<common::FileStamp> intactStamp(const std::optional<std::filesystem::path>& dir,
                                                 const VerifiedEntry& entry);
    // Before the commit point: every entry is still the file stamped when it was placed, leftovers of
    // earlier attempts are removed and the stage's directories are on the device.
    void checkStage(const std::filesystem::path& stage, const Signed& release,
                    const std::vector<common::FileStamp>& placed);
    struct Validity {
        Stamps stamps;                             // per entry, in manifest order
        std::vector<std::exception_ptr> failures;  // a refused path, per entry
        std::size_t firstBad;                      // first entry not intact, or entries.size()
    };
    // intactStamp() for every entry, on every core; with stopAtFirstBad, entries after the first bad
    // one may be left unchecked.
    Validity checkEntries(const std::optional<std::filesystem::path>& dir,
                          const std::vector<VerifiedEntry>& entries, bool stopAtFirstBad);
    // Which entries the directory already holds intact; a refused path fails as it would in order.
    Stamps intactEntries(const std::optional<std::filesystem::path>& dir,
                         const std::vector<VerifiedEntry>& entries);
    // The plan's verdicts, still true for entries whose files kept their stamps; entries whose files
    // changed are checked again, and everything when the plan was made against another active release.
    Stamps reuseVerdicts(const Plan& plan, const std::optional<std::filesystem::path>& active);
    bool cleanTree(const std::filesystem::path& dir, const Signed& release);
    void housekeep(const std::optional<std::filesystem::path>& active,
                   const std::optional<std::filesystem::path>& fallback,
                   const std::optional<std::string>& stage);
    std::optional<std::filesystem::path> installedDirectory(const std::optional<Signed>& release);
    // The directory the pointer names, whether or not its release can be read; nullopt without a pointer.
    std::optional<std::filesystem::path> pointedDirectory();

    std::string base_;
    std::filesystem::path root_;
    std::string product_;
    ManifestVerifier verifier_;
    std::function<unsigned()> cores_;
    // Chunk reuse for each entry of release to fetch whose older version lies in dir, the active
    // directory of the release old.
    std::vector<std::shared_ptr<const ChunkReuse>> findReuse(const std::optional<std::filesystem::path>& dir,
                                                             const std::optional<Signed>& old,
                                                             const Signed& release, const Stamps& intact);

    std::unique_ptr<TransportPool> transports_;  // the first one also fetches the manifests
    EngineLog log_;
    ProgressListener progress_ = [](const Progress&) {};
};

}  // namespace orlex::update
