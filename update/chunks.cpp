#include "update/chunks.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string_view>

#include "common/failure.h"
#include "common/file_system.h"

namespace orlex::update {
namespace {

constexpr std::string_view INDEX_MAGIC = "ORLXCDC1";
constexpr std::size_t INDEX_HEADER = 8 + 3 * 4 + 8 + 4;
constexpr std::size_t INDEX_ENTRY = 8 + 4 + 32;
constexpr std::size_t READ_BLOCK = 1024 * 1024;

// 256 fixed pseudo-random words (SplitMix64 from a fixed seed): part of the index's form, never changed.
constexpr std::array<std::uint64_t, 256> makeGear() {
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = 0x4f524c4558434443ULL;
    for (std::uint64_t& word : table) {
        state += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        word = z ^ (z >> 31);
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> GEAR = makeGear();

// A cut falls where the hash, whose top bits depend on the last 64 bytes, is below CUT_BELOW: once in
// CHUNK_AVERAGE - CHUNK_MIN bytes, so chunks average CHUNK_AVERAGE (a little less for the forced cuts).
// One condition everywhere, rather than a harder one early in a chunk, lets the chunks after an edit fall
// back on the older file's cut points at the first one past the minimum.
constexpr std::uint64_t CUT_BELOW = ~0ULL / static_cast<std::uint64_t>(CHUNK_AVERAGE - CHUNK_MIN);

void putU32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putU64(Bytes& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t getLittleEndian(std::span<const std::uint8_t> bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
    return value;
}

}  // namespace

struct Chunker::Sha {
    Sha() : ctx(EVP_MD_CTX_new()) {
        if (!ctx)
            throw common::IoFailure("OpenSSL : SHA-256 indisponible");
        restart();
    }
    ~Sha() { EVP_MD_CTX_free(ctx); }
    Sha(const Sha&) = delete;
    Sha& operator=(const Sha&) = delete;

    void restart() {
        if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
            throw common::IoFailure("OpenSSL : SHA-256 indisponible");
    }
    void update(const std::uint8_t* bytes, std::size_t size) {
        if (size > 0 && EVP_DigestUpdate(ctx, bytes, size) != 1)
            throw common::IoFailure("OpenSSL : SHA-256 impossible");
    }
    ChunkDigest finish() {
        ChunkDigest digest{};
        unsigned length = 0;
        if (EVP_DigestFinal_ex(ctx, digest.data(), &length) != 1 || length != digest.size())
            throw common::IoFailure("OpenSSL : SHA-256 impossible");
        restart();
        return digest;
    }

    EVP_MD_CTX* ctx;
};

Chunker::Chunker(Listener listener) : listener_(std::move(listener)), sha_(std::make_unique<Sha>()) {}

Chunker::~Chunker() = default;

void Chunker::update(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const std::size_t from = i;
        bool cut = false;
        if (length_ < CHUNK_MIN) {
            // No cut can fall this early: the bytes are only hashed.
            i += static_cast<std::size_t>(
                std::min<std::int64_t>(static_cast<std::int64_t>(n - i), CHUNK_MIN - length_));
        } else {
            const std::size_t end = i + static_cast<std::size_t>(std::min<std::int64_t>(
                                            static_cast<std::int64_t>(n - i), CHUNK_MAX - length_));
            std::uint64_t gear = gear_;
            while (i < end) {
                gear = (gear << 1) + GEAR[data[i++]];
                if (gear < CUT_BELOW) {
                    cut = true;
                    break;
                }
            }
            gear_ = gear;
        }
        sha_->update(data + from, i - from);
        length_ += static_cast<std::int64_t>(i - from);
        if (cut || length_ == CHUNK_MAX)
            endChunk();
    }
}

void Chunker::finish() {
    if (length_ > 0)
        endChunk();
}

void Chunker::endChunk() {
    const Chunk chunk{start_, length_, sha_->finish()};
    start_ += length_;
    length_ = 0;
    gear_ = 0;
    listener_(chunk);
}

std::vector<Chunk> chunkBytes(std::span<const std::uint8_t> bytes) {
    std::vector<Chunk> chunks;
    Chunker chunker([&](const Chunk& chunk) { chunks.push_back(chunk); });
    chunker.update(bytes);
    chunker.finish();
    return chunks;
}

std::vector<Chunk> chunkFile(const std::filesystem::path& file) {
    std::ifstream in(common::streamPath(file), std::ios::binary);
    if (!in)
        throw common::IoFailure("Lecture impossible : " + file.string());
    std::vector<Chunk> chunks;
    Chunker chunker([&](const Chunk& chunk) { chunks.push_back(chunk); });
    std::vector<char> block(READ_BLOCK);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto n = static_cast<std::size_t>(in.gcount());
        chunker.update(std::span(reinterpret_cast<const std::uint8_t*>(block.data()), n));
    }
    if (in.bad())
        throw common::IoFailure("Lecture impossible : " + file.string());
    chunker.finish();
    return chunks;
}

Bytes encodeChunkIndex(std::int64_t blobSize, const std::vector<Chunk>& chunks) {
    Bytes out(INDEX_MAGIC.begin(), INDEX_MAGIC.end());
    out.reserve(INDEX_HEADER + chunks.size() * INDEX_ENTRY);
    putU32(out, static_cast<std::uint32_t>(CHUNK_MIN));
    putU32(out, static_cast<std::uint32_t>(CHUNK_AVERAGE));
    putU32(out, static_cast<std::uint32_t>(CHUNK_MAX));
    putU64(out, static_cast<std::uint64_t>(blobSize));
    putU32(out, static_cast<std::uint32_t>(chunks.size()));
    for (const Chunk& chunk : chunks) {
        putU64(out, static_cast<std::uint64_t>(chunk.offset));
        putU32(out, static_cast<std::uint32_t>(chunk.length));
        out.insert(out.end(), chunk.digest.begin(), chunk.digest.end());
    }
    return out;
}

std::size_t maxChunkIndexBytes(std::int64_t blobSize) {
    const auto chunks = static_cast<std::size_t>(std::max<std::int64_t>(0, blobSize) / CHUNK_MIN + 1);
    return INDEX_HEADER + chunks * INDEX_ENTRY;
}

std::optional<std::vector<Chunk>> decodeChunkIndex(std::span<const std::uint8_t> bytes,
                                                   std::int64_t blobSize) {
    if (blobSize <= 0 || bytes.size() < INDEX_HEADER || bytes.size() > maxChunkIndexBytes(blobSize) ||
        std::memcmp(bytes.data(), INDEX_MAGIC.data(), INDEX_MAGIC.size()) != 0)
        return std::nullopt;
    if (getLittleEndian(bytes, 8, 4) != CHUNK_MIN || getLittleEndian(bytes, 12, 4) != CHUNK_AVERAGE ||
        getLittleEndian(bytes, 16, 4) != CHUNK_MAX ||
        getLittleEndian(bytes, 20, 8) != static_cast<std::uint64_t>(blobSize))
        return std::nullopt;
    const std::uint64_t count = getLittleEndian(bytes, 28, 4);
    if (bytes.size() != INDEX_HEADER + count * INDEX_ENTRY)
        return std::nullopt;
    std::vector<Chunk> chunks(static_cast<std::size_t>(count));
    std::int64_t expected = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::size_t at = INDEX_HEADER + i * INDEX_ENTRY;
        Chunk& chunk = chunks[i];
        const std::uint64_t offset = getLittleEndian(bytes, at, 8);
        chunk.length = static_cast<std::int64_t>(getLittleEndian(bytes, at + 8, 4));
        // Every chunk but the last is at least the minimum; none exceeds the maximum; they tile the blob.
        const bool last = i + 1 == chunks.size();
        if (offset != static_cast<std::uint64_t>(expected) || chunk.length < 1 || chunk.length > CHUNK_MAX ||
            (!last && chunk.length < CHUNK_MIN) || chunk.length > blobSize - expected)
            return std::nullopt;
        chunk.offset = expected;
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at + 12), chunk.digest.size(),
                    chunk.digest.begin());
        expected += chunk.length;
    }
    if (expected != blobSize)
        return std::nullopt;
    return chunks;
}

}  // namespace orlex::update
