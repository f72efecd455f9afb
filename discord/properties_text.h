#pragma once

#include <map>
#include <string>
#include <string_view>

namespace orlex::discord {

// Reads a properties text (UTF-8): blank lines and lines starting with "#" or "!" (after blanks) are
// comments, and a comment never continues; any other line ending in an odd number of backslashes
// continues on the next line (its leading blanks dropped); the key ends at the first unescaped "=", ":"
// or blank, the separator may be surrounded by blanks; escapes \t \n \r \f \uXXXX and "\" before any
// other character (kept as itself). A later key replaces an earlier one.
std::map<std::string, std::string> readPropertiesText(std::string_view text);

}  // namespace orlex::discord
