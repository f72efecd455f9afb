#include "update/publish.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "common/base64.h"
#include "common/failure.h"
#include "common/file_lock.h"
#include "common/file_system.h"
#include "common/terminal.h"
#include "common/terminal_progress.h"
#include "common/text.h"
#include "common/thread_name.h"
#include "common/utf8.h"
#include "update/atomic_write.h"
#include "update/chunks.h"
#include "update/digest.h"
#include "update/json_codec.h"
#include "update/paths.h"
#include "update/signature.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::IoFailure;
using common::SecurityFailure;

constexpr std::int64_t VALIDITY_SECONDS = 2'592'000;  // 30 days
// Files hashed and stored at once. Hashing is bound by the cores, but a blob copy spends most of its
// time waiting for its flush to the storage device: enough copies in flight keep the device busy and
// let their flushes share the file system's journal commits.
constexpr std::size_t STORE_THREADS = 16;

class UsageFailure : public std::runtime_error {
public:
    explicit UsageFailure(std::string_view usage) : std::runtime_error(std::string(usage)) {}
};

Bytes readBytes(const fs::path& file) {
    std::ifstream in(common::streamPath(file), std::ios::binary);
    if (!in)
        throw IoFailure("Lecture impossible : " + file.string());
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw IoFailure("Lecture impossible : " + file.string());
    return bytes;
}

Bytes asBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::int64_t parseSequence(const std::string& text) {
    const std::optional<std::int64_t> value = common::parseInteger(text);
    if (!value)
        throw IoFailure("Séquence invalide : " + text);
    return *value;
}

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Leaves an intact blob alone (false); writes a missing or damaged one through "<digest>.tmp" and one
// atomic move (true). The copy is checked against the digest and size before the move: a payload file
// that changed since it was hashed (a build still writing it) must never reach the channel under a name
// its bytes do not have.
bool storeBlob(const fs::path& blobs, const PayloadFile& file, const std::string& digest, std::int64_t size) {
    const fs::path blob = blobs / digest;
    const std::optional<common::FileStamp> present = common::regularFileStamp(blob);
    if (present && present->size == size && hash(blob) == digest)
        return false;
    fs::path temporary = blob;
    temporary += ".tmp";
    common::copyFileContent(file.absolute, temporary, true);
    const std::optional<common::FileStamp> copied = common::regularFileStamp(temporary);
    if (!copied || copied->size != size || hash(temporary) != digest) {
        common::removeNode(temporary);
        throw IoFailure("Fichier modifié pendant la publication : " + file.relative);
    }
    common::replaceFile(temporary, blob);
    return true;
}

// Gives a large blob its chunk index "<digest>.chunks" (written through "<digest>.chunks.tmp" and one
// atomic move, flushed) unless it already has one for its size and the blob was not just written: an index
// made from a damaged blob goes with it.
void storeChunkIndex(const fs::path& blobs, const std::string& digest, std::int64_t size, bool blobWritten) {
    if (size < CHUNKED_BLOB_MIN)
        return;
    const fs::path index = blobs / (digest + ".chunks");
    const common::SmallFile present = common::readSmallFile(index, maxChunkIndexBytes(size));
    if (!blobWritten && present.kind == common::NodeKind::Regular && !present.oversized &&
        decodeChunkIndex(present.bytes, size))
        return;
    const Bytes bytes = encodeChunkIndex(size, chunkFile(blobs / digest));
    fs::path temporary = index;
    temporary += ".tmp";
    common::removeNode(temporary);
    common::writeNewFile(temporary, bytes, {.ownerOnly = false, .durable = true});
    common::replaceFile(temporary, index);
}

struct StoredFile {
    std::string digest;
    std::int64_t size = 0;
    bool executable = false;
};

