// Attacks on the release side. Each one is refused, and the installation it aimed at stays exactly as
// it was: every file under the engine root, its path, kind and bytes.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <functional>
#include <map>

#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_channel.h"
#include "update/json_codec.h"
#include "update/patcher.h"
#include "update/publish.h"
#include "update/signature.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::IoFailure;
using common::SecurityFailure;
using test::failureChain;
using test::failureMessage;
using test::Fault;
using test::readFile;
using test::TestChannel;
using test::writeFile;

const TestChannel::Files GAME = {
    {"app/game.jar", test::randomBytes(200'000, 1)},
    {"assets/intro.bin", test::randomBytes(30'000, 2)},
    {"+x runtime/bin/java", "#!/bin/sh\necho runtime\n"},
};

// Every node under the root (directory, regular file, link or special file), by relative path: its kind
// and its bytes, or a link's target.
using Snapshot = std::map<std::string, std::pair<fs::file_type, std::string>>;

Snapshot snapshot(const fs::path& root) {
    Snapshot files;
    for (const auto& node : fs::recursive_directory_iterator(root)) {
        const fs::file_type kind = node.symlink_status().type();
        const std::string content = kind == fs::file_type::regular   ? readFile(node.path())
                                    : kind == fs::file_type::symlink ? fs::read_symlink(node.path()).string()
                                                                     : std::string();
        files[node.path().lexically_relative(root).generic_string()] = {kind, content};
    }
    return files;
}

// The paths that appeared, disappeared, or changed kind or bytes.
std::vector<std::string> changes(const Snapshot& before, const Snapshot& after) {
    std::vector<std::string> paths;
    for (const auto& [path, node] : before) {
        if (!after.contains(path) || after.at(path) != node)
            paths.push_back(path);
    }
    for (const auto& [path, node] : after) {
        if (!before.contains(path))
            paths.push_back(path);
    }
    return paths;
}

// The channel's current manifest, changed by edit and signed again with the channel's own key: what an
// attacker holding the key, or the publisher by mistake, could serve.
void resign(const TestChannel& channel, const std::function<void(Manifest&)>& edit) {
    const fs::path current = channel.channelDir() / "current.json";
    const Bytes original = common::base64Decode(*JSON.readEnvelope(readFile(current)).manifest);
    Manifest manifest = JSON.readManifest(std::string(original.begin(), original.end()));
    edit(manifest);
    const std::string text = JSON.write(manifest);
    const Bytes bytes(text.begin(), text.end());
    const Bytes signature = sign(privateKey(test::readBytes(channel.privateKeyFile())), bytes);
    writeFile(current, JSON.write(Envelope{common::base64Encode(bytes), common::base64Encode(signature)}));
}

// Rewrites ca's files as one self-signed authority certified for host alone: the certificate a server
// built on them presents, and the only one an engine trusting ca.caPem() trusts.
void certifyOnly(const std::string& host, const test::TestCa& ca) {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key.get());
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair<int, std::string>{NID_basic_constraints, "critical,CA:TRUE"},
                                     {NID_subject_alt_name, "DNS:" + host}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
        ASSERT_NE(extension, nullptr);
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    ASSERT_GT(X509_sign(cert, key.get(), EVP_sha256()), 0);
    for (const fs::path& file : {ca.caPem(), ca.serverCertificate(), ca.serverKey()}) {
        const std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(file.c_str(), "w"), BIO_free);
        ASSERT_TRUE(out);
        ASSERT_EQ(file == ca.serverKey()
                      ? PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)
                      : PEM_write_bio_X509(out.get(), cert),
                  1);
    }
}

class ReleaseAttack : public ::testing::Test {
protected:
    TestChannel channel;
    test::TempDir root;
    std::unique_ptr<Patcher> engine;
    Snapshot before;

    void SetUp() override {
        channel.publish(GAME, 1);
        engine = channel.engine(root.path());
        engine->install(engine->plan(engine->remote()));
        before = snapshot(root.path());
    }

    // Fetches, plans and installs the channel's current release, as the launcher does.
    void update() { engine->install(engine->plan(engine->remote())); }

    void TearDown() override {
        EXPECT_EQ(changes(before, snapshot(root.path())), std::vector<std::string>{});
    }
};

TEST_F(ReleaseAttack, ATamperedManifestIsRefusedByItsSignature) {
    channel.publish({{"app/game.jar", "new"}}, 2);
    const fs::path current = channel.channelDir() / "current.json";
    const Envelope envelope = JSON.readEnvelope(readFile(current));
    const Bytes original = common::base64Decode(*envelope.manifest);
    std::string manifest(original.begin(), original.end());
    const std::size_t version = manifest.find("\"1.0.2\"");
    ASSERT_NE(version, std::string::npos);
    manifest[version + 5] = '9';  // "1.0.9", under the signature of "1.0.2"
    writeFile(current, JSON.write(Envelope{common::base64Encode(Bytes(manifest.begin(), manifest.end())),
                                           envelope.signature}));

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "Signature invalide");
}

