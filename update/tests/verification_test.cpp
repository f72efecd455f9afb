#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/base64.h"
#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "update/digest.h"
#include "update/json_codec.h"
#include "update/platform.h"
#include "update/signature.h"
#include "update/verification.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::FormatFailure;
using common::SecurityFailure;
using test::failureMessage;
using test::TempDir;

constexpr std::int64_t NOW = 1'750'000'000;
constexpr std::int64_t MAX_SIZE = 2'000'000'000;

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string digestOf(std::string_view content) {
    return hash(bytesOf(content));
}

Entry entry(std::string path, std::int64_t size = 10, bool executable = false) {
    const std::string digest = digestOf(path);
    return Entry{std::move(path), digest, "blobs/" + digest, size, executable};
}

// A manifest that every rule accepts for product "client" on this host at NOW.
Manifest validManifest() {
    Manifest m;
    m.schema = 1;
    m.minLauncher = 1;
    m.restartRequired = true;
    m.sequence = 3;
    m.expires = NOW + 2'592'000;
    m.version = "1.4.0";
    m.platform = platform();
    m.product = "client";
    m.files = std::vector<Entry>{entry("app/game.jar", 1200), entry("assets/logo.png", 0),
                                 entry("runtime/bin/java", 77, true)};
    return m;
}

// The document form of what verification returned, to compare with or to sign again.
Manifest document(const VerifiedManifest& v) {
    Manifest m{v.schema,  v.minLauncher, v.restartRequired, v.sequence,          v.expires,
               v.version, v.platform,    v.product,         std::vector<Entry>{}};
    for (const VerifiedEntry& e : v.files)
        m.files->push_back(Entry{e.path, e.sha256, e.url, e.size, e.executable});
    return m;
}

Manifest with(std::function<void(Manifest&)> change) {
    Manifest m = validManifest();
    change(m);
    return m;
}

// Removes one scalar member (and its comma) from a written manifest.
std::string withoutMember(std::string json, std::string_view member) {
    const std::size_t start = json.find("\"" + std::string(member) + "\":");
    EXPECT_NE(start, std::string::npos) << member;
    json.erase(start, json.find(',', start) + 1 - start);
    return json;
}

// Signs manifests with its own key pair and verifies them as the engine of product "client" does,
// under an empty root and with a clock that stands at `now`.
class Verification : public ::testing::Test {
protected:
    Bytes signBytes(const Bytes& bytes) const { return sign(privateKey(keys_.privateDer), bytes); }

    Signed verifyText(std::string_view text, bool fresh = true) const {
        const Bytes bytes = bytesOf(text);
        return verifier_.verify(bytes, signBytes(bytes), fresh);
    }
    Signed verify(const Manifest& m, bool fresh = true) const { return verifyText(JSON.write(m), fresh); }

    std::string refusalOfText(std::string_view text, bool fresh = true) const {
        return failureMessage<SecurityFailure>([&] { verifyText(text, fresh); });
    }
    std::string refusal(const Manifest& m, bool fresh = true) const {
        return refusalOfText(JSON.write(m), fresh);
    }

    std::string envelopeOf(const Bytes& bytes, const Bytes& signature) const {
        return JSON.write(Envelope{common::base64Encode(bytes), common::base64Encode(signature)});
    }

    KeyPair keys_ = generateKeyPair();
    TempDir root_;
    std::int64_t now_ = NOW;
    ManifestVerifier verifier_{publicKey(keys_.publicDer), "client", root_.path(), [this] { return now_; }};
};

TEST_F(Verification, ReturnsTheParsedManifestWithTheExactSignedBytes) {
    const std::string text = JSON.write(validManifest());
    const Bytes bytes = bytesOf(text);
    const Bytes signature = signBytes(bytes);

    const Signed result = verifier_.verify(bytes, signature, true);

    EXPECT_EQ(document(result.manifest), validManifest());
    EXPECT_EQ(result.bytes, bytes);
    EXPECT_EQ(result.signature, signature);
    EXPECT_EQ(result.id, hash(bytes));
    EXPECT_EQ(result.id.size(), 64u);
}

