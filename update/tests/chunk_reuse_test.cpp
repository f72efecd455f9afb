#include "update/chunk_reuse.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_channel.h"
#include "update/patcher.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using test::Fault;
using test::TestChannel;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::set<ChunkDigest> digests(const std::vector<Chunk>& chunks) {
    std::set<ChunkDigest> out;
    for (const Chunk& chunk : chunks)
        out.insert(chunk.digest);
    return out;
}

TEST(Chunks, AnEditDisturbsOnlyTheChunksAroundItAndFilesCutTheSameAsBytes) {
    const std::string original = test::randomBytes(8 << 20, 7);
    const std::vector<Chunk> chunks = chunkBytes(bytesOf(original));
    std::int64_t covered = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].offset, covered);
        EXPECT_LE(chunks[i].length, CHUNK_MAX);
        if (i + 1 < chunks.size()) {
            EXPECT_GE(chunks[i].length, CHUNK_MIN);
        }
        covered += chunks[i].length;
    }
    EXPECT_EQ(covered, static_cast<std::int64_t>(original.size()));
    const auto average = covered / static_cast<std::int64_t>(chunks.size());
    EXPECT_GT(average, CHUNK_AVERAGE / 2);
    EXPECT_LT(average, CHUNK_AVERAGE * 2);

    test::TempDir dir;
    EXPECT_EQ(chunkFile(test::writeFile(dir / "original", original)), chunks);

    const std::set<ChunkDigest> before = digests(chunks);
    std::string edited = original;
    edited.insert(3 << 20, test::randomBytes(1000, 8));  // shifts everything after it
    edited.erase(6 << 20, 5000);
    edited[7 << 20] ^= 1;
    std::size_t lost = 0;
    for (const Chunk& chunk : chunkBytes(bytesOf(edited)))
        lost += !before.contains(chunk.digest);
    EXPECT_LE(lost, 6u);  // at most two chunks for each of the three edits
}

TEST(ChunkIndex, ReadsBackWhatItWroteAndRefusesEveryOtherForm) {
    const std::string blob = test::randomBytes(5 << 20, 9);
    const auto size = static_cast<std::int64_t>(blob.size());
    const std::vector<Chunk> chunks = chunkBytes(bytesOf(blob));
    const Bytes index = encodeChunkIndex(size, chunks);
    EXPECT_EQ(decodeChunkIndex(index, size), chunks);
    EXPECT_LE(index.size(), maxChunkIndexBytes(size));

    const auto refused = [&](const std::string& what, Bytes bytes, std::int64_t forSize) {
        EXPECT_EQ(decodeChunkIndex(bytes, forSize), std::nullopt) << what;
    };
    refused("another blob size", index, size + 1);
    refused("truncated", Bytes(index.begin(), index.end() - 1), size);
    Bytes longer = index;
    longer.push_back(0);
    refused("a byte more", longer, size);
    refused("empty", {}, size);
    Bytes magic = index;
    magic[7] = '2';
    refused("another form", magic, size);
    Bytes sizes = index;
    sizes[8] ^= 1;  // another minimum chunk size
    refused("another chunker", sizes, size);
    // Chunks that do not tile the blob: the second one moved by a byte, then lengthened by one.
    constexpr std::size_t header = 32;
    constexpr std::size_t entry = 44;
    Bytes moved = index;
    moved[header + entry] ^= 1;
    refused("an offset that leaves a gap", moved, size);
    Bytes lengthened = index;
    lengthened[header + 8] ^= 1;
    refused("a length that overlaps", lengthened, size);
    std::vector<Chunk> huge = {Chunk{0, size, {}}};
    refused("a chunk above the maximum", encodeChunkIndex(size, huge), size);
    refused("far too large", Bytes(maxChunkIndexBytes(size) + 1), size);
}

// A large file in successive releases, each installed over the one before by a fresh engine.
class ChunkedUpdate : public ::testing::Test {
protected:
    static constexpr const char* WORLD = "assets/world.pak";
    static constexpr std::int64_t WORLD_SIZE = 12 << 20;

    TestChannel channel;
    test::TempDir root;
    std::mutex mutex;
    std::vector<std::string> notes;
    std::int64_t sequence = 0;
    std::string world;  // the world file of the channel's current release

    void SetUp() override {
        release(test::randomBytes(WORLD_SIZE, 11));
        installed();
    }

    std::unique_ptr<Patcher> engine() {
        PatcherSettings settings = channel.engineSettings();
        settings.log = [this](const std::string& note) {
            const std::lock_guard lock(mutex);
            notes.push_back(note);
        };
        return std::make_unique<Patcher>(channel.baseUrl(), channel.publicKey(), root.path(), "client",
                                         settings);
    }

    // Publishes the next release with this world file (and a small file that changes every time).
    void release(std::string next) {
        world = std::move(next);
        channel.publish({{WORLD, world}, {"app/game.jar", "game " + std::to_string(sequence + 1)}},
                        ++sequence);
    }

    std::string blob() const { return TestChannel::blobPath(world); }
    fs::path index() const { return channel.channelDir() / "blobs" / (blob().substr(7) + ".chunks"); }

