#include "update/patcher.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/hex.h"
#include "common/interruption.h"
#include "common/text.h"
#include "common/uuid.h"
#include "update/atomic_write.h"
#include "update/channel_url.h"
#include "update/digest.h"
#include "update/install_workers.h"
#include "update/paths.h"

namespace orlex::update {
namespace {

using common::trimmed;

namespace fs = std::filesystem;
using common::FileStamp;
using common::IoFailure;
using common::NodeKind;
using common::SecurityFailure;

constexpr std::size_t MAX_POINTER = 4096;
constexpr std::size_t MAX_STORED_MANIFEST = 4'000'000;
// Inside a stage, where downloads keep their partial bodies: named after the content's digest, so
// they can never be taken for a file of the release, whatever its entry paths (which all begin with
// "app/", "assets/" or "runtime/").
constexpr const char* DOWNLOADS = "downloads";

// Each entry's partial download in the stage's downloads: its digest, followed for the second and later
// entries of the same content (in manifest order) by "-2", "-3"…, so that entries fetched at once never
// share one, and a resumed attempt finds each where the last one left it.
std::vector<std::string> downloadNames(const std::vector<VerifiedEntry>& entries) {
    std::unordered_map<std::string, int> seen;
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const VerifiedEntry& entry : entries) {
        const int occurrence = ++seen[entry.sha256];
        names.push_back(occurrence == 1 ? entry.sha256 : entry.sha256 + "-" + std::to_string(occurrence));
    }
    return names;
}

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// A small local file of the engine's own, read whole: nullopt when missing; links and special files are
// refused as rejectLinks refuses them.
std::optional<Bytes> readLocalFile(const fs::path& path, std::size_t cap) {
    common::SmallFile file = common::readSmallFile(path, cap);
    if (file.kind == NodeKind::Missing)
        return std::nullopt;
    if (file.kind != NodeKind::Regular) {
        rejectLinks(path);
        throw IoFailure("Lecture impossible : " + path.string());
    }
    if (file.oversized)
        throw IoFailure("Fichier local trop grand : " + path.string());
    return std::move(file.bytes);
}

bool validPointer(const std::string& name) {
    if (name.size() == 64)
        return common::isLowerHex(name, 64);
    return name.size() == 97 && common::isLowerHex(std::string_view(name).substr(0, 64), 64) &&
           name[64] == '-' && common::isLowerHex(std::string_view(name).substr(65), 32);
}

// The trimmed pointer; nullopt when there is none. Read as a regular file only: a link or a special
// file in its place is refused, never followed or waited on.
std::optional<std::string> readPointer(const fs::path& pointer) {
    const common::SmallFile file = common::readSmallFile(pointer, MAX_POINTER);
    if (file.kind == NodeKind::Missing)
        return std::nullopt;
    if (file.kind == NodeKind::SymbolicLink || file.kind == NodeKind::Special)
        rejectLinks(pointer);
    const std::string name = file.kind == NodeKind::Regular && !file.oversized
                                 ? std::string(trimmed(std::string_view(
                                       reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size())))
                                 : "";
    if (!validPointer(name))
        throw SecurityFailure("État local invalide");
    return name;
}

std::string withoutDashes(std::string uuid) {
    uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
    return uuid;
}

void deleteNode(const fs::path& path) {
    if (common::nodeKind(path) != NodeKind::Directory) {
        common::removeNode(path);  // a link goes as a link, never its target
        return;
    }
    try {
        rejectLinks(path);
    } catch (const SecurityFailure&) {
        return;  // nothing below a link or junction is ever deleted
    }
    std::vector<fs::path> children;
    try {
        children = common::listDirectory(path);
    } catch (const IoFailure& failure) {
        throw IoFailure("Suppression impossible : " + path.string() + " (" + failure.what() + ")");
    }
    for (const fs::path& child : children)
        deleteNode(child);
    common::removeNode(path);
}

// Walks a tree depth first without following links, refusing any link or special file met (rejectLinks)
// and calling visit(path, kind) for every directory and regular file below dir.
template <typename Visit>
void walkTree(const fs::path& dir, const Visit& visit) {
    for (const fs::path& child : common::listDirectory(dir)) {
        rejectLinks(child);
        const NodeKind kind = common::nodeKind(child);
        visit(child, kind);
        if (kind == NodeKind::Directory)
            walkTree(child, visit);
    }
}

std::string relativeName(const fs::path& path, const fs::path& dir) {
    std::string relative = path.lexically_relative(dir).generic_string();
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return relative;
}

std::unordered_set<std::string> listedFiles(const Signed& release) {
    std::unordered_set<std::string> listed{"manifest.json", "manifest.sig"};
    for (const VerifiedEntry& e : release.manifest.files)
        listed.insert(e.path);
    return listed;
}

// The first regular file of the tree that the release does not list (relative paths with "/"), walking
// without following links and refusing any link or special file met.
std::optional<fs::path> firstUnlistedFile(const fs::path& dir, const Signed& release) {
    const std::unordered_set<std::string> listed = listedFiles(release);
    std::optional<fs::path> found;
    walkTree(dir, [&](const fs::path& path, NodeKind kind) {
        if (!found && kind == NodeKind::Regular && !listed.contains(relativeName(path, dir)))
            found = path;
    });
    return found;
}

// The same file with the same content: what a new name or a change of mode leaves as it was.
bool sameContentStamp(const FileStamp& a, const FileStamp& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified == b.modified;
}

// Gives dst the very file of the active release that was proved intact, as a second name, when the
// file system allows it and the file has not changed since it was hashed: nothing is copied, flushed or
// hashed again, and the file was on the device before this installation began. nullopt when it cannot,
// and the caller copies instead. A file that must lose its execute permission is copied too.
std::optional<FileStamp> linkProvedFile(const fs::path& source, const fs::path& dst, const FileStamp& proved,
                                        const VerifiedEntry& entry) {
    if (!entry.executable && common::isExecutable(source))
        return std::nullopt;
    if (common::regularFileStamp(source) != proved || !common::linkFile(source, dst))
        return std::nullopt;
    const std::optional<FileStamp> linked = common::regularFileStamp(dst);
    if (!linked || !sameContentStamp(*linked, proved))
        throw SecurityFailure("Intégrité invalide : " + entry.path);
    return linked;
}

// Removes the empty directories of a tree, deepest first, and dir itself when it ends up empty; never
// follows a link. Best effort: what cannot be listed or removed stays for the next housekeeping.
void removeEmptyDirectories(const fs::path& dir) noexcept {
    try {
        if (common::nodeKind(dir) != NodeKind::Directory)
            return;
        for (const fs::path& child : common::listDirectory(dir)) {
            if (common::nodeKind(child) == NodeKind::Directory)
                removeEmptyDirectories(child);
        }
        if (common::listDirectory(dir).empty())
            common::removeNode(dir);
    } catch (const std::exception&) {
        // left for the next housekeeping
    }
}

// Where the active release (dir, its manifest older) holds an older version of entry's file: the file at
// the same path, or else, for a file renamed between the releases, the file of a path the new release no
// longer names (newPaths) whose size is the closest. nullopt when there is neither, or when the path
// checks refuse it (a link in the older release): the whole download then takes over, noted in the log.
std::optional<fs::path> olderVersion(const fs::path& dir, const std::optional<Signed>& older,
                                     const std::unordered_set<std::string>& newPaths,
                                     const VerifiedEntry& entry, const EngineLog& log) {
    try {
        const fs::path same = safe(dir, entry.path);
        if (common::regularFileStamp(same))
            return same;
        if (!older)
            return std::nullopt;
        const VerifiedEntry* closest = nullptr;
        for (const VerifiedEntry& candidate : older->manifest.files) {
            if (candidate.size < CHUNKED_BLOB_MIN || newPaths.contains(candidate.path))
                continue;
            if (!closest || std::abs(candidate.size - entry.size) < std::abs(closest->size - entry.size))
                closest = &candidate;
        }
        if (!closest)
            return std::nullopt;
        return safe(dir, closest->path);
    } catch (const std::exception& refused) {
        log("Ancienne version de " + entry.path + " inutilisable : " + refused.what());
        return std::nullopt;
    }
}

void writeManifestFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
    common::removeNode(path);  // an earlier attempt may have written it before failing
    common::writeNewFile(path, bytes, {.ownerOnly = false, .durable = true});
}

}  // namespace

