#pragma once

#include <cstdint>
#include <string>

namespace orlex::common {

// The running operating system's name ("Linux", "Windows 11", "Darwin"...) and the processor
// architecture of the running program as the host names it ("x86_64", "aarch64", "amd64", "arm64"...);
// on Windows that is the program's own architecture, also when the machine emulates it.
std::string hostOsName();
std::string hostArchName();

// This process's id.
std::int64_t currentProcessId();

// The platform's line separator: "\r\n" on Windows, "\n" elsewhere.
const char* lineSeparator();

}  // namespace orlex::common
