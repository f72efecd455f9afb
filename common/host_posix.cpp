#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "common/host.h"

namespace orlex::common {

std::string hostOsName() {
    utsname names{};
    if (::uname(&names) != 0)
        return "";
    const std::string name = names.sysname;
    return name == "Darwin" ? "Mac OS X" : name;  // the name macOS is known by to its users
}

std::string hostArchName() {
    utsname names{};
    return ::uname(&names) == 0 ? names.machine : "";
}

std::vector<std::string> programArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

const char* lineSeparator() {
    return "\n";
}

std::int64_t currentProcessId() {
    return ::getpid();
}

}  // namespace orlex::common