Patcher::Patcher(std::string base, Ed25519Key key, fs::path root, std::string product,
                 PatcherSettings settings)
    : base_(std::move(base)),
      root_(normalised(root)),
      product_(std::move(product)),
      verifier_(std::move(key), product_, root_, std::move(settings.now)),
      cores_(std::move(settings.cores)),
      log_(std::move(settings.log)) {
    checkChannelBase(base_);
    rejectLinks(root_);
    common::createDirectories(root_);
    rejectLinks(root_);
    transports_ = std::make_unique<TransportPool>(base_, settings.transport);
}

void Patcher::onProgress(ProgressListener listener) {
    progress_ = std::move(listener);
}

Signed Patcher::remote() {
    constexpr std::size_t CURRENT_LIMIT = 4'000'000;
    const Bytes body = transports_->at(0).fetch("current.json", CURRENT_LIMIT);
    return verifier_.verifyEnvelope(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

std::optional<Signed> Patcher::installed() {
    return readInstalled(false);
}

std::optional<Signed> Patcher::readInstalled(bool damagedIsAbsent) {
    const std::optional<std::string> name = readPointer(root_ / "current");
    if (!name)
        return std::nullopt;
    const fs::path dir = safe(root_, "releases/" + *name);
    std::optional<Signed> release;
    try {
        const auto bytes = readLocalFile(safe(dir, "manifest.json"), MAX_STORED_MANIFEST);
        const auto signature = readLocalFile(safe(dir, "manifest.sig"), MAX_STORED_MANIFEST);
        if (!bytes || !signature)
            return std::nullopt;
        release = verifier_.verify(*bytes, *signature, false);
    } catch (const IoFailure&) {
        if (!damagedIsAbsent)
            throw;
        return std::nullopt;
    } catch (const common::FormatFailure&) {
        if (!damagedIsAbsent)
            throw;
        return std::nullopt;
    } catch (const SecurityFailure& failure) {
        // A local copy that no longer verifies (a write cut short, a bad sector) is damage, not an attack
        // on the channel: a fresh installation repairs it.
        if (!damagedIsAbsent || std::string_view(failure.what()) != "Signature invalide")
            throw;
        return std::nullopt;
    }
    if (release->id != name->substr(0, 64))
        throw SecurityFailure("Identité locale invalide");
    return release;
}

fs::path Patcher::activeDirectory() {
    const std::optional<fs::path> dir = pointedDirectory();
    if (!dir)
        throw SecurityFailure("État local invalide");
    return *dir;
}

std::optional<fs::path> Patcher::installedDirectory(const std::optional<Signed>& release) {
    if (!release)
        return std::nullopt;
    return activeDirectory();
}

std::optional<fs::path> Patcher::pointedDirectory() {
    const std::optional<std::string> name = readPointer(root_ / "current");
    if (!name)
        return std::nullopt;
    return safe(root_, "releases/" + *name);
}

std::optional<FileStamp> Patcher::intactStamp(const std::optional<fs::path>& dir,
                                              const VerifiedEntry& entry) {
    if (!dir)
        return std::nullopt;
    const fs::path file = safe(*dir, entry.path);
    const std::optional<FileStamp> before = common::regularFileStamp(file);
    if (!before || before->size != entry.size)
        return std::nullopt;
    const std::string digest = hash(file);
    // A file changed while it was read proves nothing.
    const std::optional<FileStamp> after = common::regularFileStamp(file);
    if (after != before || digest != entry.sha256)
        return std::nullopt;
    return after;
}

bool Patcher::cleanTree(const fs::path& dir, const Signed& release) {
    return !firstUnlistedFile(dir, release);
}

Lock Patcher::lock() {
    auto held = common::FileLock::tryExclusive(safe(root_, "update.lock"));
    if (!held)
        throw IoFailure("Installation déjà utilisée");
    return Lock(std::move(*held));
}

Plan Patcher::plan(const Signed& release) {
    Lock held = lock();
    const std::optional<Signed> old = readInstalled(true);
    const std::optional<fs::path> active = installedDirectory(old);
    checkSequence(release, old);
    // A release that reads as absent (damaged, or unreadable for now) stays until another replaces it.
    housekeep(active ? active : pointedDirectory(), std::nullopt, release.id);
    Plan result{release, 0, 0, 0, active, intactEntries(active, release.manifest.files), {}};
    result.reuse = findReuse(active, old, release, result.intact);
    for (std::size_t i = 0; i < result.intact.size(); ++i) {
        if (!result.intact[i]) {
            const std::int64_t size = release.manifest.files[i].size;
            result.bytes += size;
            result.fetchBytes += result.reuse[i] ? result.reuse[i]->fetchBytesFrom(0) : size;
            ++result.files;
        }
    }
    return result;
}

std::vector<std::shared_ptr<const ChunkReuse>> Patcher::findReuse(const std::optional<fs::path>& dir,
                                                                  const std::optional<Signed>& old,
                                                                  const Signed& release,
                                                                  const Stamps& intact) {
    const std::vector<VerifiedEntry>& entries = release.manifest.files;
    std::vector<std::shared_ptr<const ChunkReuse>> reuse(entries.size());
    if (!dir)
        return reuse;
    const std::unordered_set<std::string> paths = listedFiles(release);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (intact[i] || entries[i].size < CHUNKED_BLOB_MIN)
            continue;
        const std::optional<fs::path> older = olderVersion(*dir, old, paths, entries[i], log_);
        if (!older)
            continue;
        if (std::optional<ChunkReuse> found = findChunkReuse(transports_->at(0), entries[i], *older, log_))
            reuse[i] = std::make_shared<const ChunkReuse>(std::move(*found));
    }
    return reuse;
}

void Patcher::install(const Plan& plan) {
    const Signed& release = plan.release;
    Lock held = lock();
    const std::optional<Signed> old = readInstalled(true);
    checkSequence(release, old);
    const std::optional<fs::path> active = installedDirectory(old);
    housekeep(active ? active : pointedDirectory(), std::nullopt, release.id);

    const std::vector<VerifiedEntry>& entries = release.manifest.files;
    const Stamps reusable = reuseVerdicts(plan, active);
    // Chunk reuse as planned; made afresh, file by file as it is fetched, when the plan was made against
    // another active release.
    const bool plannedReuse = plan.active == active && plan.reuse.size() == entries.size();
    const std::unordered_set<std::string> paths = listedFiles(release);
    std::int64_t planBytes = 0;
    std::int32_t planFiles = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!reusable[i]) {
            planBytes += entries[i].size;
            ++planFiles;
        }
    }

    if (old && old->id == release.id && planFiles == 0 && cleanTree(*active, release)) {
        housekeep(active, std::nullopt, std::nullopt);
        progress_(Progress{"Prêt", 0, 0, 0});
        return;
    }

    const std::string name = release.id + "-" + withoutDashes(common::randomUuid());
    const fs::path stage = safe(root_, "staging/" + release.id);
    const fs::path target = safe(root_, "releases/" + name);
    const fs::path downloads = stage / DOWNLOADS;
    const bool stagingExisted = common::nodeKind(stage.parent_path()) == NodeKind::Directory;
    try {
        common::createDirectories(downloads);
        rejectLinks(downloads);
        std::int64_t done = 0;
        const auto started = std::chrono::steady_clock::now();

        // What each entry's file in the stage was when it was last proved intact: the stage is checked
        // against these before it is committed, without hashing anything again.
        std::vector<FileStamp> placed(entries.size());
        const auto makeExecutable = [](const VerifiedEntry& entry, const fs::path& file) {
            if (entry.executable && !common::grantOwnerExecute(file))
                throw IoFailure("Permission exécutable refusée");
        };

        std::vector<std::size_t> unchanged;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (reusable[i])
                unchanged.push_back(i);
        }
        CopiesAhead copies(std::move(unchanged), entries.size(), cores_(), [&](std::size_t i) {
            const VerifiedEntry& entry = entries[i];
            const fs::path source = safe(*active, entry.path);
            const fs::path dst = safe(stage, entry.path);
            common::createDirectories(dst.parent_path());
            // Never write through a name an earlier attempt linked to the active release's file.
            common::removeNode(dst);
            if (const std::optional<FileStamp> linked = linkProvedFile(source, dst, *reusable[i], entry)) {
                makeExecutable(entry, dst);
                const std::optional<FileStamp> stamp = common::regularFileStamp(dst);
                if (!stamp || !sameContentStamp(*stamp, *linked))
                    throw SecurityFailure("Intégrité invalide : " + entry.path);
                return *stamp;
            }
            common::copyFileContent(source, dst, true);
            makeExecutable(entry, dst);
            const std::optional<FileStamp> stamp = intactStamp(stage, entry);
            if (!stamp)
                throw SecurityFailure("Intégrité invalide : " + entry.path);
            return *stamp;
        });
        Flushes flushes;
        const LegacyPartials legacy(entries);
        const std::vector<std::string> downloadName = downloadNames(entries);
        // The files to fetch, and the bytes fetched before each one in manifest order.
        std::vector<std::size_t> missing;
        std::vector<std::int64_t> fetchedBefore(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!reusable[i]) {
                fetchedBefore[i] =
                    missing.empty() ? 0 : fetchedBefore[missing.back()] + entries[missing.back()].size;
                missing.push_back(i);
            }
        }
        const auto fetch = [&](std::size_t i, Transport& transport,
                               const Transport::ProgressListener& report) {
            const VerifiedEntry& entry = entries[i];
            const fs::path dst = safe(stage, entry.path);
            common::createDirectories(dst.parent_path());
            if (!intactStamp(stage, entry)) {
                const fs::path partial = downloads / downloadName[i];
                legacy.adopt(stage, entry, partial);
                std::shared_ptr<const ChunkReuse> reuse;
                if (plannedReuse) {
                    reuse = plan.reuse[i];
                } else if (active && entry.size >= CHUNKED_BLOB_MIN) {
                    const std::optional<fs::path> older = olderVersion(*active, old, paths, entry, log_);
                    std::optional<ChunkReuse> found;
                    if (older)
                        found = findChunkReuse(transport, entry, *older, log_);
                    if (found)
                        reuse = std::make_shared<const ChunkReuse>(std::move(*found));
                }
                const AssemblyReport assembly{fetchedBefore[i], planBytes, started, report};
                if (!reuse || !assembleFromChunks(transport, entry, *reuse, dst, partial, assembly, log_))
                    transport.download(entry, dst, partial, fetchedBefore[i], planBytes, started, report);
            }
        };
        DownloadsAhead fetches(std::move(missing), entries.size(), *transports_, fetch, progress_);

        for (std::size_t i = 0; i < entries.size(); ++i) {
            common::throwIfInterrupted();
            const VerifiedEntry& entry = entries[i];
            const fs::path dst = safe(stage, entry.path);
            if (reusable[i]) {
                progress_(Progress{"Préparation · " + entry.path, done, planBytes, 0});
                placed[i] = copies.await(i);
                continue;
            }
            fetches.await(i);
            makeExecutable(entry, dst);
            const std::optional<FileStamp> stamp = common::regularFileStamp(dst);
            if (!stamp)
                throw SecurityFailure("Intégrité invalide : " + entry.path);
            placed[i] = *stamp;
            flushes.add(dst);
            done += entry.size;
        }
        flushes.finish();

        writeManifestFile(safe(stage, "manifest.json"), release.bytes);
        writeManifestFile(safe(stage, "manifest.sig"), release.signature);
        checkStage(stage, release, placed);
    } catch (...) {
        // What a failed or refused attempt leaves that cannot be resumed goes: its empty directories.
        // Partial downloads and placed files stay for the next attempt.
        removeEmptyDirectories(stage);
        if (!stagingExisted)
            removeEmptyDirectories(stage.parent_path());
        throw;
    }

    const fs::path releases = root_ / "releases";
    common::createDirectories(releases);
    common::replaceFile(stage, target);
    common::syncDirectory(releases);
    common::syncDirectory(stage.parent_path());
    atomicWrite(safe(root_, "current"),
                std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));

    housekeep(target, active, std::nullopt);
    progress_(Progress{"Prêt", planBytes, planBytes, 0});
}

