#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/file_system.h"
#include "update/chunks.h"
#include "update/release.h"
#include "update/transport.h"

namespace orlex::update {

// Receives the engine's notes for its log: what it chose and why, never a player message.
using EngineLog = std::function<void(const std::string&)>;

// How an entry's new file can be made from an older version of it: the new file's chunks (from the
// channel's index) and, per chunk, where the older file holds the same bytes.
struct ChunkReuse {
    std::filesystem::path older;
    common::FileStamp olderStamp;  // the older file as it was when it was cut
    std::vector<Chunk> chunks;
    std::vector<std::optional<std::int64_t>> olderOffset;  // per chunk; nullopt: to be fetched

    // Bytes to fetch for the part of the file from offset on.
    std::int64_t fetchBytesFrom(std::int64_t offset) const;
};

// The reuse for entry from the older file, or nullopt when there is none worth having: the entry is
// below CHUNKED_BLOB_MIN, the older file is not a regular file, the channel has no index for the blob
// (a 404), its index cannot be fetched, is too large or does not describe the blob, or no chunk of the
// older file appears in the new one. Failures other than an interruption become nullopt and a note.
std::optional<ChunkReuse> findChunkReuse(Transport& transport, const VerifiedEntry& entry,
                                         const std::filesystem::path& older, const EngineLog& log);

// Where an assembly reports: as Transport::download does, the bytes placed so far (reused or fetched).
struct AssemblyReport {
    std::int64_t completed;  // bytes of earlier files
    std::int64_t total;
    std::chrono::steady_clock::time_point started;
    const Transport::ProgressListener& progress;
};

// Builds entry's file in "<partial>.part" in order, from the older file's chunks and Range requests for
// the others (neighbouring chunks in one request), resuming after the bytes the ".part" file already
// holds. Once it holds the whole file and its SHA-256 is the entry's, moves it to dst and returns true.
// Returns false when it gives up, with a note: the older file changed, a request failed or the server
// does not answer ranges (the ".part" file keeps what was placed, for the whole download to resume), or
// the assembled file is not the entry's (the ".part" file is removed: the index was wrong).
// common::Interrupted passes through, the ".part" file keeping what was placed.
bool assembleFromChunks(Transport& transport, const VerifiedEntry& entry, const ChunkReuse& reuse,
                        const std::filesystem::path& dst, const std::filesystem::path& partial,
                        const AssemblyReport& report, const EngineLog& log);

}  // namespace orlex::update
