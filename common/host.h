#pragma once

#include <string>

namespace orlex::common {

// The running operating system's name ("Linux", "Windows 11", "Darwin"...) and the processor
// architecture as the host names it ("x86_64", "aarch64", "amd64", "arm64"...).
std::string hostOsName();
std::string hostArchName();

// The platform's line separator: "\r\n" on Windows, "\n" elsewhere.
const char* lineSeparator();

}  // namespace orlex::common
