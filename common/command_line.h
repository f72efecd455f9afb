#pragma once

#include <span>
#include <string>

namespace orlex::common {

// The Windows command line that hands words to a child exactly, as the Microsoft C runtime (and
// CommandLineToArgvW) splits it again: words joined by one space; a word that is empty or holds a space,
// tab, line feed, vertical tab or double quote is put in double quotes, with each quote escaped as \" and
// the backslashes before a quote or before the closing quote doubled; other words stand as they are.
// The first word is the program: it must not contain a double quote, which no Windows path does. Batch
// files split their command line by other rules and must not be started this way. Text is UTF-8 in and
// out; only ASCII characters are looked at.
std::string windowsCommandLine(std::span<const std::string> words);

}  // namespace orlex::common
