#include "update/chunk_reuse.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <unordered_map>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/interruption.h"
#include "update/block_file.h"
#include "update/digest.h"
#include "update/paths.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::IoFailure;

struct DigestHash {
    std::size_t operator()(const ChunkDigest& digest) const noexcept {
        std::size_t value = 0;
        std::memcpy(&value, digest.data(), sizeof value);
        return value;
    }
};

// The failure in flight and its causes, on one line.
std::string why() {
    std::string text;
    for (const std::string& message : common::failureMessages(std::current_exception()))
        text += (text.empty() ? "" : " : ") + message;
    return text;
}

// Appends bytes to the ".part" file in order, hashing them as they go and reporting the bytes placed
// once per PROGRESS_STEP.
class PartWriter {
public:
    PartWriter(const fs::path& part, const std::string& path, std::int64_t placed,
               const AssemblyReport& report)
        : path_(path), placed_(placed), reported_(placed), report_(report) {
        // What the file already holds is the start of the new file: hashed first, then appended to.
        if (placed > 0) {
            std::ifstream in(common::streamPath(part), std::ios::binary);
            std::vector<char> block(HASH_CHUNK);
            std::int64_t left = placed;
            while (left > 0 && in) {
                in.read(block.data(), static_cast<std::streamsize>(std::min<std::int64_t>(left, HASH_CHUNK)));
                const auto n = static_cast<std::size_t>(in.gcount());
                sha_.update(std::span(reinterpret_cast<const std::uint8_t*>(block.data()), n));
                left -= static_cast<std::int64_t>(n);
            }
            if (left > 0)
                throw IoFailure("Lecture impossible : " + part.string());
        }
        file_.open(part, BlockFile::Mode::Append);
    }

    void append(std::span<const std::uint8_t> bytes) {
        sha_.update(bytes);
        file_.append(bytes);
        placed_ += static_cast<std::int64_t>(bytes.size());
        if (placed_ - reported_ >= PROGRESS_STEP) {
            reported_ = placed_;
            report(placed_);
        }
    }

    void report(std::int64_t placed) const {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - report_.started;
        report_.progress(
            Progress{path_, std::min(report_.total, report_.completed + placed), report_.total,
                     static_cast<double>(report_.completed + placed) / std::max(0.001, elapsed.count())});
    }

    // Writes what is gathered and closes the file.
    void close() { file_.close(); }

    // Writes what it can and closes the file; what could not be written shows in its length.
    void abandon() noexcept { file_.abandon(); }

    std::string digest() { return sha_.hexDigest(); }

private:
    const std::string& path_;
    BlockFile file_;
    Sha256 sha_;
    std::int64_t placed_;
    std::int64_t reported_;
    const AssemblyReport& report_;
};

std::int64_t fileLength(const fs::path& path) {
    const std::optional<common::FileStamp> stamp = common::regularFileStamp(path);
    return stamp ? stamp->size : 0;
}

}  // namespace

std::int64_t ChunkReuse::fetchBytesFrom(std::int64_t offset) const {
    std::int64_t bytes = 0;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        const std::int64_t end = chunks[c].offset + chunks[c].length;
        if (!olderOffset[c] && end > offset)
            bytes += end - std::max(offset, chunks[c].offset);
    }
    return bytes;
}