    // Installs the channel's release and checks the world file; returns the bytes planned to travel for
    // the world file. steady: no transfer starts again from an earlier offset, so reports never go back.
    std::int64_t installed(bool steady = true) {
        auto patcher = engine();
        std::vector<Progress> reports;  // reused bytes count as placed, like fetched ones
        patcher->onProgress([&](const Progress& report) {
            const std::lock_guard lock(mutex);
            EXPECT_TRUE(!steady || reports.empty() || report.completed >= reports.back().completed)
                << report.phase;
            reports.push_back(report);
        });
        const Plan plan = patcher->plan(patcher->remote());
        patcher->install(plan);
        EXPECT_EQ(test::readFile(patcher->verifiedRelease() / WORLD), world);
        EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [&](const Progress& report) {
            return report.phase == WORLD && report.completed == report.total && report.total == plan.bytes;
        }));
        std::int64_t others = 0;  // the small file, fetched whole
        for (const VerifiedEntry& entry : plan.release.manifest.files)
            others += entry.path == WORLD ? 0 : entry.size;
        return plan.fetchBytes - others;
    }

    bool noted(const std::string& part) {
        const std::lock_guard lock(mutex);
        return std::any_of(notes.begin(), notes.end(),
                           [&](const std::string& note) { return note.find(part) != std::string::npos; });
    }
};

std::string replaced(std::string text, std::size_t at, std::size_t length, std::uint32_t seed) {
    text.replace(at, length, test::randomBytes(length, seed));
    return text;
}

TEST_F(ChunkedUpdate, EditsAnywhereFetchLittleMoreThanWhatChangedAndThePlanSaysSo) {
    EXPECT_TRUE(channel.server().rangesFor(blob()) == std::vector<std::string>{""});
    EXPECT_EQ(channel.server().bytesServed(blob() + ".chunks"), 0);  // nothing older to reuse

    struct Edit {
        std::string what;
        std::function<std::string(const std::string&)> apply;
        std::int64_t changed;
    };
    constexpr std::size_t middle = 6 << 20;
    const std::vector<Edit> edits = {
        {"100 KiB changed at the start", [](const std::string& w) { return replaced(w, 0, 100 << 10, 21); },
         100 << 10},
        {"1 MiB changed in the middle", [](const std::string& w) { return replaced(w, middle, 1 << 20, 22); },
         1 << 20},
        {"one byte changed at the end", [](const std::string& w) { return replaced(w, w.size() - 1, 1, 23); },
         1},
        {"64 KiB inserted near the start",
         [](const std::string& w) {
             return std::string(w).insert(10 << 10, test::randomBytes(64 << 10, 24));
         },
         64 << 10},
        {"64 KiB inserted in the middle",
         [](const std::string& w) { return std::string(w).insert(middle, test::randomBytes(64 << 10, 25)); },
         64 << 10},
        {"50 KiB deleted at the start", [](const std::string& w) { return w.substr(50 << 10); }, 50 << 10},
        {"64 KiB deleted in the middle",
         [](const std::string& w) { return std::string(w).erase(middle, 64 << 10); }, 64 << 10},
        {"64 KiB appended", [](const std::string& w) { return w + test::randomBytes(64 << 10, 26); },
         64 << 10},
        {"the last 100 KiB deleted", [](const std::string& w) { return w.substr(0, w.size() - (100 << 10)); },
         100 << 10},
    };
    for (const Edit& edit : edits) {
        release(edit.apply(world));
        const std::int64_t planned = installed();
        const std::int64_t served = channel.server().bytesServed(blob());
        EXPECT_EQ(served, planned) << edit.what;
        // The chunks the edit touched, at most one on each side beyond them.
        EXPECT_LE(served, edit.changed + 2 * CHUNK_MAX) << edit.what;
        EXPECT_GT(channel.server().bytesServed(blob() + ".chunks"), 0) << edit.what;
    }
}

TEST_F(ChunkedUpdate, ARenamedFileIsAssembledFromItsFormerName) {
    const std::string renamed = replaced(world, 5 << 20, 1000, 71);
    channel.publish({{"assets/world-2.pak", renamed}, {"app/game.jar", "game"}}, ++sequence);
    auto patcher = engine();
    const Plan plan = patcher->plan(patcher->remote());
    patcher->install(plan);
    EXPECT_EQ(test::readFile(patcher->verifiedRelease() / "assets/world-2.pak"), renamed);
    const std::int64_t served = channel.server().bytesServed(TestChannel::blobPath(renamed));
    EXPECT_EQ(served + 4, plan.fetchBytes);  // and the 4 bytes of the small file
    EXPECT_LE(served, 1000 + 2 * CHUNK_MAX);
}

