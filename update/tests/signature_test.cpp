#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/failure.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "update/digest.h"
#include "update/signature.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::FormatFailure;
using common::IoFailure;
using test::readBytes;
using test::runProcess;
using test::TempDir;
using test::writeFile;

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

// Runs the openssl command-line tool and requires it to succeed.
void openssl(const std::vector<std::string>& arguments) {
    const test::ProcessResult result = runProcess("openssl", arguments);
    ASSERT_EQ(result.status, 0) << result.err;
}

// The fixed SubjectPublicKeyInfo prefix of an X25519 key: same length as an Ed25519 key, other algorithm.
Bytes x25519PublicDer() {
    Bytes der = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x6e, 0x03, 0x21, 0x00};
    der.resize(44, 0x09);
    return der;
}

TEST(PublicKey, AcceptsTheDerFormOfAGeneratedKey) {
    const KeyPair pair = generateKeyPair();
    EXPECT_EQ(pair.privateDer.size(), 48u);
    EXPECT_EQ(pair.publicDer.size(), 44u);
    EXPECT_NO_THROW(publicKey(pair.publicDer));
    EXPECT_NO_THROW(privateKey(pair.privateDer));
    EXPECT_NE(generateKeyPair().publicDer, pair.publicDer);
}

TEST(PublicKey, RefusesEverythingButA44ByteEd25519Key) {
    const Bytes good = generateKeyPair().publicDer;
    Bytes shorter(good.begin(), good.end() - 1);
    Bytes longer = good;
    longer.push_back(0);
    Bytes wrongTag = good;
    wrongTag[0] = 0x31;
    Bytes wrongAlgorithm = good;
    wrongAlgorithm[8] = 0x71;  // 1.3.101.113 is Ed448

    const std::vector<Bytes> refused = {
        {},
        shorter,
        longer,
        Bytes(44, 0),
        Bytes(44, 0xff),
        wrongTag,
        wrongAlgorithm,
        x25519PublicDer(),
        generateKeyPair().privateDer,
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_THROW(publicKey(refused[i]), FormatFailure);
    }
}

TEST(PrivateKey, RefusesAPublicKeyAndGarbage) {
    EXPECT_THROW(privateKey(generateKeyPair().publicDer), FormatFailure);
    EXPECT_THROW(privateKey(Bytes(48, 0x30)), FormatFailure);
    EXPECT_THROW(privateKey(Bytes{}), FormatFailure);
}

TEST(Signature, VerifiesOnlyTheExactMessageWithTheMatchingKey) {
    const KeyPair pair = generateKeyPair();
    const Ed25519Key signer = privateKey(pair.privateDer);
    const Ed25519Key verifier = publicKey(pair.publicDer);
    const Bytes message = bytesOf(R"({"schema":1})");

    const Bytes signature = sign(signer, message);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_EQ(sign(signer, message), signature);  // pure Ed25519 is deterministic
    EXPECT_TRUE(verifySignature(verifier, message, signature));
    EXPECT_TRUE(verifySignature(verifier, Bytes{}, sign(signer, Bytes{})));

    EXPECT_FALSE(verifySignature(verifier, bytesOf(R"({"schema":2})"), signature));
    EXPECT_FALSE(verifySignature(publicKey(generateKeyPair().publicDer), message, signature));
    Bytes flipped = signature;
    flipped[63] ^= 1;
    EXPECT_FALSE(verifySignature(verifier, message, flipped));
    EXPECT_FALSE(verifySignature(verifier, message, Bytes(signature.begin(), signature.end() - 1)));
    Bytes longer = signature;
    longer.push_back(0);
    EXPECT_FALSE(verifySignature(verifier, message, longer));
    EXPECT_FALSE(verifySignature(verifier, message, Bytes{}));
    EXPECT_FALSE(verifySignature(verifier, message, Bytes(64, 0)));
}

