#pragma once

#include <string>

namespace orlex::common {

// Names the calling thread for debuggers and system tools. The OS may keep only the first 15 bytes
// (Linux); the executor keeps the full name. Bodies: thread_name_posix.cpp, thread_name_win.cpp.
void nameCurrentThread(const std::string& name);

}  // namespace orlex::common
