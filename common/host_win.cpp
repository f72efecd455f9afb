#include <windows.h>

#include "common/host.h"

namespace orlex::common {

std::string hostOsName() {
    return "Windows";
}

std::string hostArchName() {
    // The architecture this program runs as, not the machine's: an x64 program emulated on an ARM
    // machine installs x64 releases.
#if defined(_M_ARM64) || defined(__aarch64__)
    return "aarch64";
#elif defined(_M_X64) || defined(__x86_64__)
    return "amd64";
#else
    return "unknown";
#endif
}

const char* lineSeparator() {
    return "\r\n";
}

std::int64_t currentProcessId() {
    return ::GetCurrentProcessId();
}

}  // namespace orlex::common
