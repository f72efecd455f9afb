#pragma once

#include <filesystem>
#include <memory>
#include <span>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace orlex::update {

// Incremental SHA-256 through OpenSSL's EVP (which uses the processor's SHA instructions).
class Sha256 {
public:
    Sha256();
    void update(std::span<const std::uint8_t> bytes);
    std::string hexDigest();  // 64 lower-case hexadecimal digits; ends the computation

private:
    struct Free {
        void operator()(EVP_MD_CTX* ctx) const;
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

// Size of the chunks in which files are read for hashing.
inline constexpr std::size_t HASH_CHUNK = 65536;

// SHA-256 of bytes as 64 lower-case hexadecimal digits.
std::string hash(std::span<const std::uint8_t> bytes);
// SHA-256 of a file's content, read in HASH_CHUNK chunks; fails with common::IoFailure.
std::string hash(const std::filesystem::path& file);

}  // namespace orlex::update