Patcher::LegacyPartials::LegacyPartials(const std::vector<VerifiedEntry>& entries) {
    for (const VerifiedEntry& entry : entries) {
        std::string path = lowerAscii(entry.path);
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            occupied_.insert(path.substr(0, slash));
        occupied_.insert(std::move(path));
    }
}

void Patcher::LegacyPartials::adopt(const fs::path& stage, const VerifiedEntry& entry,
                                    const fs::path& partial) const {
    // Earlier launchers kept a download's partial files beside the entry's own file in the stage;
    // they are taken over unless that name belongs to the release itself.
    for (const char* suffix : {".part", ".incoming"}) {
        const std::string name = entry.path + suffix;
        if (name.size() > MAX_RELEASE_NAME || occupied_.contains(lowerAscii(name)))
            continue;
        const fs::path old = safe(stage, name);
        fs::path current = partial;
        current += suffix;
        if (common::nodeKind(old) == NodeKind::Regular && common::nodeKind(current) == NodeKind::Missing)
            common::replaceFile(old, current);
    }
}

void Patcher::checkStage(const fs::path& stage, const Signed& release, const std::vector<FileStamp>& placed) {
    // Every entry must be the very file that was proved intact when it was placed; anything else in the
    // stage is a leftover of earlier attempts and goes.
    deleteTree(stage / DOWNLOADS);
    const std::vector<VerifiedEntry>& entries = release.manifest.files;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (common::regularFileStamp(safe(stage, entries[i].path)) != placed[i])
            throw SecurityFailure("Intégrité invalide : " + entries[i].path);
    }
    const std::unordered_set<std::string> listed = listedFiles(release);
    std::vector<fs::path> directories{stage};
    std::vector<fs::path> leftovers;
    walkTree(stage, [&](const fs::path& path, NodeKind kind) {
        if (kind == NodeKind::Directory)
            directories.push_back(path);
        else if (!listed.contains(relativeName(path, stage)))
            leftovers.push_back(path);
    });
    for (const fs::path& leftover : leftovers)
        common::removeNode(leftover);
    // The names of the release's files are on the device before anything names the release.
    for (const fs::path& dir : directories)
        common::syncDirectory(dir);
}

