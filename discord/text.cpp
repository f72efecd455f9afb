#include "discord/text.h"

#include <cstdint>

namespace orlex::discord {
namespace {

// The length of the well-formed UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
constexpr std::string_view ELLIPSIS = "\xE2\x80\xA6";

}  // namespace

std::string cleanText(std::string_view value, std::size_t limit, std::string_view fallback) {
    // Controls to spaces, runs of spaces to one, ends trimmed; kept as whole code points with their
    // UTF-16 widths so the cut below never splits a character.
    std::string cleaned;
    std::size_t units = 0;
    bool pendingSpace = false;
    for (std::size_t i = 0; i < value.size();) {
        const unsigned char lead = static_cast<unsigned char>(value[i]);
        if (lead < 0x20 || lead == 0x7F || lead == ' ') {
            pendingSpace = !cleaned.empty();
            ++i;
            continue;
        }
        if (pendingSpace) {
            cleaned += ' ';
            ++units;
            pendingSpace = false;
        }
        const std::size_t length = sequenceLength(value, i);
        if (length == 0) {
            cleaned += REPLACEMENT;
            ++units;
            ++i;
            continue;
        }
        cleaned.append(value.substr(i, length));
        units += length == 4 ? 2 : 1;
        i += length;
    }
    if (cleaned.empty())
        return std::string(fallback);
    if (units <= limit)
        return cleaned;
    if (limit == 0)
        return std::string();
    std::string cut;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < cleaned.size();) {
        const std::size_t length = sequenceLength(cleaned, i);
        const std::size_t width = length == 4 ? 2 : 1;
        if (kept + width > limit - 1)
            break;
        cut.append(cleaned, i, length);
        kept += width;
        i += length;
    }
    return cut + std::string(ELLIPSIS);
}

}  // namespace orlex::discord
