#include "update/digest.h"

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <vector>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/hex.h"

namespace orlex::update {

void Sha256::Free::operator()(EVP_MD_CTX* ctx) const {
    EVP_MD_CTX_free(ctx);
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) {
        throw common::IoFailure("OpenSSL : SHA-256 indisponible");
    }
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
    if (EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1) {
        throw common::IoFailure("OpenSSL : SHA-256 impossible");
    }
}

std::string Sha256::hexDigest() {
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), digest.data(), &length) != 1) {
        throw common::IoFailure("OpenSSL : SHA-256 impossible");
    }
    return common::hexEncode(std::span(digest.data(), length));
}

std::string hash(std::span<const std::uint8_t> bytes) {
    Sha256 sha;
    sha.update(bytes);
    return sha.hexDigest();
}

std::string hash(const std::filesystem::path& file) {
    std::ifstream in(common::streamPath(file), std::ios::binary);
    if (!in)
        throw common::IoFailure("Lecture impossible : " + file.string());
    // Reads of a whole chunk bypass the stream's own buffer and land straight in the digest's input.
    std::vector<char> chunk(HASH_CHUNK);
    Sha256 sha;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto n = static_cast<std::size_t>(in.gcount());
        if (n > 0)
            sha.update(std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), n));
    }
    if (in.bad())
        throw common::IoFailure("Lecture impossible : " + file.string());
    return sha.hexDigest();
}

}  // namespace orlex::update