Patcher::Validity Patcher::checkEntries(const std::optional<fs::path>& dir,
                                        const std::vector<VerifiedEntry>& entries, bool stopAtFirstBad) {
    // Hash on every core; callers still see outcomes in manifest order. The hashing threads watch the
    // caller's stop token: a launcher closing during a verification of gigabytes does not wait for it.
    Validity result{Stamps(entries.size()), std::vector<std::exception_ptr>(entries.size()), entries.size()};
    std::atomic<std::size_t> firstBad{entries.size()};
    const std::stop_token stop = common::currentStopToken();
    const auto check = [&](std::size_t i) {
        if ((stopAtFirstBad && i > firstBad.load()) || stop.stop_requested())
            return;
        try {
            result.stamps[i] = intactStamp(dir, entries[i]);
        } catch (...) {
            result.failures[i] = std::current_exception();
        }
        if (!result.stamps[i]) {
            std::size_t seen = firstBad.load();
            while (i < seen && !firstBad.compare_exchange_weak(seen, i)) {
            }
        }
    };
    Workers("orlex-hash", workerCount(cores_(), entries.size()), entries.size(), check).join();
    common::throwIfInterrupted();
    result.firstBad = firstBad.load();
    return result;
}

Patcher::Stamps Patcher::intactEntries(const std::optional<fs::path>& dir,
                                       const std::vector<VerifiedEntry>& entries) {
    if (!dir)
        return Stamps(entries.size());
    Validity validity = checkEntries(dir, entries, false);
    for (const std::exception_ptr& failure : validity.failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    return std::move(validity.stamps);
}

Patcher::Stamps Patcher::reuseVerdicts(const Plan& plan, const std::optional<fs::path>& active) {
    const std::vector<VerifiedEntry>& entries = plan.release.manifest.files;
    if (plan.active != active || plan.intact.size() != entries.size())
        return intactEntries(active, entries);
    Stamps verdicts = plan.intact;
    std::vector<VerifiedEntry> changed;
    std::vector<std::size_t> changedAt;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (verdicts[i] && common::regularFileStamp(safe(*active, entries[i].path)) != verdicts[i]) {
            changed.push_back(entries[i]);
            changedAt.push_back(i);
        }
    }
    const Stamps again = intactEntries(active, changed);
    for (std::size_t k = 0; k < changedAt.size(); ++k)
        verdicts[changedAt[k]] = again[k];
    return verdicts;
}

