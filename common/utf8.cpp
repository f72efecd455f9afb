#include "common/utf8.h"

#include <cstdint>

namespace orlex::common {

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<std::uint8_t>(text[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t cp;
        if ((b0 & 0xe0) == 0xc0) {
            length = 2;
            cp = b0 & 0x1f;
        } else if ((b0 & 0xf0) == 0xe0) {
            length = 3;
            cp = b0 & 0x0f;
        } else if ((b0 & 0xf8) == 0xf0) {
            length = 4;
            cp = b0 & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<std::uint8_t>(text[i + k]);
            if ((b & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3f);
        }
        static constexpr std::uint32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < SHORTEST[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += length;
    }
    return true;
}

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (char c : text) {
        const auto b = static_cast<std::uint8_t>(c);
        if ((b & 0xc0) != 0x80)
            ++units;  // a lead byte starts a code point
        if ((b & 0xf8) == 0xf0)
            ++units;  // four-byte forms lie above U+FFFF: a surrogate pair
    }
    return units;
}

std::filesystem::path pathFromUtf8(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace orlex::common
