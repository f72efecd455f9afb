#include <windows.h>
// windows.h first
#include <shellapi.h>

#include <algorithm>
#include <filesystem>

#include "common/host.h"
#include "common/utf8.h"

namespace orlex::common {

std::string hostOsName() {
    return "Windows";
}

std::string hostArchName() {
    // The architecture this program runs as, not the machine's: an x64 program emulated on an ARM
    // machine installs x64 releases.
#if defined(_M_ARM64) || defined(__aarch64__)
    return "aarch64";
#elif defined(_M_X64) || defined(__x86_64__)
    return "amd64";
#else
    return "unknown";
#endif
}

std::vector<std::string> programArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!words)
        return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(utf8Of(std::filesystem::path(words[i])));
    ::LocalFree(words);
    return arguments;
}

std::optional<std::string> environmentValue(const char* name) {
    const std::string narrow(name);  // variable names here are ASCII
    const std::wstring wideName(narrow.begin(), narrow.end());
    const DWORD needed = ::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (needed == 0)
        return ::GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>("");
    std::wstring value(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(wideName.c_str(), value.data(), needed);
    value.resize(length);
    return utf8Of(std::filesystem::path(value));
}

const char* lineSeparator() {
    return "\r\n";
}

std::int64_t currentProcessId() {
    return ::GetCurrentProcessId();
}

}  // namespace orlex::common