TEST_F(Verification, KeepsBytesItDidNotWriteItselfAndIdentifiesThemByTheirHash) {
    const std::string text = R"({ "note": "made by hand", "schema": 1, "minLauncher": 0, "sequence": 9,
        "expires": 1750000000, "version": "v\u002d2", "platform": ")" +
                             platform() + R"(", "product": "client",
        "files": [ { "path": "app/a", "sha256": ")" +
                             digestOf("a") + R"(", "url": "blobs\/)" + digestOf("a") + R"(", "size": 1 } ] }
)";
    const Signed result = verifyText(text);
    EXPECT_EQ(result.bytes, bytesOf(text));
    EXPECT_EQ(result.id, hash(bytesOf(text)));
    EXPECT_EQ(result.manifest.version, "v-2");
    EXPECT_NE(result.id, verify(document(result.manifest)).id);
}

TEST_F(Verification, HasNoSideEffectsOnTheRoot) {
    verify(validManifest());
    refusal(with([](Manifest& m) { m.files->push_back(entry("docs/readme.txt")); }));
    EXPECT_TRUE(fs::is_empty(root_.path()));
}

TEST_F(Verification, AnyChangedByteFailsTheSignatureBeforeAnythingElse) {
    const Bytes bytes = bytesOf(JSON.write(validManifest()));
    const Bytes signature = signBytes(bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        for (const std::uint8_t mask : {0x01, 0x80}) {
            Bytes changed = bytes;
            changed[i] ^= mask;  // some of these also break the JSON, the UTF-8 or a rule
            SCOPED_TRACE(testing::Message() << "byte " << i << " mask " << int(mask));
            EXPECT_EQ(failureMessage<SecurityFailure>([&] { verifier_.verify(changed, signature, true); }),
                      "Signature invalide");
        }
    }
}

TEST_F(Verification, RefusesSignaturesThatAreNotOfTheseBytesByThisKey) {
    const Bytes bytes = bytesOf(JSON.write(validManifest()));
    const Bytes signature = signBytes(bytes);
    const Bytes foreign = sign(privateKey(generateKeyPair().privateDer), bytes);
    Bytes truncated = bytes;
    truncated.pop_back();
    Bytes extended = bytes;
    extended.push_back(' ');
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {bytes, foreign},
        {bytes, Bytes(signature.begin(), signature.end() - 1)},
        {bytes, Bytes{}},
        {truncated, signature},
        {extended, signature},
        {bytesOf("null"), signature},
        {bytesOf("\xff"), signature},
        {Bytes{}, signature},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(failureMessage<SecurityFailure>(
                      [&] { verifier_.verify(cases[i].first, cases[i].second, false); }),
                  "Signature invalide");
    }
}

TEST_F(Verification, SignedBytesThatAreNotAManifestAreAnOrdinaryFailure) {
    const std::string documents[] = {
        "",
        "null",
        "[]",
        "\"text\"",
        "{",
        "{\"schema\":\"1\"}",
        "{\"files\":{}}",
        "{\"version\":\"\xc3\x28\"}",
        "{\"version\":\"\xed\xa0\x80\"}",
        "{\"version\":\"\xc0\xaf\"}",
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_THROW(verifyText(document), FormatFailure);
    }
}

TEST_F(Verification, RefusesIncompatibleManifests) {
    const std::vector<std::function<void(Manifest&)>> changes = {
        [](Manifest& m) { m.schema = 2; },
        [](Manifest& m) { m.schema = 0; },
        [](Manifest& m) { m.minLauncher = 2; },
        [](Manifest& m) { m.sequence = 0; },
        [](Manifest& m) { m.sequence = -1; },
        [](Manifest& m) { m.product = "launcher"; },
        [](Manifest& m) { m.product = "Client"; },
        [](Manifest& m) { m.product.reset(); },
        [](Manifest& m) { m.platform = platform() == "windows-x64" ? "linux-x64" : "windows-x64"; },
        [](Manifest& m) { m.platform = "LINUX-X64"; },
        [](Manifest& m) { m.platform.reset(); },
        // compatibility is decided before expiry and before the version and file rules
        [](Manifest& m) {
            m.schema = 2;
            m.expires = 0;
            m.version.reset();
            m.files.reset();
        },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(refusal(with(changes[i])), "Manifeste incompatible");
        EXPECT_EQ(refusal(with(changes[i]), false), "Manifeste incompatible");
    }
}

