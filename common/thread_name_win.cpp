#include <windows.h>

#include <string>

#include "common/thread_name.h"

namespace orlex::common {

namespace {

using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// SetThreadDescription is looked up at run time: Windows before 10 version 1607 lacks it (the thread then
// stays unnamed), and the mingw-w64 headers do not declare it.
SetThreadDescriptionFunction findSetThreadDescription() {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    // Through the generic function pointer type, which GCC accepts without -Wcast-function-type.
    return reinterpret_cast<SetThreadDescriptionFunction>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

void nameCurrentThread(const std::string& name) {
    static const SetThreadDescriptionFunction setThreadDescription = findSetThreadDescription();
    if (setThreadDescription == nullptr)
        return;
    const std::wstring wide(name.begin(), name.end());  // thread names are ASCII
    setThreadDescription(::GetCurrentThread(), wide.c_str());
}

}  // namespace orlex::common
