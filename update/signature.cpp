#include "update/signature.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "common/failure.h"

namespace orlex::update {
namespace {

using common::FormatFailure;
using common::IoFailure;

constexpr std::size_t PUBLIC_DER_SIZE = 44;
constexpr std::size_t SIGNATURE_SIZE = 64;

struct MdContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

MdContext newContext() {
    MdContext ctx(EVP_MD_CTX_new());
    if (!ctx)
        throw IoFailure("OpenSSL : mémoire insuffisante");
    return ctx;
}

Bytes derOf(EVP_PKEY* key, int (*encode)(const EVP_PKEY*, unsigned char**)) {
    const int length = encode(key, nullptr);
    if (length <= 0)
        throw IoFailure("Encodage de clé impossible");
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (encode(key, &out) != length)
        throw IoFailure("Encodage de clé impossible");
    return der;
}

}  // namespace

Ed25519Key::Ed25519Key(EVP_PKEY* owned) : key_(owned, EVP_PKEY_free) {}

Ed25519Key publicKey(std::span<const std::uint8_t> der) {
    if (der.size() != PUBLIC_DER_SIZE)
        throw FormatFailure("Clé publique Ed25519 invalide");
    const unsigned char* in = der.data();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &in, static_cast<long>(der.size()));
    if (!key)
        throw FormatFailure("Clé publique Ed25519 invalide");
    Ed25519Key result(key);
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519 || in != der.data() + der.size()) {
        throw FormatFailure("Clé publique Ed25519 invalide");
    }
    return result;
}

Ed25519Key privateKey(std::span<const std::uint8_t> der) {
    const unsigned char* in = der.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &in, static_cast<long>(der.size()));
    if (!key)
        throw FormatFailure("Clé privée Ed25519 invalide");
    Ed25519Key result(key);
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519 || in != der.data() + der.size()) {
        throw FormatFailure("Clé privée Ed25519 invalide");
    }
    return result;
}

bool verifySignature(const Ed25519Key& key, std::span<const std::uint8_t> message,
                     std::span<const std::uint8_t> signature) {
    if (signature.size() != SIGNATURE_SIZE)
        return false;
    MdContext ctx = newContext();
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) ==
           1;
}

Bytes sign(const Ed25519Key& key, std::span<const std::uint8_t> message) {
    MdContext ctx = newContext();
    Bytes signature(SIGNATURE_SIZE);
    std::size_t length = signature.size();
    if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1 ||
        length != SIGNATURE_SIZE) {
        throw IoFailure("Signature Ed25519 impossible");
    }
    return signature;
}

KeyPair generateKeyPair() {
    EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!raw)
        throw IoFailure("Génération de clé Ed25519 impossible");
    Ed25519Key key(raw);
    return KeyPair{derOf(key.get(), i2d_PrivateKey), derOf(key.get(), i2d_PUBKEY)};
}

}  // namespace orlex::update
