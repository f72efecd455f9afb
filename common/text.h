#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orlex::common {

// text without its leading and trailing characters at or below U+0020 (spaces, line ends and other
// control characters): how every text read back from a file, a form or a header is trimmed.
std::string_view trimmed(std::string_view text);

// Equal when compared letter by letter ignoring ASCII case (header names, markup keywords).
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// What a decimal integer beyond 64 bits becomes.
enum class OutOfRange { Refused, Saturated };
// text as a decimal integer: optional "+" or "-", digits, nothing else; read the same under every
// locale. nullopt when malformed, and when out of range unless that saturates to the nearest limit.
std::optional<std::int64_t> parseInteger(std::string_view text, OutOfRange outOfRange = OutOfRange::Refused);

}  // namespace orlex::common
