#include "common/text.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace orlex::common {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<std::int64_t> parseInteger(std::string_view text, OutOfRange outOfRange) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-'))  // one sign at most
            return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || end != text.data() + text.size())
        return std::nullopt;
    if (error == std::errc::result_out_of_range && outOfRange == OutOfRange::Saturated)
        return text.starts_with('-') ? std::numeric_limits<std::int64_t>::min()
                                     : std::numeric_limits<std::int64_t>::max();
    if (error != std::errc())
        return std::nullopt;
    return value;
}

}  // namespace orlex::common
