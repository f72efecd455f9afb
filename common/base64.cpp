#include "common/base64.h"

#include <array>

#include "common/failure.h"

namespace orlex::common {
namespace {

constexpr std::string_view STANDARD = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view URL_SAFE = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::span<const std::uint8_t> bytes, std::string_view alphabet, bool fill) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t n = bytes[i] << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        if (fill)
            out += "==";
    } else if (rest == 2) {
        const std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        if (fill)
            out += '=';
    }
    return out;
}

constexpr std::array<std::int8_t, 256> decodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table)
        v = -1;
    for (std::size_t i = 0; i < STANDARD.size(); ++i)
        table[static_cast<unsigned char>(STANDARD[i])] = i;
    return table;
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    return encode(bytes, STANDARD, true);
}

std::string base64UrlEncode(std::span<const std::uint8_t> bytes) {
    return encode(bytes, URL_SAFE, false);
}

Bytes base64Decode(std::string_view text) {
    static constexpr auto TABLE = decodeTable();
    std::size_t end = text.size();
    std::size_t fill = 0;
    while (end > 0 && text[end - 1] == '=' && fill < 2) {
        --end;
        ++fill;
    }
    if (end % 4 == 1)
        throw FormatFailure("Base64 invalide");
    if (fill > 0 && (end + fill) % 4 != 0)
        throw FormatFailure("Base64 invalide");

    Bytes out;
    out.reserve(end / 4 * 3 + 2);
    std::uint32_t group = 0;
    int bits = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const std::int8_t v = TABLE[static_cast<unsigned char>(text[i])];
        if (v < 0)
            throw FormatFailure("Base64 invalide");
        group = (group << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((group >> bits) & 0xff));
        }
    }
    return out;
}

}  // namespace orlex::common
