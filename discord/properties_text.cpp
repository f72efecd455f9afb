#include "discord/properties_text.h"

#include <cstdint>
#include <vector>

namespace orlex::discord {
namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\f';
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The logical lines: physical lines joined over trailing odd backslashes, each without its leading
// blanks. Comment lines are dropped here, before the joining, because a comment never continues.
std::vector<std::string> logicalLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    bool continuing = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        while (!line.empty() && blank(line.front()))
            line.remove_prefix(1);
        if (!continuing && !line.empty() && (line.front() == '#' || line.front() == '!'))
            continue;
        std::size_t backslashes = 0;
        while (backslashes < line.size() && line[line.size() - 1 - backslashes] == '\\')
            ++backslashes;
        continuing = backslashes % 2 == 1;
        current.append(line.substr(0, continuing ? line.size() - 1 : line.size()));
        if (!continuing) {
            lines.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty())
        lines.push_back(std::move(current));
    return lines;
}

// Reads from line[i] up to a stop character (not escaped), unescaping; i ends on the stop character.
std::string unescape(const std::string& line, std::size_t& i, bool stopAtSeparator) {
    std::string out;
    while (i < line.size()) {
        const char c = line[i];
        if (stopAtSeparator && (c == '=' || c == ':' || blank(c)))
            break;
        if (c != '\\' || i + 1 >= line.size()) {
            out += c;
            ++i;
            continue;
        }
        const char e = line[i + 1];
        i += 2;
        switch (e) {
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                std::uint32_t code = 0;
                std::size_t digits = 0;
                for (; digits < 4 && i < line.size() && hexValue(line[i]) >= 0; ++digits, ++i)
                    code = code * 16 + static_cast<std::uint32_t>(hexValue(line[i]));
                if (digits == 4)
                    appendUtf8(out, code);
                break;
            }
            default:
                out += e;
        }
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> readPropertiesText(std::string_view text) {
    std::map<std::string, std::string> properties;
    for (const std::string& line : logicalLines(text)) {
        if (line.empty())
            continue;
        std::size_t i = 0;
        std::string key = unescape(line, i, true);
        while (i < line.size() && blank(line[i]))
            ++i;
        if (i < line.size() && (line[i] == '=' || line[i] == ':'))
            ++i;
        while (i < line.size() && blank(line[i]))
            ++i;
        properties[std::move(key)] = unescape(line, i, false);
    }
    return properties;
}

}  // namespace orlex::discord
