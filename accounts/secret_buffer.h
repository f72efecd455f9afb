#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace orlex::accounts {

// Characters of a password or another secret, held outside any std::string so that they can be
// overwritten with zeros as soon as they have been used. wipe() runs again on destruction. Move-only.
class SecretBuffer {
public:
    SecretBuffer() = default;
    explicit SecretBuffer(std::string_view text) : chars_(text.begin(), text.end()) {}
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    SecretBuffer(SecretBuffer&& other) noexcept : chars_(std::move(other.chars_)) { other.chars_.clear(); }
    SecretBuffer& operator=(SecretBuffer&& other) noexcept {
        if (this != &other) {
            wipe();
            chars_ = std::move(other.chars_);
            other.chars_.clear();
        }
        return *this;
    }
    ~SecretBuffer() { wipe(); }

    // The characters (UTF-8), valid until the next change of this buffer.
    std::string_view view() const { return {chars_.data(), chars_.size()}; }
    std::size_t size() const { return chars_.size(); }
    bool empty() const { return chars_.empty(); }

    // Overwrites every character with zero; the size stays, so a wiped buffer reads as NUL characters.
    void wipe() noexcept {
        if (!chars_.empty())
            OPENSSL_cleanse(chars_.data(), chars_.size());
    }

private:
    std::vector<char> chars_;
};

// Overwrites a string that held a secret (a form body, a header) before it is released.
inline void wipeString(std::string& text) noexcept {
    if (!text.empty())
        OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

}  // namespace orlex::accounts
