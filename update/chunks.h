#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "update/release.h"

namespace orlex::update {

// Content-defined chunks of large blobs, and the chunk index the publisher stores beside such a blob as
// "blobs/<digest>.chunks". A launcher that holds an older version of a file cuts it the same way and
// fetches only the chunks it lacks. The index is not signed: the file it helps assemble is still checked
// against the manifest's SHA-256, so a wrong index can only waste bandwidth.
//
// Cut points come from a gear rolling hash over the last 64 bytes: no cut before CHUNK_MIN bytes, then
// one where the hash falls below a threshold met once in CHUNK_AVERAGE - CHUNK_MIN bytes, and a forced cut
// at CHUNK_MAX. 64 KiB on average keeps the index of a 2 GB file near 1.4 MB (44 bytes a chunk) and the
// work per chunk small, while an edit costs the chunks it touches and about one more.
inline constexpr std::int64_t CHUNK_MIN = 16 * 1024;
inline constexpr std::int64_t CHUNK_AVERAGE = 64 * 1024;
inline constexpr std::int64_t CHUNK_MAX = 256 * 1024;
// Blobs smaller than this get no index: fetching them whole costs little more than one round trip.
inline constexpr std::int64_t CHUNKED_BLOB_MIN = 4 * 1024 * 1024;

using ChunkDigest = std::array<std::uint8_t, 32>;  // SHA-256

struct Chunk {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    ChunkDigest digest{};

    bool operator==(const Chunk&) const = default;
};

// Cuts a byte stream fed in order into chunks; each completed chunk goes to the listener at once.
class Chunker {
public:
    using Listener = std::function<void(const Chunk&)>;

    explicit Chunker(Listener listener);
    Chunker(const Chunker&) = delete;
    Chunker& operator=(const Chunker&) = delete;
    ~Chunker();

    void update(std::span<const std::uint8_t> bytes);
    // Ends the last chunk (when the stream was not empty).
    void finish();

private:
    void endChunk();

    struct Sha;
    Listener listener_;
    std::unique_ptr<Sha> sha_;
    std::uint64_t gear_ = 0;
    std::int64_t start_ = 0;   // offset of the chunk being cut
    std::int64_t length_ = 0;  // its bytes so far
};

// The chunks of a file, read through in large blocks; fails with common::IoFailure.
std::vector<Chunk> chunkFile(const std::filesystem::path& file);
std::vector<Chunk> chunkBytes(std::span<const std::uint8_t> bytes);

// The index's binary form (little-endian): "ORLXCDC1", the minimum, average and maximum chunk sizes
// (u32 each), the blob's size (u64), the chunk count (u32), then per chunk its offset (u64), length (u32)
// and SHA-256 (32 bytes).
Bytes encodeChunkIndex(std::int64_t blobSize, const std::vector<Chunk>& chunks);
// The largest index a blob of that size can have; a longer answer is not an index.
std::size_t maxChunkIndexBytes(std::int64_t blobSize);
// The chunks of an index for a blob of blobSize bytes; nullopt when the bytes are not such an index:
// another form or chunk sizes, another size, chunks that do not tile the blob in order or lie outside
// the sizes this chunker makes.
std::optional<std::vector<Chunk>> decodeChunkIndex(std::span<const std::uint8_t> bytes,
                                                   std::int64_t blobSize);

}  // namespace orlex::update
