#pragma once

#include <filesystem>

namespace orlex::common {

// The absolute path of the running program's own executable file, links resolved. Fails with
// IoFailure when the system does not tell. Bodies: program_path_posix.cpp, program_path_win.cpp.
std::filesystem::path programPath();

}  // namespace orlex::common
