#include "bootstrap/tests/recording_platform.h"

#include <algorithm>
#include <utility>

namespace orlex::bootstrap::test {
namespace {

std::u16string folded(std::u16string path) {
    std::ranges::transform(path, path.begin(), [](char16_t unit) {
        return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
    });
    return path;
}

std::u16string parentOf(const std::u16string& path) {
    const std::size_t separator = path.rfind(u'\\');
    return separator == std::u16string::npos ? std::u16string() : path.substr(0, separator);
}

// The quoted arguments of a command line, in order.
std::vector<std::u16string> quoted(const std::u16string& commandLine) {
    std::vector<std::u16string> arguments;
    for (std::size_t open = commandLine.find(u'"'); open != std::u16string::npos;) {
        const std::size_t close = commandLine.find(u'"', open + 1);
        arguments.push_back(commandLine.substr(open + 1, close - open - 1));
        open = close == std::u16string::npos ? close : commandLine.find(u'"', close + 1);
    }
    return arguments;
}

RecordingPlatform::Node directory() {
    return {.directory = true, .bytes = {}, .locked = false};
}

RecordingPlatform::Node file(std::string bytes, bool locked = false) {
    return {.directory = false, .bytes = std::move(bytes), .locked = locked};
}

class RecordedProcess final : public StartedProcess {
public:
    RecordedProcess(RecordingPlatform::Program program, std::u16string commandLine)
        : program_(std::move(program)), commandLine_(std::move(commandLine)) {}

