#include "update/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "common/failure.h"
#include "common/file_lock.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "update/chunks.h"
#include "update/digest.h"
#include "update/paths.h"
#include "update/platform.h"
#include "update/signature.h"
#include "update/verification.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using test::listFiles;
using test::readBytes;
using test::readFile;
using test::runProcess;
using test::writeFile;

const std::string USAGE = std::string(PUBLISH_USAGE) + "\n";

test::ProcessResult tool(const std::vector<std::string>& arguments) {
    return runProcess(test::builtProgram("orlex-publish"), arguments);
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

struct Stamp {
    ino_t inode;
    std::int64_t modified;
    bool operator==(const Stamp&) const = default;
};

// True when dir is missing or holds nothing at all.
bool untouched(const fs::path& dir) {
    return !fs::exists(dir) || fs::is_empty(dir);
}

Stamp stampOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return {st.st_ino, static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// A payload, a channel and a key pair made by the tool itself, in one temporary directory.
class PublishFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(tool({"keygen", privateKey().string(), publicKeyFile().string()}).status, 0);
    }

    fs::path payload() const { return dir_ / "payload"; }
    fs::path channel() const { return dir_ / "channel"; }
    fs::path privateKey() const { return dir_ / "keys" / "release-private.der"; }
    fs::path publicKeyFile() const { return dir_ / "keys" / "release-public.der"; }

    test::ProcessResult publishAs(const std::string& product, const std::string& sequence,
                                  const fs::path& key) const {
        return tool({"publish", payload().string(), channel().string(), key.string(), product, "1.4.0-rc_2",
                     sequence, platform()});
    }
    test::ProcessResult publishSequence(const std::string& sequence) const {
        return publishAs("client", sequence, privateKey());
    }

    Signed verified(const std::string& product) const {
        const ManifestVerifier verifier(publicKey(readBytes(publicKeyFile())), product, dir_ / "install");
        return verifier.verifyEnvelope(readFile(channel() / "current.json"));
    }

    test::TempDir dir_;
};

TEST(PublishCommandLine, RefusesMalformedCommandLinesWithTheUsage) {
    const std::vector<std::vector<std::string>> lines{
        {},
        {"release"},
        {"VALIDATE", "payload"},
        {"validate"},
        {"validate", "a", "b"},
        {"publish", "payload", "channel", "key", "client", "1.0", "1"},
        {"publish", "payload", "channel", "key", "client", "1.0", "1", "linux-x64", "extra"},
    };
    for (const auto& line : lines) {
        const test::ProcessResult result = tool(line);
        EXPECT_NE(result.status, 0) << ::testing::PrintToString(line);
        EXPECT_EQ(result.err, USAGE) << ::testing::PrintToString(line);
        EXPECT_EQ(result.out, "") << ::testing::PrintToString(line);
    }
}

