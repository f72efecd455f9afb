#include <algorithm>
#include <cstdlib>

#include "common/text.h"
#include "discord/local_ipc.h"
#include "discord/text.h"

namespace orlex::discord {

std::vector<std::filesystem::path> socketDirectories(
    const std::function<std::optional<std::string>(const char*)>& variable) {
    const auto read = [&](const char* name) -> std::optional<std::string> {
        if (variable)
            return variable(name);
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    std::vector<std::filesystem::path> directories;
    const auto add = [&](const std::filesystem::path& directory) {
        if (std::find(directories.begin(), directories.end(), directory) == directories.end())
            directories.push_back(directory);
    };
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP"}) {
        const std::optional<std::string> value = read(name);
        if (value && !common::trimmed(*value).empty())
            add(*value);
    }
    add("/tmp");
    return directories;
}

}  // namespace orlex::discord