    void waitForExit() override { status_ = program_(commandLine_); }
    std::optional<std::uint32_t> exitStatus() override { return status_; }

private:
    RecordingPlatform::Program program_;
    std::u16string commandLine_;
    std::optional<std::uint32_t> status_;
};

}  // namespace

RecordingPlatform::RecordingPlatform() : payloads{{101, LAUNCHER_ARCHIVE_BYTES}, {102, RUNTIME_ZIP_BYTES}} {
    addDirectories(LOCAL_APP_DATA);
    addDirectories(DESKTOP);
    addFile(DOWNLOADED_INSTALLER, INSTALLER_IMAGE);
    // bsdtar's status for an archive it cannot read or an entry it cannot create is 1.
    addProgram(SYSTEM_DIRECTORY + u"\\tar.exe", [this](const std::u16string& commandLine) {
        const std::vector<std::u16string> arguments = quoted(commandLine);  // tar, zip, directory
        if (arguments.size() != 3 || fileBytes(arguments[1]) != RUNTIME_ZIP_BYTES ||
            !isDirectory(arguments[2]))
            return std::optional<std::uint32_t>(1);
        const std::u16string bin = arguments[2] + u"\\bin";
        if (!node(bin))
            nodes_[folded(bin)] = directory();
        if (!canWriteFile(bin + u"\\orlex-launcher.exe"))
            return std::optional<std::uint32_t>(1);
        nodes_[folded(bin + u"\\orlex-launcher.exe")] = file("launcher program");
        return std::optional<std::uint32_t>(0);
    });
}

void RecordingPlatform::addDirectories(const std::u16string& path) {
    if (path.empty() || node(path))
        return;
    addDirectories(parentOf(path));
    nodes_[folded(path)] = directory();
}

void RecordingPlatform::addFile(const std::u16string& path, std::string bytes, bool locked) {
    addDirectories(parentOf(path));
    nodes_[folded(path)] = file(std::move(bytes), locked);
}

void RecordingPlatform::remove(const std::u16string& path) {
    nodes_.erase(folded(path));
}

void RecordingPlatform::addProgram(const std::u16string& path, Program program) {
    addFile(path, "program");
    setProgram(path, std::move(program));
}

void RecordingPlatform::setProgram(const std::u16string& path, Program program) {
    programs_[folded(path)] = std::move(program);
}

std::optional<RecordingPlatform::Node> RecordingPlatform::node(const std::u16string& path) const {
    const auto found = nodes_.find(folded(path));
    return found == nodes_.end() ? std::nullopt : std::optional<Node>(found->second);
}

std::optional<std::string> RecordingPlatform::fileBytes(const std::u16string& path) const {
    const std::optional<Node> found = node(path);
    return found && !found->directory ? std::optional<std::string>(found->bytes) : std::nullopt;
}

bool RecordingPlatform::isDirectory(const std::u16string& path) const {
    const std::optional<Node> found = node(path);
    return found && found->directory;
}

bool RecordingPlatform::canWriteFile(const std::u16string& path) const {
    const std::optional<Node> found = node(path);
    return isDirectory(parentOf(path)) && !(found && (found->directory || found->locked));
}

InstanceClaim RecordingPlatform::claimSingleInstance(const std::u16string& name) {
    if (!mutexes.insert(name).second)
        return InstanceClaim::AlreadyRunning;
    claimed_ = name;
    return InstanceClaim::Owned;
}

void RecordingPlatform::releaseSingleInstance() {
    mutexes.erase(claimed_);
}

void RecordingPlatform::showMessage(const std::u16string& caption, const std::u16string& text,
                                    MessageIcon icon) {
    boxes.push_back({caption, text, icon});
}

std::optional<std::u16string> RecordingPlatform::localAppDataFolder() {
    if (localAppData)
        addDirectories(*localAppData);
    return localAppData;
}

bool RecordingPlatform::samePath(const std::u16string& a, const std::u16string& b) {
    return folded(a) == folded(b);
}

DirectoryCreation RecordingPlatform::createDirectory(const std::u16string& path) {
    if (node(path))
        return DirectoryCreation::AlreadyExists;
    if (!isDirectory(parentOf(path)))
        return DirectoryCreation::Failed;
    nodes_[folded(path)] = directory();
    return DirectoryCreation::Created;
}

PathKind RecordingPlatform::pathKind(const std::u16string& path) {
    const std::optional<Node> found = node(path);
    if (!found)
        return PathKind::Missing;
    return found->directory ? PathKind::Directory : PathKind::NonDirectory;
}

std::span<const std::byte> RecordingPlatform::payload(int id) {
    const auto found = payloads.find(id);
    if (found == payloads.end())
        return {};
    return std::as_bytes(std::span(found->second));
}

FileWrite RecordingPlatform::writeNewFile(const std::u16string& path, std::span<const std::byte> bytes) {
    if (!canWriteFile(path))
        return {};
    const std::size_t written = std::min(bytes.size(), diskRoom);
    diskRoom -= written;
    nodes_[folded(path)] = file(std::string(reinterpret_cast<const char*>(bytes.data()), written));
    return {.opened = true, .writeSucceeded = written == bytes.size(), .bytesWritten = written};
}

void RecordingPlatform::deleteFile(const std::u16string& path) {
    const std::optional<Node> found = node(path);
    if (found && !found->directory && !found->locked)
        remove(path);
}

bool RecordingPlatform::copyFileReplacing(const std::u16string& from, const std::u16string& to) {
    copies.emplace_back(from, to);
    const std::optional<std::string> bytes = fileBytes(from);
    if (!bytes || !canWriteFile(to) || bytes->size() > diskRoom)
        return false;
    diskRoom -= bytes->size();
    nodes_[folded(to)] = file(*bytes);
    return true;
}

void RecordingPlatform::createShortcut(const Shortcut& shortcut) {
    shortcuts.push_back(shortcut);
    if (canWriteFile(shortcut.path))
        nodes_[folded(shortcut.path)] = file("link");
}

std::unique_ptr<StartedProcess> RecordingPlatform::startProcess(const std::u16string& program,
                                                                const std::u16string& commandLine) {
    starts.push_back({program, commandLine});
    const auto behaviour = programs_.find(folded(program));
    if (pathKind(program) != PathKind::NonDirectory || behaviour == programs_.end() || !behaviour->second)
        return nullptr;
    return std::make_unique<RecordedProcess>(behaviour->second, commandLine);
}

}  // namespace orlex::bootstrap::test