TEST(PublishCommandLine, KeygenWithoutBothFilesFailsAndWritesNothing) {
    test::TempDir dir;
    for (const std::vector<std::string>& line :
         {std::vector<std::string>{"keygen"}, {"keygen", (dir / "private.der").string()}}) {
        const test::ProcessResult result = tool(line);
        EXPECT_NE(result.status, 0);
        EXPECT_NE(result.err.find("keygen"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_TRUE(listFiles(dir.path()).empty());
}

TEST(PublishCommandLine, KeygenMakesAMatchingPairAndIgnoresFurtherArguments) {
    test::TempDir dir;
    const fs::path privateFile = dir / "deep" / "keys" / "private.der";
    const fs::path publicFile = dir / "elsewhere" / "public.der";

    const test::ProcessResult result = tool({"keygen", privateFile.string(), publicFile.string(), "extra"});

    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(fs::file_size(privateFile), 48u);
    EXPECT_EQ(fs::status(privateFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::file_size(publicFile), 44u);
    const Bytes message{1, 2, 3};
    EXPECT_TRUE(verifySignature(publicKey(readBytes(publicFile)), message,
                                sign(privateKey(readBytes(privateFile)), message)));
}

TEST(PublishCommandLine, KeygenNeverReplacesAnExistingKey) {
    test::TempDir dir;
    writeFile(dir / "public.der", "old public");
    test::ProcessResult result =
        tool({"keygen", (dir / "private.der").string(), (dir / "public.der").string()});
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.err, "Clés déjà présentes\n");
    EXPECT_FALSE(fs::exists(dir / "private.der"));
    EXPECT_EQ(readFile(dir / "public.der"), "old public");

    writeFile(dir / "private.der", "old private");
    result = tool({"keygen", (dir / "private.der").string(), (dir / "other.der").string()});
    EXPECT_EQ(result.err, "Clés déjà présentes\n");
    EXPECT_FALSE(fs::exists(dir / "other.der"));
    EXPECT_EQ(readFile(dir / "private.der"), "old private");
}

TEST(PublishPayload, ValidateCountsTheRegularFilesInPathOrder) {
    test::TempDir dir;
    writeFile(dir / "app" / "b.bin", "b");
    writeFile(dir / "app" / "a" / "z.txt", "z");
    writeFile(dir / "app" / "a.txt", "a");
    writeFile(dir / "runtime" / "bin" / "java", "java");
    writeFile(dir / "assets" / "COM10.ogg", "");
    fs::create_directories(dir / "assets" / "empty");

    const test::ProcessResult result = tool({"validate", dir.path().string()});

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "PAYLOAD_VALIDATED files=5\n");
    EXPECT_EQ(result.err, "");
    std::vector<std::string> relative;
    for (const PayloadFile& file : validatedFiles(dir / "app" / ".."))
        relative.push_back(file.relative);
    EXPECT_EQ(relative, (std::vector<std::string>{"app/a.txt", "app/a/z.txt", "app/b.bin", "assets/COM10.ogg",
                                                  "runtime/bin/java"}));
}

TEST(PublishPayload, RefusesNamesOutsideTheGrammarWithTheirCause) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"app/x.", "Chemin dangereux"},
        {"app/con.txt", "Nom réservé"},
        {"assets/Lpt9.tar.gz", "Nom réservé"},
        {"app/a b", "Chemin invalide"},
    };
    for (const auto& [name, cause] : cases) {
        test::TempDir dir;
        writeFile(dir / "app" / "ok.bin", "ok");
        writeFile(dir / name, "x");
        const std::string message = "Chemin de publication refusé : " + name;

        const test::ProcessResult result = tool({"validate", dir.path().string()});
        EXPECT_NE(result.status, 0);
        EXPECT_EQ(firstLine(result.err), message);
        EXPECT_EQ(result.out, "");

        try {
            validatedFiles(dir.path());
            ADD_FAILURE() << name << " accepted";
        } catch (const common::SecurityFailure& failure) {
            EXPECT_EQ(failure.what(), message);
            try {
                std::rethrow_if_nested(failure);
                ADD_FAILURE() << name << " without cause";
            } catch (const common::SecurityFailure& nested) {
                EXPECT_EQ(nested.what(), cause);
            }
        }
    }
}

TEST_F(PublishFixture, AFileOutsideTheReleaseDirectoriesFailsAndWritesNothing) {
    for (const std::string name : {"docs/readme.txt", "readme.txt", "apps/x.bin"}) {
        fs::remove_all(payload());
        writeFile(payload() / "app" / "game.bin", "game");
        writeFile(payload() / name, "text");

        const test::ProcessResult validate = tool({"validate", payload().string()});
        EXPECT_NE(validate.status, 0);
        EXPECT_EQ(validate.err, "Payload hors périmètre : " + name + "\n");
        EXPECT_EQ(validate.out, "");

        const test::ProcessResult published = publishSequence("1");
        EXPECT_NE(published.status, 0);
        EXPECT_EQ(published.err, "Payload hors périmètre : " + name + "\n");
        EXPECT_EQ(published.out, "");
        EXPECT_TRUE(untouched(channel())) << name;
    }
}