// Hashes every file and stores its blob (with its chunk index when it is large), on up to STORE_THREADS
// threads; the results keep the order of files. One thread takes on each distinct digest and the others skip
// it. Every blob is complete and durable when this returns. A failure stops the taking of further files, and
// the failure of the lowest file index is rethrown once every thread has ended. progress, when set, hears of
// each file done.
std::vector<StoredFile> hashAndStore(const std::vector<PayloadFile>& files, const fs::path& blobs,
                                     const PublishProgress& progress) {
    std::vector<StoredFile> stored(files.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;                         // guards claimed and failures
    std::unordered_set<std::string> claimed;  // digests whose blob one thread has taken on
    std::map<std::size_t, std::exception_ptr> failures;
    std::mutex reporting;  // guards done and the calls to progress
    std::int64_t done = 0;
    std::int64_t total = 0;
    if (progress) {
        for (const PayloadFile& file : files) {
            if (const std::optional<common::FileStamp> stamp = common::regularFileStamp(file.absolute))
                total += stamp->size;
        }
    }

    const auto work = [&] {
        common::nameCurrentThread("orlex-publish-blobs");
        while (!failed) {
            const std::size_t i = next++;
            if (i >= files.size())
                return;
            try {
                const PayloadFile& file = files[i];
                StoredFile& out = stored[i];
                const std::optional<common::FileStamp> stamp = common::regularFileStamp(file.absolute);
                if (!stamp)
                    throw IoFailure("Lecture impossible : " + file.absolute.string());
                out.size = stamp->size;
                out.digest = hash(file.absolute);
                out.executable = common::isExecutable(file.absolute);
                bool mine = false;
                {
                    const std::lock_guard lock(mutex);
                    mine = claimed.insert(out.digest).second;
                }
                if (mine) {
                    const bool written = storeBlob(blobs, file, out.digest, out.size);
                    storeChunkIndex(blobs, out.digest, out.size, written);
                }
                if (progress) {
                    const std::lock_guard lock(reporting);
                    done += out.size;
                    progress(file.relative, done, std::max(done, total));
                }
            } catch (...) {
                const std::lock_guard lock(mutex);
                failures.emplace(i, std::current_exception());
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < std::min(files.size(), STORE_THREADS); ++t)
            threads.emplace_back(work);
    }  // every thread joined here
    if (!failures.empty())
        std::rethrow_exception(failures.begin()->second);
    return stored;
}

// Inside in the plain lexical sense, or once links along either path are resolved.
bool lexicallyOrReallyWithin(const fs::path& path, const fs::path& dir) {
    if (isWithin(path, dir))
        return true;
    std::error_code error;
    const fs::path realPath = fs::weakly_canonical(path, error);
    if (error)
        return false;
    const fs::path realDir = fs::weakly_canonical(dir, error);
    return !error && isWithin(realPath, realDir);
}

}  // namespace

std::vector<PayloadFile> validatedFiles(const fs::path& payload) {
    const fs::path root = normalised(payload);
    if (common::nodeKind(root) != common::NodeKind::Directory) {
        throw IoFailure("Payload introuvable : " + root.string());
    }
    std::vector<fs::path> paths;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none, error), end;
         !error && it != end; it.increment(error)) {
        paths.push_back(it->path());
    }
    if (error)
        throw IoFailure("Lecture du payload impossible : " + root.string() + " (" + error.message() + ")");
    std::sort(paths.begin(), paths.end(),
              [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });

    std::vector<PayloadFile> files;
    for (const fs::path& path : paths) {
        const common::NodeKind kind = common::nodeKind(path);
        if (kind == common::NodeKind::SymbolicLink)
            throw SecurityFailure("Symlink dans le payload : " + path.string());
        if (kind != common::NodeKind::Regular)
            continue;

        std::string relative = path.lexically_relative(root).generic_string();
        std::replace(relative.begin(), relative.end(), '\\', '/');
        try {
            safe(root, relative);
        } catch (const SecurityFailure&) {
            std::throw_with_nested(SecurityFailure("Chemin de publication refusé : " + relative));
        }
        if (!relative.starts_with("app/") && !relative.starts_with("runtime/") &&
            !relative.starts_with("assets/")) {
            throw SecurityFailure("Payload hors périmètre : " + relative);
        }
        files.push_back({path, std::move(relative)});
    }
    return files;
}

void keygen(const fs::path& privateKeyFile, const fs::path& publicKeyFile) {
    if (common::nodeKind(privateKeyFile) != common::NodeKind::Missing ||
        common::nodeKind(publicKeyFile) != common::NodeKind::Missing) {
        throw IoFailure("Clés déjà présentes");
    }
    for (const fs::path& file : {privateKeyFile, publicKeyFile}) {
        const fs::path parent = normalised(file).parent_path();
        std::error_code error;
        fs::create_directories(parent, error);
        if (error)
            throw IoFailure("Dossier impossible à créer : " + parent.string());
    }
    const KeyPair pair = generateKeyPair();
    common::writeNewFile(privateKeyFile, pair.privateDer, {.ownerOnly = true, .durable = true});
    common::writeNewFile(publicKeyFile, pair.publicDer, {.ownerOnly = false, .durable = true});
}

