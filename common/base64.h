#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orlex::common {

using Bytes = std::vector<std::uint8_t>;

// Standard alphabet ("+", "/") with "=" fill, no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
// Standard alphabet; the "=" fill is optional but, when present, must complete the last group.
// Any character outside the alphabet fails with FormatFailure.
Bytes base64Decode(std::string_view text);

// URL-safe alphabet ("-", "_") without fill.
std::string base64UrlEncode(std::span<const std::uint8_t> bytes);

}  // namespace orlex::common