TEST_F(Verification, AcceptsAnyReaderLevelUpToThisOneAndAnyPositiveSequence) {
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.minLauncher = 0; })));
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.minLauncher = -1; })));
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.sequence = 1; })));
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.sequence = 9'223'372'036'854'775'807; })));
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.restartRequired = false; })));
}

TEST_F(Verification, RefusesAFreshManifestPastItsExpiryToTheSecond) {
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.expires = NOW; })));
    EXPECT_EQ(refusal(with([](Manifest& m) { m.expires = NOW - 1; })), "Manifeste expiré");
    now_ = NOW + 1;
    EXPECT_EQ(refusal(with([](Manifest& m) { m.expires = NOW; })), "Manifeste expiré");
    // expiry comes before the version and file rules
    EXPECT_EQ(refusal(with([](Manifest& m) {
                  m.expires = NOW - 1;
                  m.version = "";
              })),
              "Manifeste expiré");
}

TEST_F(Verification, NeverRefusesAManifestReadBackFromTheInstallationForAge) {
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.expires = NOW - 1; }), false));
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.expires = 0; }), false));
}

TEST_F(Verification, TreatsAMissingExpiryAsExpiredWhenFresh) {
    const std::string missing = withoutMember(JSON.write(validManifest()), "expires");
    ASSERT_EQ(missing.find("expires"), std::string::npos);
    EXPECT_EQ(refusalOfText(missing), "Manifeste expiré");
    EXPECT_NO_THROW(verifyText(missing, false));

    std::string null = JSON.write(validManifest());
    null.replace(null.find(std::to_string(NOW + 2'592'000)), 10, "null");
    EXPECT_EQ(refusalOfText(null), "Manifeste expiré");
}

TEST_F(Verification, RequiresAVersionOfOneToEightyPermittedCharacters) {
    const std::string eighty = "Az09._-" + std::string(73, 'v');
    ASSERT_EQ(eighty.size(), 80u);
    EXPECT_NO_THROW(verify(with([&](Manifest& m) { m.version = eighty; })));
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.version = "x"; })));

    const std::vector<std::optional<std::string>> refused = {
        eighty + "v", "", std::nullopt, "1.0 beta", "1.0/2", "1.0+build", "é", "1.0\n", std::string("1\0", 2),
    };
    for (const auto& version : refused) {
        SCOPED_TRACE(version.value_or("(absent)"));
        EXPECT_EQ(refusal(with([&](Manifest& m) { m.version = version; })), "Manifeste invalide");
    }
}

