#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace orlex::common {

// True when text is well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// The number of UTF-16 code units the (valid) UTF-8 text would take: one per code point below
// U+10000, two above. Limits that the system counts in UTF-16 units use this.
std::size_t utf16Length(std::string_view text);

// Paths to and from this program's text, which is UTF-8 everywhere. On Windows a path made from a plain
// std::string, or turned into one, goes through the locale's narrow encoding instead: these do not.
std::filesystem::path pathFromUtf8(std::string_view text);
std::string utf8Of(const std::filesystem::path& path);

}  // namespace orlex::common
