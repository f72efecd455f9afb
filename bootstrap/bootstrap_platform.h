#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace orlex::bootstrap {

// What the installer flow (bootstrap_flow.h) needs of the system, and nothing more. Bodies:
// bootstrap_win.cpp (kernel32, user32, shell32, the COM shell link) and bootstrap_posix.cpp.
//
// Every operation is called on the flow's one thread, in the flow's order; none throws. Text is UTF-16
// (char16_t, the same units as Win32's wchar_t). Paths come from the flow in Windows form: a folder the
// system gave, then names joined with '\'; a layer for another system maps them to its own form. No
// operation decides an outcome the player sees: the flow turns results into messages and exit statuses.

enum class MessageIcon {
    Information,  // MB_ICONINFORMATION
    Error,        // MB_ICONERROR
};

enum class InstanceClaim {
    Owned,           // this process created the named mutex and owns it
    AlreadyRunning,  // it already existed (ERROR_ALREADY_EXISTS), or no handle came back
};

enum class DirectoryCreation {
    Created,
    AlreadyExists,  // ERROR_ALREADY_EXISTS: something, a plain file included, has that name
    Failed,         // any other failure
};

enum class PathKind {
    Missing,       // GetFileAttributesW gave INVALID_FILE_ATTRIBUTES
    Directory,     // FILE_ATTRIBUTE_DIRECTORY set
    NonDirectory,  // any other existing name
};

// The outcome of writing one block to a newly created or truncated file.
struct FileWrite {
    bool opened = false;          // false: nothing was written and no file was created or truncated
    bool writeSucceeded = false;  // the single write call reported success
    std::size_t bytesWritten = 0;
};

// A desktop shortcut to store.
struct Shortcut {
    std::u16string path;  // the link file to write
    std::u16string target;
    std::u16string workingDirectory;
    std::u16string description;
    std::u16string iconPath;
    int iconIndex = 0;
};

// A started child process. Destroying it closes its thread handle, then its process handle; the child
// itself runs on.
class StartedProcess {
public:
    virtual ~StartedProcess() = default;

    virtual void waitForExit() = 0;  // WaitForSingleObject with INFINITE: no time-out
    // The exit status (GetExitCodeProcess); nullopt when it cannot be read. Called after waitForExit().
    virtual std::optional<std::uint32_t> exitStatus() = 0;
};

class BootstrapPlatform {
public:
    virtual ~BootstrapPlatform() = default;

    // Creates or opens the named mutex, initially owned, default security. The platform keeps the handle
    // for the rest of the process in both outcomes; ending the process frees it.
    virtual InstanceClaim claimSingleInstance(const std::u16string& name) = 0;
    // Releases the ownership taken by claimSingleInstance() and closes the handle. Called once, only after
    // an Owned claim.
    virtual void releaseSingleInstance() = 0;

    // A modal box with no owner window and one OK button (MB_OK); returns when the player has closed it.
    virtual void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) = 0;

    // The player's local application data folder (FOLDERID_LocalAppData), created when missing
    // (KF_FLAG_CREATE); nullopt when it cannot be resolved.
    virtual std::optional<std::u16string> localAppDataFolder() = 0;
    // The player's desktop folder (FOLDERID_Desktop, no flags: never created); nullopt when it cannot be
    // resolved.
    virtual std::optional<std::u16string> desktopFolder() = 0;
    // The system directory (GetSystemDirectoryW), where the system's tar.exe lives; nullopt when it cannot
    // be read.
    virtual std::optional<std::u16string> systemDirectory() = 0;
    // The full path of the running executable (GetModuleFileNameW); nullopt when it cannot be read.
    virtual std::optional<std::u16string> moduleFileName() = 0;
    // Whether two paths name the same file by the system's rule for names: on Windows, equal ignoring
    // letter case (_wcsicmp).
    virtual bool samePath(const std::u16string& a, const std::u16string& b) = 0;

    // Creates one directory level, default security (CreateDirectoryW).
    virtual DirectoryCreation createDirectory(const std::u16string& path) = 0;
    virtual PathKind pathKind(const std::u16string& path) = 0;

    // The bytes of the payload resource with this integer id (type RT_RCDATA) in the executable's own
    // image, valid for the life of the process; empty when the resource is missing, cannot be loaded or
    // locked, or has no bytes.
    virtual std::span<const std::byte> payload(int id) = 0;
    // Creates or truncates path for writing (GENERIC_WRITE, no sharing, CREATE_ALWAYS,
    // FILE_ATTRIBUTE_NORMAL), writes bytes with one write call straight from the given memory, flushes
    // the file buffers and closes the file; flush and close happen whether or not the write succeeded. A
    // failed or short write leaves what was written in place.
    virtual FileWrite writeNewFile(const std::u16string& path, std::span<const std::byte> bytes) = 0;
    // Deletes a file; whether that worked is not reported (the flow goes on either way).
    virtual void deleteFile(const std::u16string& path) = 0;
    // Copies a file over any existing target (CopyFileW with fail-if-exists false); false when it fails,
    // for instance when the target is locked by another program.
    virtual bool copyFileReplacing(const std::u16string& from, const std::u16string& to) = 0;

    // Stores the link file shortcut.path, best effort: every failure is silent. On Windows: COM
    // apartment-threaded on this thread around the whole call (its result ignored, uninitialised
    // whenever initialised), CLSID_ShellLink in process asking for IID_IShellLinkW, then in this order
    // SetPath(target), SetWorkingDirectory, SetDescription, SetIconLocation(iconPath, iconIndex), and,
    // when QueryInterface for IID_IPersistFile succeeds, Save(path, TRUE); results of the set calls and
    // of Save are ignored; every interface obtained is released.
    virtual void createShortcut(const Shortcut& shortcut) = 0;

    // Starts program with this command line (copied into a writable buffer) and CREATE_NO_WINDOW, no
    // inherited handles, the installer's own environment and working directory, and a STARTUPINFOW that
    // is zero but for its size; nullptr when it cannot start.
    virtual std::unique_ptr<StartedProcess> startProcess(const std::u16string& program,
                                                         const std::u16string& commandLine) = 0;
};

}  // namespace orlex::bootstrap
