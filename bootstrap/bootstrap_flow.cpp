#include "bootstrap/bootstrap_flow.h"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace orlex::bootstrap {
namespace {

// Buffer capacities in UTF-16 units, terminator included.
constexpr std::size_t PATH_CAPACITY = 0x8000;          // every path, the system directory, the module name
constexpr std::size_t COMMAND_LINE_CAPACITY = 0xFFFF;  // the archiver and launch command lines

constexpr char16_t MUTEX_NAME[] = u"Local\\OrlexTessalineLauncher";
constexpr char16_t CAPTION[] = u"ORLEX Tessaline";
constexpr char16_t SHORTCUT_DESCRIPTION[] = u"ORLEX Tessaline — Launcher";

constexpr char16_t ALREADY_OPEN[] = u"Le launcher est déjà ouvert.";
constexpr char16_t NO_APP_DATA[] = u"Impossible de trouver AppData.";
constexpr char16_t NO_INSTALL_FOLDER[] = u"Impossible de créer le dossier d'installation.";
constexpr char16_t RUNTIME_NOT_PREPARED[] = u"Impossible de préparer le runtime Java embarqué.";
constexpr char16_t RUNTIME_NOT_INSTALLED[] = u"Le runtime Java embarqué n'a pas pu être installé.";
constexpr char16_t LAUNCHER_NOT_PREPARED[] = u"Impossible de préparer le launcher.";
constexpr char16_t COPY_FAILED[] = u"Impossible d'installer OrlexTessaline.exe dans AppData.";
constexpr char16_t PATH_TOO_LONG[] = u"Le chemin d'installation est trop long.";
constexpr char16_t LAUNCHER_STOPPED[] =
    u"Le launcher s'est arrêté. Consultez AppData\\Local\\OrlexTessaline\\userdata.";

// A buffer after bounded formatting.
struct Formatted {
    std::u16string text;  // at most capacity - 1 units: a longer text is cut there
    bool fits;  // the text's length is at most capacity - 2: one that fills the buffer to its last unit does
                // not fit
};

// Fills each "%ls" of pattern with the next value, into a buffer of capacity units.
Formatted format(std::size_t capacity, std::u16string_view pattern,
                 std::initializer_list<std::u16string_view> values) {
    std::u16string text;
    const std::u16string_view* value = values.begin();
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        if (pattern.substr(at, 3) == u"%ls") {
            text += *value++;
            at += 2;
        } else {
            text += pattern[at];
        }
    }
    const bool fits = text.size() + 2 <= capacity;
    if (text.size() >= capacity)
        text.resize(capacity - 1);
    return {std::move(text), fits};
}

// A path, or a text read into a path buffer, used as formatted.
std::u16string path(std::u16string_view pattern, std::initializer_list<std::u16string_view> values) {
    return format(PATH_CAPACITY, pattern, values).text;
}

// The error box; yields the exit status of every failure before the launch.
int fail(BootstrapPlatform& platform, const std::u16string& text) {
    platform.showMessage(CAPTION, text, MessageIcon::Error);
    return 1;
}

// A directory that already exists, or anything else by that name, counts as created.
bool createDirectoryTolerant(BootstrapPlatform& platform, const std::u16string& directory) {
    return platform.createDirectory(directory) != DirectoryCreation::Failed;
}

bool isExistingFile(BootstrapPlatform& platform, const std::u16string& file) {
    return platform.pathKind(file) == PathKind::NonDirectory;
}

// Nothing is touched when the payload is missing or empty; a failed or short write leaves its partial file.
bool writePayload(BootstrapPlatform& platform, int id, const std::u16string& target) {
    const std::span<const std::byte> bytes = platform.payload(id);
    if (bytes.empty())
        return false;
    const FileWrite written = platform.writeNewFile(target, bytes);
    return written.opened && written.writeSucceeded && written.bytesWritten == bytes.size();
}

// The child's exit status as the installer passes it on; -1 (all 32 bits set) when it cannot start, 1 when
// its status cannot be read.
int runProcess(BootstrapPlatform& platform, const std::u16string& program,
               const std::u16string& commandLine) {
    const std::unique_ptr<StartedProcess> process = platform.startProcess(program, commandLine);
    if (!process)
        return -1;
    process->waitForExit();
    return static_cast<int>(process->exitStatus().value_or(1));
}

}  // namespace