fs::path Patcher::verifiedRelease() {
    const std::optional<Signed> release = installed();
    if (!release)
        throw IoFailure("Jeu non installé");
    const fs::path active = activeDirectory();
    const std::vector<VerifiedEntry>& entries = release->manifest.files;

    const Validity validity = checkEntries(active, entries, true);
    if (validity.firstBad < entries.size()) {
        if (validity.failures[validity.firstBad])
            std::rethrow_exception(validity.failures[validity.firstBad]);
        throw SecurityFailure("Réparation requise : " + entries[validity.firstBad].path);
    }
    if (const auto stray = firstUnlistedFile(active, *release)) {
        throw SecurityFailure("Fichier non signé dans l’installation : " + stray->filename().string());
    }
    return active;
}

void Patcher::deleteTree(const fs::path& path) {
    if (common::nodeKind(path) == NodeKind::Missing)
        return;
    try {
        rejectLinks(path.parent_path());
    } catch (const SecurityFailure&) {
        return;
    }
    deleteNode(path);
}

void Patcher::housekeep(const std::optional<fs::path>& active, const std::optional<fs::path>& fallback,
                        const std::optional<std::string>& stage) {
    // Best effort throughout: a failure here never fails the operation, and one child that resists does
    // not stop the others.
    const auto pruneChildren = [](const fs::path& dir, const auto& keep) {
        try {
            if (common::nodeKind(dir) != NodeKind::Directory)
                return;
            for (const fs::path& child : common::listDirectory(dir)) {
                if (keep(normalised(child)))
                    continue;
                try {
                    deleteTree(child);
                } catch (const std::exception&) {
                    // left for the next housekeeping
                }
            }
        } catch (const std::exception&) {
            // an unreadable directory is left for the next housekeeping
        }
    };
    // Only names this engine makes are pruned: a folder chosen as the root may hold a "releases" or
    // "staging" of the player's own.
    pruneChildren(root_ / "releases", [&](const fs::path& child) {
        return !validPointer(child.filename().string()) || (active && child == normalised(*active)) ||
               (fallback && child == normalised(*fallback));
    });
    pruneChildren(root_ / "staging", [&](const fs::path& child) {
        return !common::isLowerHex(child.filename().string(), 64) ||
               (stage && child == normalised(root_ / "staging" / *stage));
    });
    try {
        for (const fs::path& child : common::listDirectory(root_)) {
            if (child.filename().string().starts_with("current.tmp-"))
                common::removeNode(child);
        }
    } catch (const std::exception&) {
        // leftover temporary pointers are removed by the next housekeeping
    }
}

}  // namespace orlex::update
