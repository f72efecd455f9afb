#include <windows.h>

#include "common/terminal.h"

namespace orlex::common {

std::optional<TerminalOutput> terminalOutput() {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == nullptr || output == INVALID_HANDLE_VALUE || !::GetConsoleMode(output, &mode))
        return std::nullopt;
    // Clearing to the end of the line needs the console's escape sequences; a console older than
    // Windows 10 refuses them and is then treated as no terminal: it gets the plain lines.
    if (!::SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return std::nullopt;
    TerminalOutput terminal;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(output, &info))
        terminal.columns = info.srWindow.Right - info.srWindow.Left + 1;
    return terminal;
}

}  // namespace orlex::common