TEST_F(ReleaseAttack, ATamperedBlobIsRefusedByItsDigest) {
    const std::string jar = test::randomBytes(200'000, 7);
    channel.publish({{"app/game.jar", jar}}, 2);
    channel.server().inject(TestChannel::blobPath(jar), Fault::wrongContent(), -1);

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "SHA-256 incorrect : app/game.jar");
}

TEST_F(ReleaseAttack, ABlobOfAnotherReleaseOfTheSameSizeIsRefused) {
    const std::string jar = test::randomBytes(200'000, 7);
    channel.publish({{"app/game.jar", jar}}, 2);
    fs::copy_file(channel.channelDir() / TestChannel::blobPath(GAME.at("app/game.jar")).substr(1),
                  channel.channelDir() / TestChannel::blobPath(jar).substr(1),
                  fs::copy_options::overwrite_existing);

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "SHA-256 incorrect : app/game.jar");
}

TEST_F(ReleaseAttack, ALowerSequenceAfterAHigherOneIsARollback) {
    channel.publish({{"app/game.jar", "five"}}, 5);
    update();
    before = snapshot(root.path());

    channel.publish({{"app/game.jar", "four"}}, 4);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), ROLLBACK_REFUSED);
}

TEST_F(ReleaseAttack, AnExpiredManifestIsAFreezeAndRefused) {
    channel.publish({{"app/game.jar", "new"}}, 2);
    PatcherSettings later = channel.engineSettings();
    later.now = [] { return ManifestVerifier::systemSeconds() + 10 * 365 * 24 * 3600; };
    engine = std::make_unique<Patcher>(channel.baseUrl(), channel.publicKey(), root.path(), "client", later);

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "Manifeste expiré");
}

TEST_F(ReleaseAttack, AReleaseOfAnotherProductIsRefused) {
    channel.publish({{"app/launcher.jar", "launcher"}}, 2, "launcher");

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "Manifeste incompatible");
}

TEST_F(ReleaseAttack, AReleaseForAnotherPlatformIsRefused) {
    channel.publish({{"app/game.jar", "new"}}, 2);
    resign(channel, [](Manifest& manifest) { manifest.platform = "plan9-mips"; });

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "Manifeste incompatible");
}

TEST_F(ReleaseAttack, AnEndlessEnvelopeIsCutAtItsCap) {
    writeFile(channel.channelDir() / "current.json", std::string(64'000'000, ' '));

    const std::vector<std::string> chain = failureChain<IoFailure>([&] { update(); });
    EXPECT_EQ(chain, (std::vector<std::string>{"Transport interrompu", "Réponse trop grande"}));
}

