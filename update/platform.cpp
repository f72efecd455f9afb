#include "update/platform.h"

#include <algorithm>
#include <cctype>

#include "common/host.h"

namespace orlex::update {

std::string platformOf(std::string_view osName, std::string_view archName) {
    std::string os(osName);
    std::transform(os.begin(), os.end(), os.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string result;
    if (os.find("win") != std::string::npos) {
        result = "windows";
    } else if (os.find("mac") != std::string::npos) {
        result = "macos";
    } else if (os.find("linux") != std::string::npos) {
        result = "linux";
    } else {
        result = "unsupported";
    }
    if (archName == "aarch64" || archName == "arm64") {
        result += "-arm64";
    } else if (archName == "amd64" || archName == "x86_64") {
        result += "-x64";
    } else {
        result += "-unsupported";
    }
    return result;
}

std::string platform() {
    static const std::string value = platformOf(common::hostOsName(), common::hostArchName());
    return value;
}

}  // namespace orlex::update
