#include <sys/ioctl.h>
#include <unistd.h>

#include "common/terminal.h"

namespace orlex::common {

std::optional<TerminalOutput> terminalOutput() {
    if (::isatty(STDOUT_FILENO) != 1)
        return std::nullopt;
    TerminalOutput terminal;
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        terminal.columns = size.ws_col;
    return terminal;
}

}  // namespace orlex::common