int runBootstrap(BootstrapPlatform& platform, const BootstrapIds& ids) {
    if (platform.claimSingleInstance(MUTEX_NAME) == InstanceClaim::AlreadyRunning) {
        platform.showMessage(CAPTION, ALREADY_OPEN, MessageIcon::Information);
        return 0;
    }

    const std::optional<std::u16string> localAppData = platform.localAppDataFolder();
    if (!localAppData)
        return fail(platform, NO_APP_DATA);

    const std::u16string root = path(u"%ls\\OrlexTessaline", {*localAppData});
    const std::u16string bootstrapDirectory = path(u"%ls\\bootstrap", {root});
    const std::u16string runtimeDirectory = path(u"%ls\\runtime-%ls", {bootstrapDirectory, ids.runtimeId});
    const std::u16string runtimeProgram = path(u"%ls\\bin\\orlex-launcher.exe", {runtimeDirectory});
    const std::u16string launcherArchive =
        path(u"%ls\\launcher-%ls.zip", {bootstrapDirectory, ids.launcherId});
    const std::u16string runtimeZip = path(u"%ls\\runtime-%ls.zip", {bootstrapDirectory, ids.runtimeId});

    if (!createDirectoryTolerant(platform, root) || !createDirectoryTolerant(platform, bootstrapDirectory))
        return fail(platform, NO_INSTALL_FOLDER);

    if (!isExistingFile(platform, runtimeProgram)) {
        if (!createDirectoryTolerant(platform, runtimeDirectory) ||
            !writePayload(platform, RUNTIME_PAYLOAD, runtimeZip))
            return fail(platform, RUNTIME_NOT_PREPARED);
        // Without a system directory there is no archiver to look for.
        const std::optional<std::u16string> systemDirectory = platform.systemDirectory();
        if (!systemDirectory)
            return fail(platform, RUNTIME_NOT_INSTALLED);
        const std::u16string archiver = path(u"%ls\\tar.exe", {path(u"%ls", {*systemDirectory})});
        const std::u16string unpack = format(COMMAND_LINE_CAPACITY, u"\"%ls\" -xf \"%ls\" -C \"%ls\"",
                                             {archiver, runtimeZip, runtimeDirectory})
                                          .text;
        // In this order, stopping at the first that fails; the zip stays for the next run to start over.
        if (!isExistingFile(platform, archiver) || runProcess(platform, archiver, unpack) != 0 ||
            !isExistingFile(platform, runtimeProgram))
            return fail(platform, RUNTIME_NOT_INSTALLED);
        platform.deleteFile(runtimeZip);
    }

    if (!writePayload(platform, LAUNCHER_PAYLOAD, launcherArchive))
        return fail(platform, LAUNCHER_NOT_PREPARED);

    // An unreadable module name can be copied from nowhere: the copy fails.
    const std::optional<std::u16string> moduleFileName = platform.moduleFileName();
    const std::u16string installedExecutable = path(u"%ls\\OrlexTessaline.exe", {root});
    if (!moduleFileName)
        return fail(platform, COPY_FAILED);
    const std::u16string runningExecutable = path(u"%ls", {*moduleFileName});
    if (!platform.samePath(runningExecutable, installedExecutable) &&
        !platform.copyFileReplacing(runningExecutable, installedExecutable))
        return fail(platform, COPY_FAILED);

    // Best effort and silent; an existing shortcut, wherever it points, is never rewritten.
    if (const std::optional<std::u16string> desktop = platform.desktopFolder()) {
        const std::u16string shortcut = path(u"%ls\\ORLEX Tessaline.lnk", {*desktop});
        if (!isExistingFile(platform, shortcut))
            platform.createShortcut({.path = shortcut,
                                     .target = installedExecutable,
                                     .workingDirectory = root,
                                     .description = SHORTCUT_DESCRIPTION,
                                     .iconPath = installedExecutable,
                                     .iconIndex = 0});
    }

    const Formatted launch = format(COMMAND_LINE_CAPACITY, u"\"%ls\" --archive \"%ls\" --root \"%ls\"",
                                    {runtimeProgram, launcherArchive, root});
    if (!launch.fits)
        return fail(platform, PATH_TOO_LONG);

    const int status = runProcess(platform, runtimeProgram, launch.text);
    if (status != 0)
        platform.showMessage(CAPTION, LAUNCHER_STOPPED, MessageIcon::Error);
    platform.releaseSingleInstance();
    return status;
}

}  // namespace orlex::bootstrap