TEST_F(Verification, RequiresOneToTenThousandFiles) {
    const std::string digest = digestOf("shared content");
    std::vector<Entry> many;
    for (int i = 0; i < 10'000; ++i)
        many.push_back(Entry{"app/f" + std::to_string(i), digest, "blobs/" + digest, 1, false});
    EXPECT_EQ(verify(with([&](Manifest& m) { m.files = many; })).manifest.files.size(), 10'000u);

    many.push_back(Entry{"app/one-more", digest, "blobs/" + digest, 1, false});
    EXPECT_EQ(refusal(with([&](Manifest& m) { m.files = many; })), "Manifeste invalide");
    EXPECT_EQ(refusal(with([](Manifest& m) { m.files = std::vector<Entry>{}; })), "Manifeste invalide");
    EXPECT_EQ(refusal(with([](Manifest& m) { m.files.reset(); })), "Manifeste invalide");
    EXPECT_NO_THROW(verify(with([](Manifest& m) { m.files = std::vector<Entry>{entry("app/only")}; })));
}

TEST_F(Verification, RefusesEntriesWithADuplicatePathABadDigestOrABadSize) {
    const std::string digest = digestOf("x");
    auto withSha = [](Entry e, std::string sha) {
        e.url = "blobs/" + sha;
        e.sha256 = std::move(sha);
        return e;
    };
    auto upper = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    Entry noDigest = entry("app/x");
    noDigest.sha256.reset();
    const std::vector<std::vector<Entry>> cases = {
        {entry("app/Game.jar"), entry("app/game.jar")},
        {entry("app/game.jar"), entry("assets/x"), entry("app/game.jar")},
        {entry("runtime/LIB/A.so"), entry("runtime/lib/a.so")},
        {withSha(entry("app/x"), upper(digest))},
        {withSha(entry("app/x"), digest.substr(1))},
        {withSha(entry("app/x"), digest + "0")},
        {withSha(entry("app/x"), "g" + digest.substr(1))},
        {withSha(entry("app/x"), "")},
        {noDigest},
        {entry("app/x", MAX_SIZE + 1)},
        {entry("app/x", -1)},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(refusal(with([&](Manifest& m) { m.files = cases[i]; })), "Entrée invalide");
    }
    EXPECT_NO_THROW(verify(with([](Manifest& m) {
        m.files = std::vector<Entry>{entry("app/big", MAX_SIZE), entry("app/empty", 0)};
    })));
}

TEST_F(Verification, RefusesAnyUrlButTheBlobOfTheDigest) {
    const std::string digest = entry("app/x").sha256.value();
    const std::vector<std::optional<std::string>> urls = {
        "https://cdn.example.com/blobs/" + digest,
        "Blobs/" + digest,
        "BLOBS/" + digest,
        "blobs/" + digest + "/x",
        "blobs/x/" + digest,
        "/blobs/" + digest,
        "./blobs/" + digest,
        "blobs//" + digest,
        "blobs/" + digestOf("other"),
        "blobs/" + digest + "?x=1",
        digest,
        "",
        std::nullopt,
    };
    for (const auto& url : urls) {
        SCOPED_TRACE(url.value_or("(absent)"));
        Entry e = entry("app/x");
        e.url = url;
        EXPECT_EQ(refusal(with([&](Manifest& m) { m.files = std::vector<Entry>{e}; })), "URL non autorisée");
    }
}

TEST_F(Verification, LimitsTheTotalSizeOfTheRelease) {
    std::vector<Entry> full = {entry("app/a", MAX_SIZE), entry("app/b", MAX_SIZE),
                               entry("assets/c", MAX_SIZE), entry("runtime/d", MAX_SIZE)};
    EXPECT_NO_THROW(verify(with([&](Manifest& m) { m.files = full; })));
    full.push_back(entry("app/e", 0));
    EXPECT_NO_THROW(verify(with([&](Manifest& m) { m.files = full; })));
    full.push_back(entry("app/f", 1));
    EXPECT_EQ(refusal(with([&](Manifest& m) { m.files = full; })), "Distribution trop grande");
}

TEST_F(Verification, ChecksEachEntryFullyBeforeTheNext) {
    Entry badUrl = entry("app/url");
    badUrl.url = "blobs/x";
    const std::vector<Entry> large = {entry("app/a", MAX_SIZE), entry("app/b", MAX_SIZE),
                                      entry("app/c", MAX_SIZE), entry("app/d", MAX_SIZE)};
    struct Case {
        std::vector<Entry> tail;
        std::string message;
    };
    const Case cases[] = {
        {{badUrl, entry("docs/x")}, "URL non autorisée"},
        {{entry("docs/x"), badUrl}, "Périmètre non géré"},
        {{entry("app/e", 1), badUrl}, "Distribution trop grande"},
        {{[&] {
             Entry e = entry("app/e", 1);
             e.url = "blobs/x";
             return e;
         }()},
         "URL non autorisée"},
        {{entry("app/e", 1), entry("app/x.")}, "Distribution trop grande"},
        {{entry("app/x."), entry("app/e", 1)}, "Chemin dangereux"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<Entry> files = large;
        files.insert(files.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(refusal(with([&](Manifest& m) { m.files = files; })), c.message);
    }
}

TEST_F(Verification, RefusesPathsOutsideTheManagedDirectoriesAndBadNames) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {"docs/readme.txt", "Périmètre non géré"},
        {"App/game.jar", "Périmètre non géré"},
        {"app", "Périmètre non géré"},
        {"application/x", "Périmètre non géré"},
        {"runtimes/x", "Périmètre non géré"},
        {"manifest.json", "Périmètre non géré"},
        {"app/x.", "Chemin dangereux"},
        {"app//x", "Chemin dangereux"},
        {"/app/x", "Chemin dangereux"},
        {"app/../app/x", "Chemin dangereux"},
        {"app/con.txt", "Nom réservé"},
        {"docs/con.txt", "Nom réservé"},
        {"app\\x", "Chemin invalide"},
        {"app/" + std::string(217, 'a'), "Chemin invalide"},
        {std::nullopt, "Chemin invalide"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path.value_or("(absent)"));
        Entry e = entry(path.value_or("app/x"));
        e.path = path;
        EXPECT_EQ(refusal(with([&](Manifest& m) { m.files->push_back(e); })), message);
    }
}

TEST_F(Verification, RefusesAnEntryThatResolvesThroughALinkInTheRoot) {
    TempDir elsewhere;
    fs::create_directory_symlink(elsewhere.path(), root_ / "app");
    EXPECT_EQ(refusal(validManifest()), "Lien symbolique interdit : " + (root_ / "app").string());
}

TEST_F(Verification, DecodesAndVerifiesTheChannelEnvelopeAsFresh) {
    const Bytes bytes = bytesOf(JSON.write(validManifest()));
    const Bytes signature = signBytes(bytes);
    const std::string envelope = envelopeOf(bytes, signature);
    ASSERT_NE(envelope.find("\\u003d"), std::string::npos);

    const Signed result = verifier_.verifyEnvelope(envelope);
    EXPECT_EQ(result.bytes, bytes);
    EXPECT_EQ(result.signature, signature);
    EXPECT_EQ(result.id, hash(bytes));

    // the fill is optional and unknown members are ignored
    std::string bare = common::base64Encode(signature);
    while (bare.back() == '=')
        bare.pop_back();
    EXPECT_EQ(verifier_
                  .verifyEnvelope(R"({"signature":")" + bare + R"(","manifest":")" +
                                  common::base64Encode(bytes) + R"(","comment":"x"})")
                  .id,
              result.id);

    now_ = validManifest().expires + 1;
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { verifier_.verifyEnvelope(envelope); }),
              "Manifeste expiré");
}