std::optional<ChunkReuse> findChunkReuse(Transport& transport, const VerifiedEntry& entry,
                                         const fs::path& older, const EngineLog& log) {
    if (entry.size < CHUNKED_BLOB_MIN)
        return std::nullopt;
    const std::optional<common::FileStamp> stamp = common::regularFileStamp(older);
    if (!stamp || stamp->size == 0)
        return std::nullopt;
    try {
        const std::optional<Bytes> index =
            transport.fetchOptional(entry.url + ".chunks", maxChunkIndexBytes(entry.size));
        if (!index)
            return std::nullopt;
        std::optional<std::vector<Chunk>> chunks = decodeChunkIndex(*index, entry.size);
        if (!chunks) {
            log("Index de morceaux invalide pour " + entry.path + " : téléchargement complet");
            return std::nullopt;
        }
        std::unordered_map<ChunkDigest, std::int64_t, DigestHash> held;
        for (const Chunk& chunk : chunkFile(older))
            held.emplace(chunk.digest, chunk.offset);
        if (common::regularFileStamp(older) != stamp)
            return std::nullopt;
        ChunkReuse reuse{older, *stamp, std::move(*chunks), {}};
        reuse.olderOffset.reserve(reuse.chunks.size());
        bool any = false;
        for (const Chunk& chunk : reuse.chunks) {
            const auto found = held.find(chunk.digest);
            reuse.olderOffset.push_back(found == held.end() ? std::nullopt : std::optional(found->second));
            any = any || found != held.end();
        }
        if (!any)
            return std::nullopt;
        return reuse;
    } catch (const IoFailure&) {
        log("Index de morceaux indisponible pour " + entry.path + " : " + why());
        return std::nullopt;
    }
}

bool assembleFromChunks(Transport& transport, const VerifiedEntry& entry, const ChunkReuse& reuse,
                        const fs::path& dst, const fs::path& partial, const AssemblyReport& report,
                        const EngineLog& log) {
    fs::path part = partial;
    part += ".part";
    rejectLinks(part);
    std::int64_t start = fileLength(part);
    if (start >= entry.size) {
        // Longer than the file, or whole but never proved: the whole download deals with it.
        return false;
    }
    std::optional<PartWriter> writer;
    try {
        std::ifstream older(common::streamPath(reuse.older), std::ios::binary);
        if (!older || common::regularFileStamp(reuse.older) != reuse.olderStamp) {
            log("Morceaux de " + entry.path + " abandonnés : l’ancien fichier a changé");
            return false;
        }
        writer.emplace(part, entry.path, start, report);
        std::vector<char> block;
        const std::vector<Chunk>& chunks = reuse.chunks;
        std::size_t c = 0;
        while (c < chunks.size() && chunks[c].offset + chunks[c].length <= start)
            ++c;
        while (c < chunks.size()) {
            common::throwIfInterrupted();
            const std::int64_t from = std::max(start, chunks[c].offset);
            if (const std::optional<std::int64_t> at = reuse.olderOffset[c]) {
                const std::int64_t length = chunks[c].offset + chunks[c].length - from;
                block.resize(static_cast<std::size_t>(length));
                older.seekg(*at + (from - chunks[c].offset));
                older.read(block.data(), static_cast<std::streamsize>(length));
                if (older.gcount() != length)
                    throw IoFailure("Lecture impossible : " + reuse.older.string());
                writer->append(std::span(reinterpret_cast<const std::uint8_t*>(block.data()), block.size()));
                ++c;
                continue;
            }
            // Neighbouring chunks to fetch travel in one request.
            std::size_t end = c;
            while (end < chunks.size() && !reuse.olderOffset[end])
                ++end;
            const std::int64_t to = chunks[end - 1].offset + chunks[end - 1].length;
            transport.fetchRange(entry.url, from, to - from, entry.size,
                                 [&](std::span<const std::uint8_t> batch) { writer->append(batch); });
            c = end;
        }
        writer->close();
    } catch (const IoFailure&) {
        if (writer)
            writer->abandon();
        log("Morceaux de " + entry.path + " abandonnés : " + why());
        return false;
    } catch (const common::Interrupted&) {
        if (writer)
            writer->abandon();
        throw;
    }
    if (fileLength(part) != entry.size || writer->digest() != entry.sha256) {
        try {
            common::removeNode(part);
        } catch (const std::exception&) {
        }
        log("Morceaux de " + entry.path + " abandonnés : le fichier assemblé n’est pas celui du manifeste");
        return false;
    }
    common::replaceFile(part, dst);
    writer->report(entry.size);
    log("Morceaux de " + entry.path + " : " + std::to_string(reuse.fetchBytesFrom(start)) +
        " octets téléchargés, " + std::to_string(entry.size - start - reuse.fetchBytesFrom(start)) +
        " réutilisés");
    return true;
}

}  // namespace orlex::update
