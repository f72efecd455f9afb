#pragma once

#include <memory>
#include <span>

#include "update/release.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace orlex::update {

// An Ed25519 key (public or private). Immutable and shareable across threads.
class Ed25519Key {
public:
    explicit Ed25519Key(EVP_PKEY* owned);
    EVP_PKEY* get() const { return key_.get(); }

private:
    std::shared_ptr<EVP_PKEY> key_;
};

struct KeyPair {
    Bytes privateDer;  // PKCS#8 PrivateKeyInfo, 48 bytes
    Bytes publicDer;   // X.509 SubjectPublicKeyInfo, 44 bytes
};

// The release public key from its 44-byte DER SubjectPublicKeyInfo form; anything else fails
// with common::FormatFailure.
Ed25519Key publicKey(std::span<const std::uint8_t> der);
// A signing key from its PKCS#8 DER form; anything but an Ed25519 private key fails with FormatFailure.
Ed25519Key privateKey(std::span<const std::uint8_t> der);

// Pure Ed25519 (no prehash). A signature of another length than 64 bytes does not verify.
bool verifySignature(const Ed25519Key& key, std::span<const std::uint8_t> message,
                     std::span<const std::uint8_t> signature);
Bytes sign(const Ed25519Key& key, std::span<const std::uint8_t> message);

// A fresh key pair from the system's secure random source.
KeyPair generateKeyPair();

}  // namespace orlex::update
