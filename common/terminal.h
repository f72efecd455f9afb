#pragma once

#include <optional>

namespace orlex::common {

// What the process's standard output is when it is an interactive terminal.
struct TerminalOutput {
    int columns = 0;  // the terminal's width in columns; 0 when it cannot tell
};

// The process's standard output as a terminal (isatty on POSIX; a console on Windows, whose escape
// sequences are then turned on so that a line can be rewritten in place), nullopt when it is a file, a
// pipe or anything else. Asks the system at each call. Bodies: terminal_posix.cpp, terminal_win.cpp.
std::optional<TerminalOutput> terminalOutput();

}  // namespace orlex::common
