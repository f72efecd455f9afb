#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orlex::discord {

// Cleans a displayed text (UTF-8; a missing value is passed as empty):
// 1. every ASCII control character (0 to 31 and 127) becomes a space, leading and trailing spaces are
//    removed and every run of spaces becomes one; bytes that are not UTF-8 become U+FFFD;
// 2. an empty result is replaced by fallback;
// 3. a result longer than limit UTF-16 code units is cut to limit − 1 units followed by "…" (U+2026).
//    A character of two units that would straddle the cut is dropped whole, so such a result is one
//    unit shorter than limit.
std::string cleanText(std::string_view value, std::size_t limit, std::string_view fallback);

}  // namespace orlex::discord