TEST_F(ChunkedUpdate, AFormerFileThatIsALinkIsNotReusedAndTheUpdateStillInstalls) {
    auto patcher = engine();
    const fs::path former = patcher->verifiedRelease() / WORLD;
    fs::remove(former);
    fs::create_symlink("/etc/hostname", former);
    const std::string renamed = replaced(world, 5 << 20, 1000, 72);
    channel.publish({{"assets/world-2.pak", renamed}, {"app/game.jar", "game"}}, ++sequence);

    patcher->install(patcher->plan(patcher->remote()));
    EXPECT_EQ(test::readFile(patcher->verifiedRelease() / "assets/world-2.pak"), renamed);
    EXPECT_EQ(channel.server().bytesServed(TestChannel::blobPath(renamed)), WORLD_SIZE);
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& note) {
        return note.starts_with("Ancienne version de assets/world-2.pak inutilisable : ");
    }));
}

TEST_F(ChunkedUpdate, AFileChangedWhollyOrPublishedWithoutIndexTravelsWholeOnce) {
    release(test::randomBytes(WORLD_SIZE, 31));
    EXPECT_EQ(installed(), WORLD_SIZE);
    EXPECT_EQ(channel.server().bytesServed(blob()), WORLD_SIZE);
    EXPECT_TRUE(channel.server().rangesFor(blob()) == std::vector<std::string>{""});

    // A channel published before indexes existed: the blob has none.
    release(replaced(world, 1 << 20, 1000, 32));
    fs::remove(index());
    channel.server().inject(blob() + ".chunks", Fault::answer(404));
    EXPECT_EQ(installed(), WORLD_SIZE);
    EXPECT_EQ(channel.server().bytesServed(blob()), WORLD_SIZE);
}

TEST_F(ChunkedUpdate, IndexesThatLieOnlyCostBandwidth) {
    const std::string olderIndex = test::readFile(index());
    struct Lie {
        std::string what;
        std::function<std::string(const std::string&)> index;
        std::string note;
    };
    const std::vector<Lie> lies = {
        {"the older file's own index: every chunk is reused, the file is not the new one",
         [&](const std::string&) { return olderIndex; }, "n’est pas celui du manifeste"},
        {"truncated", [](const std::string& i) { return i.substr(0, i.size() - 10); }, "invalide"},
        {"oversized",
         [](const std::string& i) { return i + std::string(maxChunkIndexBytes(WORLD_SIZE), 'x'); },
         "indisponible"},
        {"an offset moved",
         [](const std::string& i) {
             std::string moved = i;
             moved[32 + 44] ^= 4;
             return moved;
         },
         "invalide"},
    };
    std::uint32_t seed = 40;
    for (const Lie& lie : lies) {
        release(replaced(world, 2 << 20, 5000, ++seed));
        test::writeFile(index(), lie.index(test::readFile(index())));
        installed(false);
        EXPECT_TRUE(noted(lie.note)) << lie.what;
    }
}

TEST_F(ChunkedUpdate, ALyingIndexAndACutRangeStillEndInTheRightFile) {
    // The first chunk named after another chunk of the older file, and the assembly's first range cut
    // short: the whole download then resumes after bytes the index placed wrongly.
    const std::string older = world;
    release(replaced(world, 6 << 20, 100 << 10, 71));
    const auto bytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    std::vector<Chunk> chunks = chunkBytes(bytes(world));
    chunks[0].digest = chunkBytes(bytes(older))[1].digest;
    const Bytes lying = encodeChunkIndex(WORLD_SIZE, chunks);
    test::writeFile(index(), std::string(lying.begin(), lying.end()));
    channel.server().inject(blob(), Fault::cutAfter(1000));
    installed(false);
}

TEST_F(ChunkedUpdate, AServerThatIgnoresRangesGetsTheWholeDownload) {
    release(replaced(world, 3 << 20, 5000, 51));
    channel.server().inject(blob(), Fault::ignoreRange(), -1);
    installed(false);
    EXPECT_TRUE(noted("Plage refusée : 200"));
}

TEST_F(ChunkedUpdate, AnInstallCutShortResumesFromWhatWasAssembled) {
    constexpr std::int64_t cut = 1000;
    release(replaced(replaced(world, 4 << 20, 200 << 10, 61), 9 << 20, 200 << 10, 62));
    // The first range request and the whole download's four attempts each end after 1,000 bytes.
    channel.server().inject(blob(), Fault::cutAfter(cut), 5);
    auto patcher = engine();
    EXPECT_EQ(
        test::failureMessage<common::IoFailure>([&] { patcher->install(patcher->plan(patcher->remote())); }),
        "Téléchargement interrompu ; réessayez pour reprendre");
    const std::vector<std::string> cutShort = channel.server().rangesFor(blob());
    ASSERT_EQ(cutShort.size(), 5u);
    EXPECT_NE(cutShort.back(), cutShort.front());

    const std::int64_t servedBefore = channel.server().bytesServed(blob());
    const std::int64_t planned = installed();
    // The next installation fetches only the changed chunks not yet assembled.
    EXPECT_LE(channel.server().bytesServed(blob()) - servedBefore, planned);
    EXPECT_LE(channel.server().bytesServed(blob()), 400 * 1024 + 4 * CHUNK_MAX + 5 * cut);
}

}  // namespace
}  // namespace orlex::update