TEST_F(Verification, RefusesAnEnvelopeWhoseSignatureIsNotOfItsManifest) {
    const Bytes bytes = bytesOf(JSON.write(validManifest()));
    const Bytes other = bytesOf(JSON.write(with([](Manifest& m) { m.sequence = 4; })));
    const Bytes signature = signBytes(bytes);
    for (const std::string& envelope :
         {envelopeOf(other, signature),
          envelopeOf(bytes, Bytes(signature.begin(), signature.begin() + 63))}) {
        EXPECT_EQ(failureMessage<SecurityFailure>([&] { verifier_.verifyEnvelope(envelope); }),
                  "Signature invalide");
    }
}

TEST_F(Verification, TreatsAMalformedEnvelopeAsAnOrdinaryFailure) {
    const Bytes bytes = bytesOf(JSON.write(validManifest()));
    const std::string manifest = common::base64Encode(bytes);
    const std::string signature = common::base64Encode(signBytes(bytes));
    auto member = [](std::string_view name, std::string_view value) {
        return "\"" + std::string(name) + "\":\"" + std::string(value) + "\"";
    };
    const std::string envelopes[] = {
        "",
        "null",
        "[]",
        "{",
        "{}",
        "{" + member("manifest", manifest) + "}",
        "{" + member("signature", signature) + "}",
        "{" + member("manifest", manifest) + ",\"signature\":null}",
        "{\"manifest\":1," + member("signature", signature) + "}",
        "{" + member("manifest", "!" + manifest.substr(1)) + "," + member("signature", signature) + "}",
        "{" + member("manifest", "-" + manifest.substr(1)) + "," + member("signature", signature) + "}",
        "{" + member("manifest", manifest.substr(0, 40) + "\\n" + manifest.substr(40)) + "," +
            member("signature", signature) + "}",
        "{" + member("manifest", manifest + "A") + "," + member("signature", signature) + "}",
        "{" + member("manifest", manifest) + "," + member("signature", signature + "=") + "}",
        "{" + member("manifest", manifest) + "," + member("signature", "=" + signature) + "}",
    };
    for (const std::string& envelope : envelopes) {
        SCOPED_TRACE(envelope);
        EXPECT_THROW(verifier_.verifyEnvelope(envelope), FormatFailure);
    }
}

class Sequence : public Verification {
protected:
    Signed release(std::int64_t sequence, std::string version = "1.0") const {
        return verify(with([&](Manifest& m) {
            m.sequence = sequence;
            m.version = version;
        }));
    }
};

