#include <windows.h>

#include <string>

#include "common/thread_name.h"

namespace orlex::common {

void nameCurrentThread(const std::string& name) {
    const std::wstring wide(name.begin(), name.end());  // thread names are ASCII
    ::SetThreadDescription(::GetCurrentThread(), wide.c_str());
}

}  // namespace orlex::common
