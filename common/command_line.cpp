#include "common/command_line.h"

#include <cstddef>

namespace orlex::common {
namespace {

void appendQuoted(std::string& line, const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += word;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote: there each one is doubled and the quote
        // escaped; elsewhere they stand as they are.
        line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        line += c;
        backslashes = 0;
    }
    line.append(2 * backslashes, '\\');  // before the closing quote
    line += '"';
}

}  // namespace

std::string windowsCommandLine(std::span<const std::string> words) {
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0)
            line += ' ';
        appendQuoted(line, words[i]);
    }
    return line;
}

}  // namespace orlex::common
