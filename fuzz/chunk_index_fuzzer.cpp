// A chunk index as the channel serves it, for a blob of the size the input's first eight bytes give (a
// wrong index must cost bandwidth at most): what the reader accepts tiles the blob in order with chunks
// of the chunker's sizes, and written again is the very same bytes. The same input, cut into chunks in
// pieces of varying sizes, gives the chunks of the whole at once.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "update/chunks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    if (size < 8)
        return 0;
    std::uint64_t declared = 0;
    for (int i = 7; i >= 0; --i)
        declared = (declared << 8) | data[i];
    // Blob sizes of a release go up to 2,000,000,000 bytes; larger ones only widen the cap.
    const auto blobSize = static_cast<std::int64_t>(declared % 2'000'000'001ULL);
    const std::span<const std::uint8_t> index(data + 8, size - 8);

    if (const std::optional<std::vector<update::Chunk>> chunks = update::decodeChunkIndex(index, blobSize)) {
        std::int64_t offset = 0;
        for (std::size_t i = 0; i < chunks->size(); ++i) {
            const update::Chunk& chunk = (*chunks)[i];
            expect(chunk.offset == offset, "chunks out of order");
            expect(chunk.length >= 1 && chunk.length <= update::CHUNK_MAX, "chunk size out of range");
            expect(i + 1 == chunks->size() || chunk.length >= update::CHUNK_MIN,
                   "short chunk before the last");
            offset += chunk.length;
        }
        expect(offset == blobSize, "chunks do not cover the blob");
        const update::Bytes again = update::encodeChunkIndex(blobSize, *chunks);
        expect(again.size() == index.size() && std::equal(again.begin(), again.end(), index.begin()),
               "an accepted index written again differs");
    }

    // The input after its first byte, fed in pieces whose sizes that byte's bits choose.
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    std::vector<update::Chunk> pieces;
    update::Chunker chunker([&](const update::Chunk& chunk) { pieces.push_back(chunk); });
    std::size_t at = 0;
    for (unsigned step = 0; at < stream.size(); ++step) {
        const std::size_t piece =
            std::min<std::size_t>(stream.size() - at, 1 + ((data[0] >> (step % 8)) & 1) * 4095);
        chunker.update(stream.subspan(at, piece));
        at += piece;
    }
    chunker.finish();
    expect(pieces == update::chunkBytes(stream), "chunks depend on how the bytes arrived");
    return 0;
}