TEST_F(Sequence, RefusesALowerSequenceOrAnotherManifestOfTheSameSequence) {
    const Signed installed = release(5);
    for (const Signed& candidate : {release(4), release(1), release(5, "other")}) {
        SCOPED_TRACE(candidate.manifest.sequence);
        EXPECT_EQ(failureMessage<SecurityFailure>([&] { checkSequence(candidate, installed); }),
                  "Rollback non autorisé ; publier une nouvelle séquence signée");
    }
}

TEST_F(Sequence, AcceptsTheSameManifestAHigherSequenceOrAnyFirstInstallation) {
    const Signed installed = release(5);
    EXPECT_NO_THROW(checkSequence(release(5), installed));  // the same bytes again: a repair
    EXPECT_NO_THROW(checkSequence(release(6, "0.1"), installed));
    EXPECT_NO_THROW(checkSequence(release(1), std::nullopt));
}

TEST(SamePayload, IgnoresOrderAndTheMembersOutsideThePayload) {
    const Manifest a = validManifest();
    Manifest b = a;
    std::reverse(b.files->begin(), b.files->end());
    b.schema = 2;
    b.minLauncher = 0;
    b.restartRequired = false;
    b.sequence = 99;
    b.expires = 0;
    b.version = "9.9";
    EXPECT_TRUE(samePayload(a, b));
    EXPECT_TRUE(samePayload(b, a));

    Manifest withoutFiles = a;
    withoutFiles.files.reset();
    Manifest noFiles = a;
    noFiles.files = std::vector<Entry>{};
    EXPECT_TRUE(samePayload(withoutFiles, noFiles));
    EXPECT_TRUE(samePayload(noFiles, withoutFiles));

    Manifest anonymous = a;
    anonymous.product.reset();
    anonymous.platform.reset();
    EXPECT_TRUE(samePayload(anonymous, anonymous));
}

TEST(SamePayload, IsFalseWhenAnyFileOrTheTargetDiffers) {
    const Manifest a = validManifest();
    const std::vector<std::function<void(Manifest&)>> changes = {
        [](Manifest& m) { (*m.files)[2].executable = false; },
        [](Manifest& m) { (*m.files)[0].size += 1; },
        [](Manifest& m) { (*m.files)[1].sha256 = digestOf("changed"); },
        [](Manifest& m) { (*m.files)[0].path = "app/Game.jar"; },
        [](Manifest& m) { m.files->pop_back(); },
        [](Manifest& m) { m.files->push_back(entry("app/extra")); },
        [](Manifest& m) { m.files->push_back((*m.files)[0]); },
        [](Manifest& m) { m.product = "launcher"; },
        [](Manifest& m) { m.product.reset(); },
        [](Manifest& m) { m.platform = "windows-arm64"; },
        [](Manifest& m) { m.platform.reset(); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        Manifest b = a;
        changes[i](b);
        EXPECT_FALSE(samePayload(a, b));
        EXPECT_FALSE(samePayload(b, a));
    }
    EXPECT_FALSE(samePayload(std::nullopt, a));
    EXPECT_FALSE(samePayload(a, std::nullopt));
    EXPECT_FALSE(samePayload(std::nullopt, std::nullopt));
}

TEST(Platform, DerivesOperatingSystemThenArchitecture) {
    struct Case {
        const char* os;
        const char* arch;
        const char* expected;
    };
    const Case cases[] = {
        {"Windows 11", "amd64", "windows-x64"},
        {"Windows Server 2022", "aarch64", "windows-arm64"},
        {"Mac OS X", "aarch64", "macos-arm64"},
        {"Linux", "x86_64", "linux-x64"},
        {"LINUX", "arm64", "linux-arm64"},
        {"linux-mac-windows", "amd64", "windows-x64"},  // the name tests run in a fixed order
        {"Linux Mac", "amd64", "macos-x64"},
        {"FreeBSD", "amd64", "unsupported-x64"},
        {"", "", "unsupported-unsupported"},
        {"Linux", "X86_64", "linux-unsupported"},
        {"Linux", "AARCH64", "linux-unsupported"},
        {"Linux", "i686", "linux-unsupported"},
        {"Linux", "x86_64 ", "linux-unsupported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.os) + " / " + c.arch);
        EXPECT_EQ(platformOf(c.os, c.arch), c.expected);
    }
}

TEST(Platform, NamesThisHost) {
    EXPECT_EQ(platform(), "linux-x64");
}

}  // namespace
}  // namespace orlex::update