TEST_F(PublishFixture, ASymbolicLinkInThePayloadIsRefused) {
    writeFile(payload() / "app" / "game.bin", "game");
    fs::create_directories(payload() / "assets");
    fs::create_directory_symlink(payload() / "app", payload() / "assets" / "linked");

    for (const test::ProcessResult& result : {tool({"validate", payload().string()}), publishSequence("1")}) {
        EXPECT_NE(result.status, 0);
        EXPECT_EQ(result.err,
                  "Symlink dans le payload : " + (normalised(payload()) / "assets/linked").string() + "\n");
    }
    EXPECT_TRUE(untouched(channel()));
}

TEST_F(PublishFixture, APrivateKeyInsideTheChannelOrPayloadIsRefusedBeforeAnyWrite) {
    writeFile(payload() / "app" / "game.bin", "game");
    fs::create_directories(channel());
    fs::create_directories(dir_ / "outside");
    fs::create_directory_symlink(channel(), dir_ / "outside" / "to-channel");
    const std::vector<fs::path> keys{
        channel() / "keys" / "private.der",
        payload() / "app" / "private.der",
        dir_ / "outside" / "to-channel" / "private.der",
    };
    for (const fs::path& key : keys) {
        writeFile(key, readFile(privateKey()));
        const test::ProcessResult result = publishAs("client", "1", key);
        EXPECT_NE(result.status, 0) << key;
        EXPECT_EQ(result.err, "Clé privée dans la distribution\n") << key;
        EXPECT_FALSE(fs::exists(channel() / "blobs")) << key;
        EXPECT_FALSE(fs::exists(channel() / "current.json")) << key;
        fs::remove(key);
    }
}

TEST_F(PublishFixture, ASequenceThatIsNotADecimalIntegerFails) {
    writeFile(payload() / "app" / "game.bin", "game");
    for (const std::string sequence : {"seven", "", "1.5", "12a", "0x10", "9223372036854775808"}) {
        const test::ProcessResult result = publishSequence(sequence);
        EXPECT_NE(result.status, 0) << sequence;
        EXPECT_FALSE(result.err.empty()) << sequence;
        EXPECT_EQ(result.out, "") << sequence;
        EXPECT_FALSE(fs::exists(channel() / "current.json")) << sequence;
    }
    EXPECT_EQ(publishSequence("9223372036854775807").status, 0);
}

