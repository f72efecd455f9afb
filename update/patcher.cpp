#include "update/patcher.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <fstream>
#include <mutex>
#include <thread>
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
#include "update/paths.h"

namespace orlex::update {
namespace {

using common::trimmed;

namespace fs = std::filesystem;
using common::IoFailure;
using common::NodeKind;
using common::SecurityFailure;

constexpr std::size_t MAX_POINTER = 4096;
constexpr std::size_t MAX_STORED_MANIFEST = 4'000'000;
constexpr unsigned MAX_HASH_THREADS = 4;

// Reads a small local file whole; nullopt when it does not exist.
std::optional<Bytes> readSmallFile(const fs::path& path, std::size_t cap) {
    if (common::nodeKind(path) == NodeKind::Missing)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw IoFailure("Lecture impossible : " + path.string());
    Bytes bytes(cap + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad())
        throw IoFailure("Lecture impossible : " + path.string());
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > cap)
        throw IoFailure("Fichier local trop grand : " + path.string());
    return bytes;
}

void writeBytes(const fs::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw IoFailure("Écriture impossible : " + path.string());
}

bool validPointer(const std::string& name) {
    if (name.size() == 64)
        return common::isLowerHex(name, 64);
    return name.size() == 97 && common::isLowerHex(std::string_view(name).substr(0, 64), 64) &&
           name[64] == '-' && common::isLowerHex(std::string_view(name).substr(65), 32);
}

std::string readPointer(const fs::path& pointer) {
    const auto bytes = readSmallFile(pointer, MAX_POINTER);
    const std::string name = bytes ? std::string(trimmed(std::string_view(
                                         reinterpret_cast<const char*>(bytes->data()), bytes->size())))
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
        fs::remove(path);  // a link goes as a link, never its target
        return;
    }
    try {
        rejectLinks(path);
    } catch (const SecurityFailure&) {
        return;  // nothing below a link or junction is ever deleted
    }
    std::vector<fs::path> children;
    std::error_code error;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        children.push_back(it->path());
    }
    if (error)
        throw IoFailure("Suppression impossible : " + path.string() + " (" + error.message() + ")");
    for (const fs::path& child : children)
        deleteNode(child);
    fs::remove(path);
}

// The first regular file of the tree that the release does not list (relative paths with "/"), walking
// without following links and refusing any link or special file met.
std::optional<fs::path> firstUnlistedFile(const fs::path& dir, const Signed& release) {
    std::unordered_set<std::string> listed{"manifest.json", "manifest.sig"};
    for (const Entry& e : *release.manifest.files)
        listed.insert(*e.path);
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        rejectLinks(it->path());
        if (common::nodeKind(it->path()) != NodeKind::Regular)
            continue;
        std::string relative = it->path().lexically_relative(dir).generic_string();
        std::replace(relative.begin(), relative.end(), '\\', '/');
        if (!listed.contains(relative))
            return it->path();
    }
    if (error)
        throw IoFailure("Lecture impossible : " + dir.string() + " (" + error.message() + ")");
    return std::nullopt;
}

// Copies unchanged files from the active release into the stage on every core, ahead of the installing
// thread, which takes each outcome in manifest order: reports and the first failure stay in that order.
class CopiesAhead {
public:
    using Copy = std::function<void(std::size_t)>;  // copies and checks one entry; throws on failure

    CopiesAhead(std::vector<std::size_t> entries, std::size_t count, Copy copy)
        : entries_(std::move(entries)), outcomes_(count), copy_(std::move(copy)) {
        const unsigned threads = std::clamp<unsigned>(
            std::min<std::size_t>(std::thread::hardware_concurrency(), entries_.size()), 0, MAX_HASH_THREADS);
        for (unsigned t = 0; t < threads; ++t)
            threads_.emplace_back([this] { work(); });
    }

    // Stops taking new copies and waits for the ones under way.
    ~CopiesAhead() {
        stopping_ = true;
        threads_.clear();
    }

    // Waits for the entry's copy; rethrows its failure.
    void await(std::size_t entry) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return outcomes_[entry].done; });
        if (outcomes_[entry].failure)
            std::rethrow_exception(outcomes_[entry].failure);
    }

