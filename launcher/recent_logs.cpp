#include "launcher/recent_logs.h"

#include <deque>
#include <fstream>

#include "common/failure.h"
#include "common/file_system.h"

namespace orlex::launcher {

std::size_t copyRecentLogs(const std::filesystem::path& log, Clipboard& clipboard) {
    if (common::nodeKind(log) == common::NodeKind::Missing)
        return 0;
    std::ifstream in(log, std::ios::binary);
    if (!in)
        throw common::IoFailure("Lecture impossible : " + log.string());

    std::deque<std::string> lines;
    std::string line;
    bool open = false;  // a line has begun and not yet ended
    const auto keep = [&] {
        if (lines.size() == RECENT_LOG_LINES)
            lines.pop_front();
        lines.push_back(std::move(line));
        line.clear();
        open = false;
    };
    char buffer[65536];
    bool afterCarriageReturn = false;
    while (in) {
        in.read(buffer, sizeof buffer);
        const auto n = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\n' && afterCarriageReturn) {
                afterCarriageReturn = false;  // the second half of "\r\n"
                continue;
            }
            afterCarriageReturn = c == '\r';
            if (c == '\n' || c == '\r') {
                keep();
            } else {
                line += c;
                open = true;
            }
        }
    }
    if (in.bad())
        throw common::IoFailure("Lecture impossible : " + log.string());
    if (open)
        keep();
    if (lines.empty())
        return 0;

    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += lines[i];
    }
    clipboard.setText(text);
    return lines.size();
}

}  // namespace orlex::launcher