TEST_F(PublishFixture, APublishedReleaseVerifiesAndNamesItsBlobsByDigest) {
    writeFile(payload() / "app" / "game.jar", test::randomBytes(200'000));
    writeFile(payload() / "app" / "copy.jar", test::randomBytes(200'000));  // same content, one blob
    writeFile(payload() / "runtime" / "bin" / "java", "#!/bin/sh\n");
    writeFile(payload() / "assets" / "empty.dat", "");
    fs::permissions(payload() / "runtime" / "bin" / "java", fs::perms::owner_exec, fs::perm_options::add);
    const auto before = ManifestVerifier::systemSeconds();

    const test::ProcessResult result = publishSequence("7");

    const auto after = ManifestVerifier::systemSeconds();
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "PUBLISHED client 1.4.0-rc_2 files=4\n");
    EXPECT_EQ(result.err, "");

    const Signed release = verified("client");
    const VerifiedManifest& manifest = release.manifest;
    EXPECT_EQ(manifest.schema, 1);
    EXPECT_EQ(manifest.minLauncher, 1);
    EXPECT_TRUE(manifest.restartRequired);
    EXPECT_EQ(manifest.sequence, 7);
    EXPECT_EQ(manifest.version, "1.4.0-rc_2");
    EXPECT_EQ(manifest.product, "client");
    EXPECT_EQ(manifest.platform, platform());
    EXPECT_GE(manifest.expires, before + 2'592'000);
    EXPECT_LE(manifest.expires, after + 2'592'000);

    std::vector<std::string> paths;
    for (const VerifiedEntry& entry : manifest.files) {
        paths.push_back(entry.path);
        const fs::path source = payload() / entry.path;
        EXPECT_EQ(entry.sha256, hash(source));
        EXPECT_EQ(entry.url, "blobs/" + entry.sha256);
        EXPECT_EQ(entry.size, static_cast<std::int64_t>(fs::file_size(source)));
        EXPECT_EQ(entry.executable, entry.path == "runtime/bin/java") << entry.path;
        EXPECT_EQ(readBytes(channel() / entry.url), readBytes(source));
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"app/copy.jar", "app/game.jar", "assets/empty.dat",
                                               "runtime/bin/java"}));

    const std::vector<std::string> blobs = listFiles(channel() / "blobs");
    EXPECT_EQ(blobs.size(), 3u);  // the two jars share one
    for (const std::string& blob : blobs)
        EXPECT_EQ(hash(channel() / "blobs" / blob), blob);

    const std::string historyName = "7-" + release.id + ".json";
    EXPECT_EQ(listFiles(channel()),
              (std::vector<std::string>{"blobs/" + blobs[0], "blobs/" + blobs[1], "blobs/" + blobs[2],
                                        "current.json", "history/" + historyName, "publish.lock"}));
    EXPECT_EQ(readBytes(channel() / "history" / historyName), readBytes(channel() / "current.json"));
}

TEST_F(PublishFixture, OnlyTheClientReleaseAsksForARestart) {
    writeFile(payload() / "app" / "launcher.zip", "zip");
    ASSERT_EQ(publishAs("launcher", "1", privateKey()).status, 0);
    EXPECT_FALSE(verified("launcher").manifest.restartRequired);
    ASSERT_EQ(publishAs("Client", "2", privateKey()).status, 0);
    EXPECT_FALSE(verified("Client").manifest.restartRequired);
}

TEST_F(PublishFixture, RepublishingLeavesIntactBlobsAloneAndAddsAHistoryFile) {
    writeFile(payload() / "app" / "game.jar", test::randomBytes(300'000));
    writeFile(payload() / "assets" / "sound.ogg", test::randomBytes(1000, 2));
    ASSERT_EQ(publishSequence("1").status, 0);
    const std::string first = verified("client").id;
    const fs::path blob = channel() / verified("client").manifest.files.front().url;
    const Stamp stamp = stampOf(blob);

    ASSERT_EQ(publishSequence("2").status, 0);

    const Signed second = verified("client");
    EXPECT_EQ(stampOf(blob), stamp);
    EXPECT_EQ(listFiles(channel() / "history"),
              (std::vector<std::string>{"1-" + first + ".json", "2-" + second.id + ".json"}));
    EXPECT_EQ(readBytes(channel() / "history" / ("2-" + second.id + ".json")),
              readBytes(channel() / "current.json"));
    EXPECT_EQ(listFiles(channel() / "blobs").size(), 2u);
}

TEST_F(PublishFixture, ADamagedOrLeftoverBlobIsReplaced) {
    const std::string game = test::randomBytes(100'000);
    writeFile(payload() / "app" / "game.jar", game);
    writeFile(payload() / "app" / "tool.bin", "tool");
    ASSERT_EQ(publishSequence("1").status, 0);
    const std::string gameBlob = hash(payload() / "app" / "game.jar");
    const std::string toolBlob = hash(payload() / "app" / "tool.bin");
    std::string damaged = game;
    damaged[5000] ^= 1;
    writeFile(channel() / "blobs" / gameBlob, damaged);  // same size, other content
    fs::remove(channel() / "blobs" / toolBlob);
    writeFile(channel() / "blobs" / (toolBlob + ".tmp"), "half a copy that is longer than the file");

    ASSERT_EQ(publishSequence("2").status, 0);

    EXPECT_EQ(readFile(channel() / "blobs" / gameBlob), game);
    EXPECT_EQ(readFile(channel() / "blobs" / toolBlob), "tool");
    EXPECT_EQ(listFiles(channel() / "blobs"), (std::vector<std::string>{gameBlob, toolBlob}));
}

TEST_F(PublishFixture, LargeBlobsGetAChunkIndexThatRepublishingKeepsUnlessItIsDamaged) {
    const std::string world = test::randomBytes(static_cast<std::size_t>(CHUNKED_BLOB_MIN), 3);
    writeFile(payload() / "assets" / "world.pak", world);
    writeFile(payload() / "assets" / "small.pak", test::randomBytes(CHUNKED_BLOB_MIN - 1, 4));
    ASSERT_EQ(publishSequence("1").status, 0);
    const fs::path index = channel() / "blobs" / (hash(payload() / "assets" / "world.pak") + ".chunks");
    const auto bytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    EXPECT_EQ(decodeChunkIndex(readBytes(index), CHUNKED_BLOB_MIN), chunkBytes(bytes(world)));
    EXPECT_EQ(listFiles(channel() / "blobs").size(), 3u);  // no index for the smaller blob

    const Stamp stamp = stampOf(index);
    ASSERT_EQ(publishSequence("2").status, 0);
    EXPECT_EQ(stampOf(index), stamp);

    writeFile(index, "not an index");
    ASSERT_EQ(publishSequence("3").status, 0);
    EXPECT_EQ(decodeChunkIndex(readBytes(index), CHUNKED_BLOB_MIN), chunkBytes(bytes(world)));
}

TEST_F(PublishFixture, AFileChangingDuringThePublicationNeverReachesTheChannelUnderAWrongName) {
    // A build still writing its output while the maker publishes: one byte flips back and forth.
    const fs::path world = payload() / "assets" / "world.pak";
    writeFile(world, test::randomBytes(16'000'000, 5));
    std::jthread writer([&world](std::stop_token stop) {
        std::fstream file(world, std::ios::binary | std::ios::in | std::ios::out);
        for (char flip = 0; !stop.stop_requested(); flip ^= 1) {
            file.seekp(8'000'000);
            file.put(flip);
            file.flush();
        }
    });
    for (int run = 1; run <= 5; ++run) {
        const test::ProcessResult result = publishSequence(std::to_string(run));
        if (result.status != 0) {
            EXPECT_NE(result.err.find("Fichier modifié pendant la publication : assets/world.pak"),
                      std::string::npos)
                << result.err;
        }
        if (!fs::exists(channel() / "current.json"))
            continue;
        for (const VerifiedEntry& entry : verified("client").manifest.files) {
            const fs::path blob = channel() / "blobs" / entry.sha256;
            EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(blob)), entry.size) << "run " << run;
            EXPECT_EQ(hash(blob), entry.sha256) << "run " << run;
        }
    }
}

TEST_F(PublishFixture, AFailedPublicationLeavesTheCurrentReleaseInPlace) {
    writeFile(payload() / "app" / "game.jar", "game");
    ASSERT_EQ(publishSequence("1").status, 0);
    const Bytes current = readBytes(channel() / "current.json");

    {  // another publication into the same channel is under way
        const std::optional<common::FileLock> other =
            common::FileLock::tryExclusive(channel() / "publish.lock");
        ASSERT_TRUE(other);
        writeFile(payload() / "app" / "game.jar", "game 2");
        const test::ProcessResult meanwhile = publishSequence("2");
        EXPECT_NE(meanwhile.status, 0);
        EXPECT_EQ(meanwhile.err, "Publication déjà en cours : " + channel().string() + "\n");
        EXPECT_EQ(readBytes(channel() / "current.json"), current);
    }

    writeFile(payload() / "app" / "new.jar", "new");
    EXPECT_NE(publishSequence("two").status, 0);
    writeFile(payload() / "mods" / "x.jar", "x");
    EXPECT_NE(publishSequence("2").status, 0);

    EXPECT_EQ(readBytes(channel() / "current.json"), current);
    EXPECT_EQ(listFiles(channel() / "history").size(), 1u);
}

}  // namespace
}  // namespace orlex::update
