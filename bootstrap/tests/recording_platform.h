#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "bootstrap/bootstrap_platform.h"

namespace orlex::bootstrap::test {

// The fresh machine a RecordingPlatform starts as.
inline const std::u16string LOCAL_APP_DATA = u"C:\\Users\\Ada\\AppData\\Local";
inline const std::u16string DESKTOP = u"C:\\Users\\Ada\\Desktop";
inline const std::u16string SYSTEM_DIRECTORY = u"C:\\Windows\\System32";
inline const std::u16string DOWNLOADED_INSTALLER = u"C:\\Users\\Ada\\Downloads\\OrlexTessaline.exe";
inline const std::string INSTALLER_IMAGE = "installer image";
inline const std::string LAUNCHER_ARCHIVE_BYTES = "launcher archive";
inline const std::string RUNTIME_ZIP_BYTES = "runtime zip";

// A Windows machine in memory, recording what the installer does to it. It keeps the real thing's limits:
// names ignore letter case; a directory is created one level at a time under an existing directory; a file
// is written or copied only into an existing directory, never over a directory or a locked file; a write
// stops when the disk is full; only an existing file with a registered behaviour starts as a process, and
// it runs while its starter waits for it; named mutexes belong to the machine, so an installer started
// from a running child finds the first one's mutex held. Letter case is folded for ASCII only.
//
// The fresh machine has LOCAL_APP_DATA, DESKTOP, the downloaded installer and a system tar that unpacks the
// runtime zip when it holds RUNTIME_ZIP_BYTES (it creates bin\orlex-launcher.exe in its -C directory).
class RecordingPlatform final : public BootstrapPlatform {
public:
    struct Node {
        bool directory = false;
        std::string bytes;
        bool locked = false;  // held open by another program without sharing
        bool operator==(const Node&) const = default;
    };
    struct Box {
        std::u16string caption;
        std::u16string text;
        MessageIcon icon;
        bool operator==(const Box&) const = default;
    };
    struct Start {
        std::u16string program;
        std::u16string commandLine;
        bool operator==(const Start&) const = default;
    };
    // A program: its exit status, or nullopt when the status cannot be read.
    using Program = std::function<std::optional<std::uint32_t>(const std::u16string& commandLine)>;

    RecordingPlatform();

    // The machine as a test sets it up and looks at it.
    void addDirectories(const std::u16string& path);                                   // every missing level
    void addFile(const std::u16string& path, std::string bytes, bool locked = false);  // with its directories
    void remove(const std::u16string& path);
    void addProgram(const std::u16string& path, Program program);  // the file and what running it does
    // What running the file at path does, whether it exists yet or not; an empty program: the file is no
    // program, and starting it fails.
    void setProgram(const std::u16string& path, Program program);
    std::optional<Node> node(const std::u16string& path) const;
    std::optional<std::string> fileBytes(const std::u16string& path) const;  // nullopt unless a plain file
    std::map<std::u16string, Node> disk() const { return nodes_; }

    std::optional<std::u16string> localAppData = LOCAL_APP_DATA;  // nullopt: cannot be resolved
    std::optional<std::u16string> desktop = DESKTOP;
    std::optional<std::u16string> system = SYSTEM_DIRECTORY;
    std::optional<std::u16string> module = DOWNLOADED_INSTALLER;
    std::map<int, std::string> payloads;
    std::size_t diskRoom = std::numeric_limits<std::size_t>::max();  // bytes the disk can still take
    std::set<std::u16string> mutexes;                                // the named mutexes alive on the machine

    std::vector<Box> boxes;
    std::vector<Start> starts;  // every start asked for, started or not
    std::vector<std::pair<std::u16string, std::u16string>> copies;
    std::vector<Shortcut> shortcuts;  // every link stored or attempted

    InstanceClaim claimSingleInstance(const std::u16string& name) override;
    void releaseSingleInstance() override;
    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override;
    std::optional<std::u16string> localAppDataFolder() override;
    std::optional<std::u16string> desktopFolder() override { return desktop; }
    std::optional<std::u16string> systemDirectory() override { return system; }
    std::optional<std::u16string> moduleFileName() override { return module; }
    bool samePath(const std::u16string& a, const std::u16string& b) override;
    DirectoryCreation createDirectory(const std::u16string& path) override;
    PathKind pathKind(const std::u16string& path) override;
    std::span<const std::byte> payload(int id) override;
    FileWrite writeNewFile(const std::u16string& path, std::span<const std::byte> bytes) override;
    void deleteFile(const std::u16string& path) override;
    bool copyFileReplacing(const std::u16string& from, const std::u16string& to) override;
    void createShortcut(const Shortcut& shortcut) override;
    std::unique_ptr<StartedProcess> startProcess(const std::u16string& program,
                                                 const std::u16string& commandLine) override;

private:
    bool isDirectory(const std::u16string& path) const;
    bool canWriteFile(const std::u16string& path) const;  // its directory exists, and it is neither a
                                                          // directory nor locked

    std::u16string claimed_;                      // the mutex this installer owns
    std::map<std::u16string, Node> nodes_;        // by case-folded path
    std::map<std::u16string, Program> programs_;  // by case-folded path
};

}  // namespace orlex::bootstrap::test
