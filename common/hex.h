#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orlex::common {

// Lower-case hexadecimal, two digits per byte, no separators.
std::string hexEncode(std::span<const std::uint8_t> bytes);

// True when text is exactly `length` lower-case hexadecimal digits.
bool isLowerHex(std::string_view text, std::size_t length);

}  // namespace orlex::common
