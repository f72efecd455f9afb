// discord.properties as the presence reads it: any text gives a table, and a table written back in the
// properties form (every key and value escaped) reads as the same table.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "discord/properties_text.h"
#include "fuzz/fuzz_support.h"

namespace orlex::fuzz {
namespace {

// Escapes every character the reader gives a meaning to; bytes from 0x80 up pass as they are.
std::string escaped(std::string_view text, bool key) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\f':
                out += "\\f";
                break;
            case ' ':
            case '=':
            case ':':
            case '#':
            case '!':
                if (key || c == ' ' || c == '#' || c == '!')
                    out += '\\';
                out += c;
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    const std::map<std::string, std::string> table = discord::readPropertiesText(textOf(data, size));
    std::string written;
    for (const auto& [key, value] : table)
        written += escaped(key, true) + "=" + escaped(value, false) + "\n";
    expect(discord::readPropertiesText(written) == table, "a table written back reads differently");
    return 0;
}
