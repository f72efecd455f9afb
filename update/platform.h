#pragma once

#include <string>
#include <string_view>

namespace orlex::update {

// The release platform string "<os>-<arch>" of this host, e.g. "linux-x64" or "windows-x64".
std::string platform();

// The derivation itself: the lower-cased OS name containing "win" gives "windows", else "mac" gives
// "macos", else "linux" gives "linux", else "unsupported"; the architecture, compared exactly,
// "aarch64"/"arm64" gives "arm64", "amd64"/"x86_64" gives "x64", anything else "unsupported".
std::string platformOf(std::string_view osName, std::string_view archName);

}  // namespace orlex::update