TEST(SignatureInterop, KeysAndSignaturesOfTheOpensslToolAreAccepted) {
    TempDir dir;
    const std::string pem = (dir / "release.pem").string();
    const std::string privateDer = (dir / "release-private.der").string();
    const std::string publicDer = (dir / "release-public.der").string();
    const std::string manifest = writeFile(dir / "manifest.json", R"({"schema":1,"version":"a\u003d"})");
    const std::string signatureFile = (dir / "manifest.sig").string();
    openssl({"genpkey", "-algorithm", "ed25519", "-out", pem});
    openssl({"pkey", "-in", pem, "-outform", "DER", "-out", privateDer});
    openssl({"pkey", "-in", pem, "-pubout", "-outform", "DER", "-out", publicDer});
    openssl({"pkeyutl", "-sign", "-rawin", "-inkey", pem, "-in", manifest, "-out", signatureFile});
    ASSERT_FALSE(HasFatalFailure());

    ASSERT_EQ(readBytes(publicDer).size(), 44u);
    const Ed25519Key key = publicKey(readBytes(publicDer));
    const Bytes signature = readBytes(signatureFile);
    EXPECT_TRUE(verifySignature(key, readBytes(manifest), signature));
    EXPECT_EQ(sign(privateKey(readBytes(privateDer)), readBytes(manifest)), signature);
}

TEST(SignatureInterop, OurKeysAndSignaturesAreAcceptedByTheOpensslTool) {
    TempDir dir;
    const KeyPair pair = generateKeyPair();
    const Bytes message = bytesOf("release bytes");
    const std::string privateDer =
        writeFile(dir / "private.der", std::string(pair.privateDer.begin(), pair.privateDer.end()));
    const std::string publicDer =
        writeFile(dir / "public.der", std::string(pair.publicDer.begin(), pair.publicDer.end()));
    const std::string manifest = writeFile(dir / "manifest.json", "release bytes");
    const Bytes ours = sign(privateKey(pair.privateDer), message);
    const std::string signatureFile = writeFile(dir / "manifest.sig", std::string(ours.begin(), ours.end()));
    const std::string derivedPublic = (dir / "derived.der").string();
    const std::string theirs = (dir / "theirs.sig").string();

    openssl(
        {"pkey", "-inform", "DER", "-in", privateDer, "-pubout", "-outform", "DER", "-out", derivedPublic});
    openssl({"pkeyutl", "-verify", "-rawin", "-pubin", "-keyform", "DER", "-inkey", publicDer, "-in",
             manifest, "-sigfile", signatureFile});
    openssl({"pkeyutl", "-sign", "-rawin", "-keyform", "DER", "-inkey", privateDer, "-in", manifest, "-out",
             theirs});
    ASSERT_FALSE(HasFatalFailure());

    EXPECT_EQ(readBytes(derivedPublic), pair.publicDer);
    EXPECT_EQ(readBytes(theirs), ours);
}

TEST(Hash, GivesTheKnownDigestsOfBytes) {
    EXPECT_EQ(hash(Bytes{}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hash(bytesOf("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hash(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Hash, GivesTheKnownDigestsOfFiles) {
    TempDir dir;
    writeFile(dir / "empty", "");
    writeFile(dir / "abc", "abc");
    writeFile(dir / "million", std::string(1'000'000, 'a'));
    EXPECT_EQ(hash(dir / "empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hash(dir / "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hash(dir / "million"), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Hash, AgreesBetweenFileAndBytesAroundTheChunkSize) {
    TempDir dir;
    for (const std::size_t size :
         {HASH_CHUNK - 1, HASH_CHUNK, HASH_CHUNK + 1, 2 * HASH_CHUNK, 3 * HASH_CHUNK + 7}) {
        SCOPED_TRACE(size);
        const std::string content = test::randomBytes(size, static_cast<std::uint32_t>(size));
        writeFile(dir / "file", content);
        EXPECT_EQ(hash(dir / "file"), hash(bytesOf(content)));
    }
}

TEST(Hash, FailsOnAFileThatCannotBeRead) {
    TempDir dir;
    fs::create_directory(dir / "folder");
    EXPECT_THROW(hash(dir / "absent"), IoFailure);
    EXPECT_THROW(hash(dir / "folder"), IoFailure);
}

}  // namespace
}  // namespace orlex::update
