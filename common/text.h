#pragma once

#include <string_view>

namespace orlex::common {

// text without its leading and trailing characters at or below U+0020 (spaces, line ends and other
// control characters): how every text read back from a file, a form or a header is trimmed.
std::string_view trimmed(std::string_view text);

// Equal when compared letter by letter ignoring ASCII case (header names, markup keywords).
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace orlex::common
