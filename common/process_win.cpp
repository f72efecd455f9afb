#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_line.h"
#include "common/failure.h"
#include "common/process.h"
#include "common/utf8.h"

namespace orlex::common {
namespace {

[[noreturn]] void failStart(const std::string& program, const std::string& reason) {
    throw IoFailure("Démarrage impossible : " + program + " (" + reason + ")");
}

[[noreturn]] void failStartWithError(const std::string& program, const std::string& what) {
    failStart(program, what + "erreur " + std::to_string(::GetLastError()));
}

// A NUL inside a word would silently cut it short on its way to the child.
void checkText(const std::string& text, const std::string& program) {
    if (text.find('\0') != std::string::npos)
        failStart(program, "caractère nul dans « " + text.substr(0, text.find('\0')) + " »");
}

std::wstring wide(const std::string& text, const std::string& program) {
    if (text.empty())
        return {};
    if (text.size() > 0x7fffffff)
        failStart(program, "texte trop long");
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0)
        failStart(program, "texte non UTF-8");
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, result.data(), length);
    return result;
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h_ != nullptr)
            ::CloseHandle(h_);
    }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// An inheritable copy of one of this process's standard handles, or none when it has none (a GUI
// program started from the shell has none).
HANDLE inheritableCopy(DWORD standard) {
    const HANDLE own = ::GetStdHandle(standard);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// The list of the only handles the child inherits, whatever else of this process is inheritable.
class InheritedHandles {
public:
    InheritedHandles(std::vector<HANDLE> handles, const std::string& program) : handles_(std::move(handles)) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // asks for the size only
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size))
            failStartWithError(program, "attributs : ");
        if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                         handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            const DWORD error = ::GetLastError();
            ::DeleteProcThreadAttributeList(list_);
            failStart(program, "attributs : erreur " + std::to_string(error));
        }
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    ~InheritedHandles() { ::DeleteProcThreadAttributeList(list_); }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;  // the attribute points into it until the child is created
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

std::wstring_view nameOf(std::wstring_view entry) {
    // Hidden entries such as "=C:=C:\work" begin with '=': their name runs to the second one.
    return entry.substr(0, entry.find(L'=', 1));
}

int compareNames(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  TRUE);
}

// This process's environment with the edits applied in order, as a block of "name=value" entries
// sorted by name without regard to case, as CreateProcessW expects it.
std::wstring environmentBlock(const std::vector<EnvironmentEdit>& edits, const std::string& program) {
    std::vector<std::wstring> entries;
    {
        const std::unique_ptr<wchar_t, decltype(&::FreeEnvironmentStringsW)> own(::GetEnvironmentStringsW(),
                                                                                 &::FreeEnvironmentStringsW);
        if (!own)
            failStartWithError(program, "environnement : ");
        for (const wchar_t* entry = own.get(); *entry != L'\0'; entry += std::wcslen(entry) + 1)
            entries.emplace_back(entry);
    }
    for (const EnvironmentEdit& edit : edits) {
        checkText(edit.name, program);
        if (edit.name.empty() || edit.name.find('=') != std::string::npos)
            failStart(program, "nom de variable invalide « " + edit.name + " »");
        const std::wstring name = wide(edit.name, program);
        std::erase_if(entries, [&](const std::wstring& entry) {
            return compareNames(nameOf(entry), name) == CSTR_EQUAL;
        });
        if (edit.value) {
            checkText(*edit.value, program);
            entries.push_back(name + L"=" + wide(*edit.value, program));
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return compareNames(nameOf(a), nameOf(b)) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    if (entries.empty())
        block += L'\0';  // an empty block is still two NULs
    return block;
}

// The program to start: a path as given; a bare name ("powershell.exe") looked up in the system
// directory and then along PATH, never in the current directory, where a file of that name could have
// been put (the installer is started from the player's downloads).
std::wstring programToStart(const std::filesystem::path& program, const std::string& name) {
    if (program.has_parent_path())
        return program.wstring();
    wchar_t system[MAX_PATH];
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH)
        failStartWithError(name, "répertoire système introuvable");
    std::wstring directories(system, systemLength);
    if (const DWORD pathLength = ::GetEnvironmentVariableW(L"PATH", nullptr, 0); pathLength > 0) {
        std::wstring path(pathLength, L'\0');
        path.resize(::GetEnvironmentVariableW(L"PATH", path.data(), pathLength));
        directories += L";" + path;
    }
    const std::wstring file = program.wstring();
    const DWORD needed = ::SearchPathW(directories.c_str(), file.c_str(), L".exe", 0, nullptr, nullptr);
    if (needed == 0)
        failStart(name, "programme introuvable");
    std::wstring found(needed, L'\0');
    const DWORD length =
        ::SearchPathW(directories.c_str(), file.c_str(), L".exe", needed, found.data(), nullptr);
    if (length == 0 || length >= needed)
        failStart(name, "programme introuvable");
    found.resize(length);
    return found;
}

}  // namespace

