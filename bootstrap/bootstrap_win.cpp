// The installer's platform layer over Win32 (kernel32, user32, shell32, the COM shell link) and the
// entry point of OrlexTessaline.exe.
#include <windows.h>
// After windows.h:
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/bootstrap_flow.h"
#include "bootstrap/bootstrap_platform.h"
#include "bootstrap/windows/build_ids.h"

namespace orlex::bootstrap {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text is UTF-16");

// Capacity, in UTF-16 units with the terminator, of the system directory and module name buffers.
constexpr DWORD PATH_CAPACITY = 0x8000;

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string utf16(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

// Owns a kernel handle; closes it once. Both null and INVALID_HANDLE_VALUE mean none.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr) {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Owns the text a known-folder request returns: freed with CoTaskMemFree, after a failed request too.
class KnownFolderText {
public:
    KnownFolderText() = default;
    KnownFolderText(const KnownFolderText&) = delete;
    KnownFolderText& operator=(const KnownFolderText&) = delete;
    ~KnownFolderText() { CoTaskMemFree(text_); }

    PWSTR* out() { return &text_; }
    const wchar_t* get() const { return text_; }

private:
    PWSTR text_ = nullptr;
};

std::optional<std::u16string> knownFolder(REFKNOWNFOLDERID folder, DWORD flags) {
    KnownFolderText text;
    if (FAILED(SHGetKnownFolderPath(folder, flags, nullptr, text.out())) || text.get() == nullptr)
        return std::nullopt;
    return utf16(text.get());
}

// One reference to a COM interface, released once.
template <typename Interface>
class ComReference {
public:
    ComReference() = default;
    ComReference(const ComReference&) = delete;
    ComReference& operator=(const ComReference&) = delete;
    ~ComReference() {
        if (pointer_ != nullptr)
            pointer_->Release();
    }

    void** out() { return reinterpret_cast<void**>(&pointer_); }
    Interface* operator->() const { return pointer_; }

private:
    Interface* pointer_ = nullptr;
};

// COM, apartment-threaded, on this thread for the life of the object. The shortcut step is the only COM
// user and nothing initialises COM before it on the installer's one thread, so the balancing call runs
// whatever the result of the first.
class ComApartment {
public:
    ComApartment() { (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { CoUninitialize(); }
};

class WinProcess final : public StartedProcess {
public:
    explicit WinProcess(const PROCESS_INFORMATION& started)
        : process_(started.hProcess), thread_(started.hThread) {}

    void waitForExit() override { WaitForSingleObject(process_.get(), INFINITE); }

    std::optional<std::uint32_t> exitStatus() override {
        DWORD status = 1;
        if (!GetExitCodeProcess(process_.get(), &status))
            return std::nullopt;
        return status;
    }

private:
    // Destroyed in reverse order: the thread handle is closed before the process handle.
    Handle process_;
    Handle thread_;
};

class WinPlatform final : public BootstrapPlatform {
public:
    explicit WinPlatform(HINSTANCE module) : module_(module) {}

    InstanceClaim claimSingleInstance(const std::u16string& name) override {
        mutex_.reset(CreateMutexW(nullptr, TRUE, wide(name)));
        const DWORD error = GetLastError();
        if (!mutex_.valid() || error == ERROR_ALREADY_EXISTS)
            return InstanceClaim::AlreadyRunning;
        return InstanceClaim::Owned;
    }

    void releaseSingleInstance() override {
        ReleaseMutex(mutex_.get());
        mutex_.reset();
    }

    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override {
        const UINT iconFlag = icon == MessageIcon::Information ? MB_ICONINFORMATION : MB_ICONERROR;
        MessageBoxW(nullptr, wide(text), wide(caption), MB_OK | iconFlag);
    }

    std::optional<std::u16string> localAppDataFolder() override {
        return knownFolder(FOLDERID_LocalAppData, KF_FLAG_CREATE);
    }

    std::optional<std::u16string> desktopFolder() override { return knownFolder(FOLDERID_Desktop, 0); }

    std::optional<std::u16string> systemDirectory() override {
        std::vector<wchar_t> buffer(PATH_CAPACITY);
        const UINT length = GetSystemDirectoryW(buffer.data(), PATH_CAPACITY);
        if (length == 0 || length >= PATH_CAPACITY)  // failed, or the size it would need
            return std::nullopt;
        return utf16(buffer.data());
    }

    std::optional<std::u16string> moduleFileName() override {
        std::vector<wchar_t> buffer(PATH_CAPACITY);
        // A name longer than the buffer comes back cut and terminated; it is used as it stands.
        if (GetModuleFileNameW(nullptr, buffer.data(), PATH_CAPACITY) == 0)
            return std::nullopt;
        buffer.back() = L'\0';
        return utf16(buffer.data());
    }

    bool samePath(const std::u16string& a, const std::u16string& b) override {
        return _wcsicmp(wide(a), wide(b)) == 0;
    }

    DirectoryCreation createDirectory(const std::u16string& path) override {
        if (CreateDirectoryW(wide(path), nullptr))
            return DirectoryCreation::Created;
        return GetLastError() == ERROR_ALREADY_EXISTS ? DirectoryCreation::AlreadyExists
                                                      : DirectoryCreation::Failed;
    }

    PathKind pathKind(const std::u16string& path) override {
        const DWORD attributes = GetFileAttributesW(wide(path));
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return PathKind::Missing;
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::NonDirectory;
    }

    std::span<const std::byte> payload(int id) override {
        HRSRC resource = FindResourceW(module_, MAKEINTRESOURCEW(id), RT_RCDATA);
        if (resource == nullptr)
            return {};
        HGLOBAL loaded = LoadResource(module_, resource);
        if (loaded == nullptr)
            return {};
        const void* bytes = LockResource(loaded);
        const DWORD size = SizeofResource(module_, resource);
        if (bytes == nullptr || size == 0)
            return {};
        return {static_cast<const std::byte*>(bytes), size};
    }

    FileWrite writeNewFile(const std::u16string& path, std::span<const std::byte> bytes) override {
        Handle file(CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        if (!file.valid())
            return {};
        FileWrite result{.opened = true};
        // One WriteFile call takes at most a DWORD of bytes; a resource never holds more.
        if (bytes.size() <= MAXDWORD) {
            DWORD written = 0;
            result.writeSucceeded = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                              &written, nullptr) != FALSE;
            result.bytesWritten = written;
        }
        FlushFileBuffers(file.get());
        return result;  // the file is closed here
    }

    void deleteFile(const std::u16string& path) override { DeleteFileW(wide(path)); }

    bool copyFileReplacing(const std::u16string& from, const std::u16string& to) override {
        return CopyFileW(wide(from), wide(to), FALSE) != FALSE;
    }

    void createShortcut(const Shortcut& shortcut) override {
        const ComApartment apartment;
        ComReference<IShellLinkW> link;
        if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    link.out())))
            return;
        link->SetPath(wide(shortcut.target));
        link->SetWorkingDirectory(wide(shortcut.workingDirectory));
        link->SetDescription(wide(shortcut.description));
        link->SetIconLocation(wide(shortcut.iconPath), shortcut.iconIndex);
        ComReference<IPersistFile> file;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.out())))
            file->Save(wide(shortcut.path), TRUE);
        // file is released before link, and both before COM is uninitialised.
    }

    std::unique_ptr<StartedProcess> startProcess(const std::u16string& program,
                                                 const std::u16string& commandLine) override {
        // CreateProcessW may write into the command line: it gets a copy of its own.
        std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
        writable.push_back(L'\0');
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(wide(program), writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                            nullptr, nullptr, &startup, &started))
            return nullptr;
        return std::make_unique<WinProcess>(started);
    }

private:
    HINSTANCE module_;
    Handle mutex_;  // kept to the end of the process unless released after the launch
};

}  // namespace
}  // namespace orlex::bootstrap

// The installer reads neither its command line nor the show request: the module instance leads to its
// payloads, and the flow's result is its exit status.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    orlex::bootstrap::WinPlatform platform(instance);
    return orlex::bootstrap::runBootstrap(platform, orlex::bootstrap::buildIds());
}