private:
    struct Outcome {
        bool done = false;
        std::exception_ptr failure;
    };

    void work() {
        for (std::size_t k = next_++; k < entries_.size() && !stopping_; k = next_++) {
            std::exception_ptr failure;
            try {
                copy_(entries_[k]);
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard lock(mutex_);
            outcomes_[entries_[k]] = {true, failure};
            changed_.notify_all();
        }
    }

    std::vector<std::size_t> entries_;
    std::vector<Outcome> outcomes_;  // by entry index; guarded by mutex_
    Copy copy_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::jthread> threads_;  // last: joined before the state above goes
};

}  // namespace

Patcher::Patcher(std::string base, Ed25519Key key, fs::path root, std::string product,
                 PatcherSettings settings)
    : base_(std::move(base)),
      root_(normalised(root)),
      product_(std::move(product)),
      verifier_(std::move(key), product_, root_, std::move(settings.now)) {
    checkChannelBase(base_);
    rejectLinks(root_);
    std::error_code error;
    fs::create_directories(root_, error);
    if (error)
        throw IoFailure("Dossier impossible à créer : " + root_.string() + " (" + error.message() + ")");
    rejectLinks(root_);
    transport_ = std::make_unique<Transport>(base_, settings.transport);
}

void Patcher::onProgress(ProgressListener listener) {
    progress_ = std::move(listener);
}

Signed Patcher::remote() {
    constexpr std::size_t CURRENT_LIMIT = 4'000'000;
    const Bytes body = transport_->fetch("current.json", CURRENT_LIMIT);
    return verifier_.verifyEnvelope(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

std::optional<Signed> Patcher::installed() {
    const fs::path pointer = root_ / "current";
    if (common::nodeKind(pointer) == NodeKind::Missing)
        return std::nullopt;
    const std::string name = readPointer(pointer);
    const fs::path dir = safe(root_, "releases/" + name);
    const auto bytes = readSmallFile(safe(dir, "manifest.json"), MAX_STORED_MANIFEST);
    const auto signature = readSmallFile(safe(dir, "manifest.sig"), MAX_STORED_MANIFEST);
    if (!bytes || !signature)
        return std::nullopt;
    Signed release = verifier_.verify(*bytes, *signature, false);
    if (release.id != name.substr(0, 64))
        throw SecurityFailure("Identité locale invalide");
    return release;
}

fs::path Patcher::activeDirectory() {
    return safe(root_, "releases/" + readPointer(root_ / "current"));
}

std::optional<fs::path> Patcher::installedDirectory(const std::optional<Signed>& release) {
    if (!release)
        return std::nullopt;
    return activeDirectory();
}

bool Patcher::valid(const std::optional<fs::path>& dir, const Entry& entry) {
    if (!dir)
        return false;
    const fs::path file = safe(*dir, entry.path);
    if (common::nodeKind(file) != NodeKind::Regular)
        return false;
    if (static_cast<std::int64_t>(fs::file_size(file)) != entry.size)
        return false;
    return hash(file) == entry.sha256;
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
    const std::optional<Signed> old = installed();
    const std::optional<fs::path> active = installedDirectory(old);
    checkSequence(release, old);
    housekeep(active, std::nullopt, release.id);
    Plan result{release, 0, 0};
    const std::vector<Entry>& entries = *release.manifest.files;
    const std::vector<char> reusable = reusableEntries(active, entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!reusable[i]) {
            result.bytes += entries[i].size;
            ++result.files;
        }
    }
    return result;
}

void Patcher::install(const Signed& release) {
    Lock held = lock();
    const std::optional<Signed> old = installed();
    checkSequence(release, old);
    const std::optional<fs::path> active = installedDirectory(old);
    housekeep(active, std::nullopt, release.id);

    const std::vector<Entry>& entries = *release.manifest.files;
    const std::vector<char> reusable = reusableEntries(active, entries);
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
    fs::create_directories(stage);
    std::int64_t done = 0;
    const auto started = std::chrono::steady_clock::now();

    std::vector<std::size_t> unchanged;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (reusable[i])
            unchanged.push_back(i);
    }
    CopiesAhead copies(std::move(unchanged), entries.size(), [&](std::size_t i) {
        const Entry& entry = entries[i];
        const fs::path dst = safe(stage, entry.path);
        fs::create_directories(dst.parent_path());
        common::copyFileContent(safe(*active, entry.path), dst, false);
        if (!valid(stage, entry))
            throw SecurityFailure("Intégrité invalide : " + *entry.path);
    });

    for (std::size_t i = 0; i < entries.size(); ++i) {
        common::throwIfInterrupted();
        const Entry& entry = entries[i];
        const fs::path dst = safe(stage, entry.path);
        if (reusable[i]) {
            progress_(Progress{"Préparation · " + *entry.path, done, planBytes, 0});
            copies.await(i);
        } else {
            fs::create_directories(dst.parent_path());
            if (!valid(stage, entry))
                transport_->download(entry, dst, done, planBytes, started, progress_);
            done += entry.size;
        }
        if (entry.executable) {
            std::error_code error;
            fs::permissions(dst, fs::perms::owner_exec, fs::perm_options::add, error);
            if (error)
                throw IoFailure("Permission exécutable refusée");
        }
    }

    writeBytes(safe(stage, "manifest.json"), release.bytes);
    writeBytes(safe(stage, "manifest.sig"), release.signature);
    fs::create_directories(root_ / "releases");
    fs::rename(stage, target);
    atomicWrite(safe(root_, "current"),
                std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));

    housekeep(target, active, std::nullopt);
    progress_(Progress{"Prêt", planBytes, planBytes, 0});
}