ChildProcess ChildProcess::start(const ProcessSpec& spec) {
    const std::string name = utf8Of(spec.program);
    const std::wstring program = programToStart(spec.program, name);

    std::vector<std::string> words{name};
    for (const std::string& argument : spec.arguments) {
        checkText(argument, name);
        words.push_back(argument);
    }
    std::wstring commandLine = wide(windowsCommandLine(words), name);
    if (commandLine.size() >= 32767)
        failStart(name, "ligne de commande trop longue");
    std::wstring environment;
    if (!spec.environment.empty())
        environment = environmentBlock(spec.environment, name);
    std::filesystem::path directory;  // CreateProcessW wants it whole
    if (spec.workingDirectory) {
        std::error_code failure;
        directory = std::filesystem::absolute(*spec.workingDirectory, failure);
        if (failure)
            failStart(name, utf8Of(*spec.workingDirectory) + " : " + failure.message());
    }

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const Handle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (input.get() == nullptr)
        failStartWithError(name, "NUL : ");
    const Handle output(spec.outputFile
                            ? ::CreateFileW(spec.outputFile->c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                            : inheritableCopy(STD_OUTPUT_HANDLE));
    if (spec.outputFile && output.get() == nullptr)
        failStartWithError(name, utf8Of(*spec.outputFile) + " : ");
    const Handle error(spec.outputFile ? nullptr : inheritableCopy(STD_ERROR_HANDLE));

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = spec.outputFile ? output.get() : error.get();
    std::vector<HANDLE> inherited{input.get()};
    for (const HANDLE h : {output.get(), error.get()}) {
        if (h != nullptr)
            inherited.push_back(h);
    }
    const InheritedHandles handles(std::move(inherited), name);
    startup.lpAttributeList = handles.get();

    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                          environment.empty() ? nullptr : environment.data(),
                          spec.workingDirectory ? directory.c_str() : nullptr, &startup.StartupInfo,
                          &created))
        failStartWithError(name, "");
    ::CloseHandle(created.hThread);
    return ChildProcess(name, created.dwProcessId, reinterpret_cast<std::intptr_t>(created.hProcess));
}

std::optional<int> ChildProcess::poll() {
    if (exitCode_ || handle_ == 0)
        return exitCode_;
    const HANDLE process = reinterpret_cast<HANDLE>(handle_);
    const DWORD state = ::WaitForSingleObject(process, 0);
    if (state == WAIT_TIMEOUT)
        return std::nullopt;
    DWORD code = 0;
    if (state != WAIT_OBJECT_0 || !::GetExitCodeProcess(process, &code))
        throw IoFailure("Processus introuvable : " + program_ + " (erreur " +
                        std::to_string(::GetLastError()) + ")");
    exitCode_ = static_cast<int>(code);
    return exitCode_;
}

int ChildProcess::terminate(std::chrono::milliseconds /*grace: Windows has no gentler request*/) {
    if (handle_ == 0)
        throw std::logic_error("ChildProcess::terminate without a child");
    if (const std::optional<int> code = poll())
        return *code;
    const HANDLE process = reinterpret_cast<HANDLE>(handle_);
    // A child that ends by itself meanwhile refuses to be terminated: only one still running is a failure.
    if (!::TerminateProcess(process, 1)) {
        const DWORD error = ::GetLastError();
        if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
            throw IoFailure("Arrêt impossible : " + program_ + " (erreur " + std::to_string(error) + ")");
    }
    if (::WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0)
        throw IoFailure("Processus introuvable : " + program_ + " (erreur " +
                        std::to_string(::GetLastError()) + ")");
    return *poll();
}

void ChildProcess::release() noexcept {
    if (handle_ != 0)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = 0;
    pid_ = 0;
}

bool waitForProcessEnd(std::int64_t pid, std::chrono::milliseconds timeout) {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_PARAMETER)  // no such process
            return true;
        throw IoFailure("Attente impossible du processus " + std::to_string(pid) + " (erreur " +
                        std::to_string(error) + ")");
    }
    const DWORD waited = ::WaitForSingleObject(process, static_cast<DWORD>(timeout.count()));
    const DWORD error = ::GetLastError();
    ::CloseHandle(process);
    if (waited == WAIT_OBJECT_0)
        return true;
    if (waited == WAIT_TIMEOUT)
        return false;
    throw IoFailure("Attente impossible du processus " + std::to_string(pid) + " (erreur " +
                    std::to_string(error) + ")");
}

}  // namespace orlex::common
