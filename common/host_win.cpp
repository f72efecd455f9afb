#include <windows.h>

#include "common/host.h"

namespace orlex::common {

std::string hostOsName() {
    return "Windows";
}

std::string hostArchName() {
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            return "amd64";
        case PROCESSOR_ARCHITECTURE_ARM64:
            return "aarch64";
        default:
            return "unknown";
    }
}

const char* lineSeparator() {
    return "\r\n";
}

}  // namespace orlex::common
