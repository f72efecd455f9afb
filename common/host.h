#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// The program's arguments after its name, as UTF-8. On Windows they are read again from the process's
// wide command line: argv holds them in the ANSI code page, which cannot carry every name.
std::vector<std::string> programArguments(int argc, char** argv);

// An environment variable's value as UTF-8; nullopt when it is not set.
std::optional<std::string> environmentValue(const char* name);

}  // namespace orlex::common