TEST_F(ReleaseAttack, AnEnvelopeNestedDeeperThanAnyRealOneFailsWithoutExhaustingTheStack) {
    for (const std::string& nested :
         {std::string(1'000'000, '['), "{\"manifest\":" + std::string(500'000, '[') + "}",
          "{\"manifest\":\"\",\"x\":" + std::string(300'000, '[') + std::string(300'000, ']') + "}"}) {
        writeFile(channel.channelDir() / "current.json", nested);
        EXPECT_THROW(update(), common::FormatFailure);  // an ordinary failure, like any malformed envelope
    }
}

TEST_F(ReleaseAttack, AnEndlessBlobIsCutAtItsAnnouncedSize) {
    const std::string jar = test::randomBytes(10'000, 7);
    channel.publish({{"app/game.jar", jar}}, 2);
    writeFile(channel.channelDir() / TestChannel::blobPath(jar).substr(1),
              jar + std::string(64'000'000, 'x'));

    const std::vector<std::string> chain = failureChain<IoFailure>([&] { update(); });
    EXPECT_EQ(chain, (std::vector<std::string>{"Téléchargement interrompu ; réessayez pour reprendre",
                                               "Transport interrompu", "Réponse trop grande"}));
}

TEST_F(ReleaseAttack, AnEntryClimbingOutOfTheRootIsRefused) {
    channel.publish({{"app/game.jar", "new"}}, 2);
    resign(channel, [](Manifest& manifest) { manifest.files->front().path = "app/../../escaped.jar"; });

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "Chemin dangereux");
    EXPECT_FALSE(fs::exists(root.path().parent_path() / "escaped.jar"));
}

TEST_F(ReleaseAttack, AnEntryWithAReservedNameIsRefusedByThePublisherAndTheEngine) {
    const test::TempDir payload;
    writeFile(payload / "app/CON", "device");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { validatedFiles(payload.path()); }),
              "Chemin de publication refusé : app/CON");

    channel.publish({{"app/game.jar", "new"}}, 2);
    resign(channel, [](Manifest& manifest) { manifest.files->front().path = "app/CON"; });

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), "Nom réservé");
}

TEST_F(ReleaseAttack, AChannelThatRedirectsIsNotFollowed) {
    channel.publish({{"app/game.jar", "new"}}, 2);
    channel.server().inject("/current.json", Fault::redirect(), -1);

    EXPECT_EQ(failureMessage<IoFailure>([&] { update(); }), "Manifeste indisponible ou trop grand : 302");
    for (const auto& request : channel.server().requests())
        EXPECT_FALSE(request.path.starts_with("/moved")) << request.path;
}

TEST_F(ReleaseAttack, AChannelCertifiedForAnotherHostIsRefused) {
    channel.publish({{"app/game.jar", "new"}}, 2);
    const test::TempDir dir;
    const test::TestCa elsewhere(dir.path());
    ASSERT_NO_FATAL_FAILURE(certifyOnly("elsewhere.example", elsewhere));
    test::HttpsServer impostor(channel.channelDir(), elsewhere);
    PatcherSettings settings = channel.engineSettings();
    settings.transport.trust = {elsewhere.caPem(), std::nullopt};
    engine =
        std::make_unique<Patcher>(impostor.baseUrl(), channel.publicKey(), root.path(), "client", settings);

    const std::vector<std::string> chain = failureChain<IoFailure>([&] { update(); });
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain.front(), "Transport interrompu");
    EXPECT_NE(chain.back().find("no alternative certificate subject name matches"), std::string::npos)
        << chain.back();
    EXPECT_TRUE(impostor.requests().empty());
}

TEST_F(ReleaseAttack, AFilePlantedInTheReleaseIsReportedAndDroppedByARepair) {
    const fs::path active = root / "releases" / readFile(root / "current");
    const Snapshot signedFiles = snapshot(active);
    writeFile(active / "app/mods/cheat.dll", "x");
    before = snapshot(root.path());

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->verifiedRelease(); }),
              "Fichier non signé dans l’installation : cheat.dll");
    // Every signed file is intact, so the repair fetches nothing; planning alone changes nothing.
    const Plan repair = engine->plan(engine->remote());
    EXPECT_EQ(repair.files, 0);
    EXPECT_EQ(repair.bytes, 0);
    EXPECT_EQ(changes(before, snapshot(root.path())), std::vector<std::string>{});

    engine->install(repair);
    const fs::path repaired = engine->verifiedRelease();
    EXPECT_NE(repaired, active);
    EXPECT_EQ(snapshot(repaired), signedFiles);
    (void)engine->plan(
        engine->remote());  // the former release, kept as a fallback, goes at the next planning
    EXPECT_FALSE(fs::exists(active));
    before = snapshot(root.path());
}

