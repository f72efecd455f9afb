#include "fuzz/fuzz_support.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/failure.h"
#include "update/digest.h"
#include "update/json_codec.h"
#include "update/platform.h"

namespace orlex::fuzz {
namespace {

// PKCS#8 PrivateKeyInfo and SubjectPublicKeyInfo prefixes of an Ed25519 key; the raw 32 bytes follow.
constexpr std::array<std::uint8_t, 16> PRIVATE_PREFIX = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                                         0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
constexpr std::array<std::uint8_t, 12> PUBLIC_PREFIX = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                                        0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};

update::KeyPair makeKeyPair() {
    std::array<std::uint8_t, 32> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i)
        seed[i] = static_cast<std::uint8_t>(0x5a ^ (i * 7));
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
    std::array<std::uint8_t, 32> raw{};
    std::size_t rawSize = raw.size();
    if (!key || EVP_PKEY_get_raw_public_key(key, raw.data(), &rawSize) != 1 || rawSize != raw.size())
        broken("fixed key unavailable");
    EVP_PKEY_free(key);
    update::KeyPair pair;
    pair.privateDer.assign(PRIVATE_PREFIX.begin(), PRIVATE_PREFIX.end());
    pair.privateDer.insert(pair.privateDer.end(), seed.begin(), seed.end());
    pair.publicDer.assign(PUBLIC_PREFIX.begin(), PUBLIC_PREFIX.end());
    pair.publicDer.insert(pair.publicDer.end(), raw.begin(), raw.end());
    return pair;
}

void removeScratch() {
    std::error_code error;
    std::filesystem::remove_all(scratchDirectory(), error);
}

}  // namespace

const update::KeyPair& fixedKeyPair() {
    static const update::KeyPair pair = makeKeyPair();
    return pair;
}

const update::Ed25519Key& fixedPrivateKey() {
    static const update::Ed25519Key key = update::privateKey(fixedKeyPair().privateDer);
    return key;
}

const update::Ed25519Key& fixedPublicKey() {
    static const update::Ed25519Key key = update::publicKey(fixedKeyPair().publicDer);
    return key;
}

std::string intactManifestText() {
    const std::string digest = update::hash(
        std::span(reinterpret_cast<const std::uint8_t*>(INTACT_CONTENT.data()), INTACT_CONTENT.size()));
    update::Manifest m;
    m.schema = 1;
    m.minLauncher = 1;
    m.sequence = 2;
    m.expires = NOW + 86'400;
    m.version = "1.0.0";
    m.platform = update::platform();
    m.product = PRODUCT;
    m.files = std::vector<update::Entry>{
        {"app/game.jar", digest, "blobs/" + digest, static_cast<std::int64_t>(INTACT_CONTENT.size()), false}};
    return update::JSON.write(m);
}

const std::filesystem::path& scratchDirectory() {
    // Never destroyed: removeScratch, registered while this is being made, runs at exit after the
    // destructor of a static path made here would have run, and would read a freed path.
    static const std::filesystem::path* const dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "orlex-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            broken("no scratch directory");
        const auto* made = new std::filesystem::path(pattern);
        std::atexit(removeScratch);
        return made;
    }();
    return *dir;
}

void broken(std::string_view what) {
    std::fprintf(stderr, "contract broken: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

}  // namespace orlex::fuzz