Published publish(const Publication& p, const PublishProgress& progress) {
    const fs::path payload = normalised(p.payload);
    const fs::path channel = normalised(p.channel);
    const fs::path keyFile = normalised(p.privateKey);
    if (lexicallyOrReallyWithin(keyFile, channel) || lexicallyOrReallyWithin(keyFile, payload)) {
        throw SecurityFailure("Clé privée dans la distribution");
    }

    const std::vector<PayloadFile> files = validatedFiles(payload);
    const fs::path blobs = channel / "blobs";
    const fs::path history = channel / "history";
    std::error_code error;
    fs::create_directories(blobs, error);
    if (!error)
        fs::create_directories(history, error);
    if (error)
        throw IoFailure("Canal impossible à créer : " + channel.string() + " (" + error.message() + ")");
    // One publication at a time in a channel: two would share the blobs' temporary names, and the one that
    // ends last would name its release current, whichever is newer.
    const std::optional<common::FileLock> publishing =
        common::FileLock::tryExclusive(channel / "publish.lock");
    if (!publishing)
        throw IoFailure("Publication déjà en cours : " + channel.string());

    Manifest manifest;
    manifest.schema = 1;
    manifest.minLauncher = 1;
    manifest.product = p.product;
    manifest.restartRequired = p.product == "client";
    manifest.version = p.version;
    manifest.sequence = parseSequence(p.sequence);
    manifest.platform = p.platform;
    manifest.expires = nowSeconds() + VALIDITY_SECONDS;
    manifest.files.emplace();
    manifest.files->reserve(files.size());

    const std::vector<StoredFile> stored = hashAndStore(files, blobs, progress);
    for (std::size_t i = 0; i < files.size(); ++i) {
        manifest.files->push_back(Entry{.path = files[i].relative,
                                        .sha256 = stored[i].digest,
                                        .url = "blobs/" + stored[i].digest,
                                        .size = stored[i].size,
                                        .executable = stored[i].executable});
    }
    common::syncDirectory(blobs);

    const Bytes manifestBytes = asBytes(JSON.write(manifest));
    const Bytes signature = sign(privateKey(readBytes(keyFile)), manifestBytes);
    const Envelope envelope{common::base64Encode(manifestBytes), common::base64Encode(signature)};
    const Bytes envelopeBytes = asBytes(JSON.write(envelope));
    const std::string id = hash(manifestBytes);

    atomicWrite(history / (std::to_string(manifest.sequence) + "-" + id + ".json"), envelopeBytes);
    atomicWrite(channel / "current.json", envelopeBytes);
    return Published{id, files.size()};
}

int publishMain(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
    try {
        if (args.size() == 2 && args[0] == "validate") {
            // Checked before anything is printed: a refused payload leaves standard output empty.
            const std::size_t count = validatedFiles(common::pathFromUtf8(args[1])).size();
            out << "PAYLOAD_VALIDATED files=" << count << '\n';
            return 0;
        }
        if (!args.empty() && args[0] == "keygen") {
            if (args.size() < 3)
                throw UsageFailure("keygen PRIVATE_KEY PUBLIC_KEY");
            keygen(common::pathFromUtf8(args[1]), common::pathFromUtf8(args[2]));
            return 0;
        }
        if (args.size() == 8 && args[0] == "publish") {
            const Publication publication{common::pathFromUtf8(args[1]),
                                          common::pathFromUtf8(args[2]),
                                          common::pathFromUtf8(args[3]),
                                          args[4],
                                          args[5],
                                          args[6],
                                          args[7]};
            const std::optional<common::TerminalOutput> terminal =
                &out == &std::cout ? common::terminalOutput() : std::nullopt;
            std::optional<common::TerminalProgress> live;
            PublishProgress progress;
            if (terminal) {
                live.emplace(out, terminal->columns);
                progress = [&live](const std::string& file, std::int64_t done, std::int64_t total) {
                    live->show({"Publication…", file, done, total});
                };
            }
            const Published published = publish(publication, progress);
            if (live)
                live->finish();
            out << "PUBLISHED " << publication.product << ' ' << publication.version
                << " files=" << published.files << '\n';
            return 0;
        }
        throw UsageFailure(PUBLISH_USAGE);
    } catch (const std::exception&) {
        // The message comes first and alone on its line; causes follow so the maker sees why.
        const std::vector<std::string> chain = common::failureMessages(std::current_exception());
        err << chain.front() << '\n';
        for (std::size_t i = 1; i < chain.size(); ++i)
            err << "  cause : " << chain[i] << '\n';
        return 1;
    }
}

}  // namespace orlex::update