TEST_F(ReleaseAttack, ALinkInTheReleaseLeadingOutOfTheRootIsRefusedAndNeverWrittenThrough) {
    const fs::path active = root / "releases" / readFile(root / "current");
    const test::TempDir outside;
    writeFile(outside / "victim.jar", "owned by the test, not the game");
    const fs::path file = active / "app/game.jar";
    fs::remove(file);
    fs::create_symlink(fs::relative(outside / "victim.jar", file.parent_path()), file);
    before = snapshot(root.path());

    const std::string refused = "Lien symbolique interdit : " + file.string();
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->verifiedRelease(); }), refused);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), refused);
    EXPECT_EQ(readFile(outside / "victim.jar"), "owned by the test, not the game");
}

TEST_F(ReleaseAttack, APipeInPlaceOfAFileIsRefusedWithoutWaitingOnIt) {
    const fs::path file = root / "releases" / readFile(root / "current") / "app/game.jar";
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);  // opening it to read would wait for a writer forever
    before = snapshot(root.path());

    const std::string refused = "Point de réanalyse ou fichier spécial interdit : " + file.string();
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->verifiedRelease(); }), refused);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }), refused);
}

TEST_F(ReleaseAttack, AStagingDirectoryLinkedOutOfTheRootIsRefused) {
    channel.publish({{"app/game.jar", "new"}}, 2);
    const test::TempDir outside;
    writeFile(outside / "precious.txt", "keep me");
    const Snapshot outsideBefore = snapshot(outside.path());
    fs::remove_all(root / "staging");
    fs::create_directory_symlink(outside.path(), root / "staging");
    before = snapshot(root.path());

    EXPECT_EQ(failureMessage<SecurityFailure>([&] { update(); }),
              "Lien symbolique interdit : " + (root / "staging").string());
    EXPECT_EQ(snapshot(outside.path()), outsideBefore);
}

TEST_F(ReleaseAttack, ABlobDrippedOneByteAtATimeFailsAtTheExchangeLimitAndResumesNextTime) {
    const std::string changed = test::randomBytes(40'000, 7);
    TestChannel::Files next = GAME;
    next["app/game.jar"] = changed;
    channel.publish(next, 2);
    PatcherSettings settings = channel.engineSettings();
    settings.transport.downloadTimeout = std::chrono::seconds(1);
    engine =
        std::make_unique<Patcher>(channel.baseUrl(), channel.publicKey(), root.path(), "client", settings);
    const std::string blob = TestChannel::blobPath(changed);
    channel.server().inject(blob, Fault::dripEvery(std::chrono::milliseconds(100)), 4);  // every attempt

    EXPECT_EQ(failureChain<IoFailure>([&] { update(); }).front(),
              "Téléchargement interrompu ; réessayez pour reprendre");
    const std::size_t attempts = channel.server().rangesFor(blob).size();
    EXPECT_EQ(attempts, 4u);
    for (const std::string& path : changes(before, snapshot(root.path())))
        EXPECT_TRUE(path.starts_with("staging/")) << path << ": only what is being fetched may change";

    update();  // the server is prompt again: what dripped in is kept
    const std::vector<std::string> ranges = channel.server().rangesFor(blob);
    ASSERT_EQ(ranges.size(), attempts + 1);
    EXPECT_TRUE(ranges.back().starts_with("bytes=") && ranges.back() != "bytes=0-") << ranges.back();
    EXPECT_EQ(readFile(root / "releases" / readFile(root / "current") / "app/game.jar"), changed);
    before = snapshot(root.path());
}

}  // namespace
}  // namespace orlex::update
