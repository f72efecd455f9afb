#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace orlex::launcher {

// Where copied text goes; the window gives the system clipboard, tests a recording fake.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Fails (any exception) when another program holds the clipboard.
    virtual void setText(const std::string& text) = 0;
};

inline constexpr std::size_t RECENT_LOG_LINES = 200;

// Puts the last RECENT_LOG_LINES lines of log (line feed, carriage return or both end a line) on the
// clipboard, joined with line feeds and without a final one, and returns how many. A missing or empty
// log gives 0 and leaves the clipboard untouched. Other read failures are IoFailure.
std::size_t copyRecentLogs(const std::filesystem::path& log, Clipboard& clipboard);

}  // namespace orlex::launcher
