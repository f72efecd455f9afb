// bin\orlex-launcher.exe of the stand-in runtime that test builds of OrlexTessaline.exe carry (a real
// deployment carries the real launcher runtime). It stands for the launcher the installer starts:
//   ORLEX_STAND_IN_RECORD  a file that receives the command line it was started with (UTF-8), at once
//   ORLEX_STAND_IN_HOLD    a file it waits for (at most a minute) before it ends, so that a test can look at
//                          the installer while the launcher runs
//   ORLEX_STAND_IN_STATUS  its exit status, in decimal (0 when unset)
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr DWORD HOLD_LIMIT_MS = 60'000;
constexpr DWORD HOLD_POLL_MS = 20;

const wchar_t* setting(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value != nullptr && *value != L'\0' ? value : nullptr;
}

void record(const wchar_t* file, const wchar_t* commandLine) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return;
    std::string text(static_cast<std::size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, text.data(), size, nullptr, nullptr);
    HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(out);
}

void hold(const wchar_t* file) {
    for (DWORD waited = 0; waited < HOLD_LIMIT_MS; waited += HOLD_POLL_MS) {
        if (GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES)
            return;
        Sleep(HOLD_POLL_MS);
    }
}

}  // namespace

int wmain() {
    if (const wchar_t* file = setting(L"ORLEX_STAND_IN_RECORD"))
        record(file, GetCommandLineW());
    if (const wchar_t* file = setting(L"ORLEX_STAND_IN_HOLD"))
        hold(file);
    const wchar_t* status = setting(L"ORLEX_STAND_IN_STATUS");
    return status != nullptr ? static_cast<int>(std::wcstol(status, nullptr, 10)) : 0;
}