Patcher::Validity Patcher::checkEntries(const std::optional<fs::path>& dir, const std::vector<Entry>& entries,
                                        bool stopAtFirstBad) {
    // Hash on every core; callers still see outcomes in manifest order.
    Validity result{std::vector<char>(entries.size(), 0), std::vector<std::exception_ptr>(entries.size()),
                    entries.size()};
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> firstBad{entries.size()};
    const auto work = [&] {
        for (std::size_t i = next++; i < entries.size(); i = next++) {
            if (stopAtFirstBad && i > firstBad.load())
                continue;
            try {
                result.ok[i] = valid(dir, entries[i]);
            } catch (...) {
                result.failures[i] = std::current_exception();
            }
            if (!result.ok[i]) {
                std::size_t seen = firstBad.load();
                while (i < seen && !firstBad.compare_exchange_weak(seen, i)) {
                }
            }
        }
    };
    const unsigned threads = std::clamp<unsigned>(
        std::min<std::size_t>(std::thread::hardware_concurrency(), entries.size()), 1, MAX_HASH_THREADS);
    std::vector<std::jthread> helpers;
    for (unsigned t = 1; t < threads; ++t)
        helpers.emplace_back(work);
    work();
    helpers.clear();
    result.firstBad = firstBad.load();
    return result;
}

std::vector<char> Patcher::reusableEntries(const std::optional<fs::path>& dir,
                                           const std::vector<Entry>& entries) {
    Validity validity = checkEntries(dir, entries, false);
    for (const std::exception_ptr& failure : validity.failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    return std::move(validity.ok);
}

fs::path Patcher::verifiedRelease() {
    const std::optional<Signed> release = installed();
    if (!release)
        throw IoFailure("Jeu non installé");
    const fs::path active = activeDirectory();
    const std::vector<Entry>& entries = *release->manifest.files;

    const Validity validity = checkEntries(active, entries, true);
    if (validity.firstBad < entries.size()) {
        if (validity.failures[validity.firstBad])
            std::rethrow_exception(validity.failures[validity.firstBad]);
        throw SecurityFailure("Réparation requise : " + *entries[validity.firstBad].path);
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
    const auto pruneChildren = [](const fs::path& dir, const auto& keep) {
        try {
            if (common::nodeKind(dir) != NodeKind::Directory)
                return;
            std::vector<fs::path> children;
            for (const auto& child : fs::directory_iterator(dir))
                children.push_back(child.path());
            for (const fs::path& child : children) {
                if (keep(normalised(child)))
                    continue;
                try {
                    deleteTree(child);
                } catch (...) {
                    // best effort: one child that resists does not stop the others
                }
            }
        } catch (...) {
        }
    };
    pruneChildren(root_ / "releases", [&](const fs::path& child) {
        return (active && child == normalised(*active)) || (fallback && child == normalised(*fallback));
    });
    pruneChildren(root_ / "staging", [&](const fs::path& child) {
        return stage && child == normalised(root_ / "staging" / *stage);
    });
    try {
        for (const auto& child : fs::directory_iterator(root_)) {
            if (child.path().filename().string().starts_with("current.tmp-")) {
                std::error_code ignored;
                fs::remove(child.path(), ignored);
            }
        }
    } catch (...) {
    }
}

}  // namespace orlex::update
