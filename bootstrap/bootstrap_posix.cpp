// orlex-bootstrap, the installer for Linux: the flow of bootstrap_flow.h over POSIX and the freedesktop
// conventions, carrying its payloads in its own image (bootstrap_payloads.h).
//
// How the flow's Windows terms map here:
//   local application data folder  the XDG data home ($XDG_DATA_HOME when absolute, else ~/.local/share),
//                                  created (0700) when missing; the install root is <it>/OrlexTessaline
//   desktop folder                 $XDG_DESKTOP_DIR, else the XDG_DESKTOP_DIR line of user-dirs.dirs in the
//                                  XDG config home, else ~/Desktop; never created
//   system directory, tar.exe      the directory of the bsdtar found on PATH, and that bsdtar, which unpacks
//                                  zips with the same "-xf ZIP -C DIR"
//   paths                          '\' between names becomes '/'; the flow's own file names lose what only
//                                  Windows uses: bin/orlex-launcher, OrlexTessaline (the installed copy),
//                                  and the desktop shortcut "ORLEX Tessaline.desktop", a desktop entry
//   named mutex                    an exclusive non-blocking flock on <$XDG_RUNTIME_DIR>/<name>.lock (else
//                                  /tmp/<name>-<uid>.lock), held by a close-on-exec descriptor
//   message box                    one line "<caption>: <text>" on standard error, and a desktop
//                                  notification through notify-send when it is on PATH
//   CreateProcessW                 posix_spawn of the program with the command line split back into its words
//                                  (the flow quotes each path whole); a signal's end gives status 128 + n
// Folders this system gives that hold a '\' or a '"' (which a Windows path never holds, so the flow's
// paths and command lines could not carry them) count as folders that cannot be resolved.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bootstrap/bootstrap_flow.h"
#include "bootstrap/bootstrap_payloads.h"
#include "bootstrap/bootstrap_platform.h"

extern char** environ;

namespace orlex::bootstrap {
namespace {

// The flow's file names that are named otherwise here.
constexpr std::pair<std::string_view, std::string_view> NATIVE_NAMES[] = {
    {"orlex-launcher.exe", "orlex-launcher"},
    {"OrlexTessaline.exe", "OrlexTessaline"},
    {"tar.exe", "bsdtar"},
    {"ORLEX Tessaline.lnk", "ORLEX Tessaline.desktop"},
};
constexpr const char* ARCHIVER = "bsdtar";
constexpr const char* NOTIFIER = "notify-send";
constexpr std::size_t COPY_BLOCK = 1 << 20;

// An owned file descriptor; closing it is the last use.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor() { close(); }

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    // False when closing reports a failure (the last chance to hear of a lost write).
    bool close() {
        if (fd_ < 0)
            return true;
        return ::close(std::exchange(fd_, -1)) == 0;
    }

private:
    int fd_;
};

// UTF-16 of the flow to the UTF-8 of file names and messages; a lone surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A file name of this system as UTF-16; nullopt when it is not well-formed UTF-8.
std::optional<std::u16string> toUtf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80                   ? 1
                                   : lead >= 0xC2 && lead < 0xE0 ? 2
                                   : lead >= 0xE0 && lead < 0xF0 ? 3
                                   : lead >= 0xF0 && lead < 0xF5 ? 4
                                                                 : 0;
        if (length == 0 || i + length > text.size())
            return std::nullopt;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            c = (c << 6) | (next & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return std::nullopt;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return out;
}

// A path of the flow, in Windows form (as UTF-8), as this system names it.
std::string nativePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::size_t name = path.rfind('/') + 1;  // 0 without a '/'
    for (const auto& [windows, native] : NATIVE_NAMES) {
        if (std::string_view(path).substr(name) == windows) {
            path.replace(name, std::string::npos, native);
            break;
        }
    }
    return path;
}

std::string nativePath(std::u16string_view flowPath) {
    return nativePath(toUtf8(flowPath));
}

// A folder of this system as the flow takes it: absolute, without a trailing '/', and without the characters
// a Windows path cannot hold; nullopt otherwise.
std::optional<std::u16string> flowFolder(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (!folder.starts_with('/') || folder.find_first_of("\\\"") != std::string::npos)
        return std::nullopt;
    return toUtf16(folder);
}

// The value of an environment variable that names a folder: absolute, else not set.
std::optional<std::string> absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/')
        return std::nullopt;
    return std::string(value);
}

std::optional<std::string> homeFolder() {
    if (std::optional<std::string> home = absoluteVariable("HOME"))
        return home;
    const passwd* entry = ::getpwuid(::getuid());  // the flow's one thread: the static result is ours
    if (!entry || !entry->pw_dir || entry->pw_dir[0] != '/')
        return std::nullopt;
    return std::string(entry->pw_dir);
}

// Makes every missing level of an absolute folder (mode 0700, as the XDG data home asks); true when the
// folder then exists as a directory.
bool createFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string level = folder.substr(0, slash);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat status {};
    return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The desktop folder of user-dirs.dirs in the XDG config home: the line XDG_DESKTOP_DIR="$HOME/..." or
// XDG_DESKTOP_DIR="/...", as xdg-user-dirs writes it.
std::optional<std::string> userDirsDesktop(const std::string& home) {
    const std::string config = absoluteVariable("XDG_CONFIG_HOME").value_or(home + "/.config");
    std::ifstream file(config + "/user-dirs.dirs");
    constexpr std::string_view KEY = "XDG_DESKTOP_DIR=\"";
    for (std::string line; std::getline(file, line);) {
        if (!line.starts_with(KEY) || !line.ends_with('"') || line.size() < KEY.size() + 1)
            continue;
        const std::string value = line.substr(KEY.size(), line.size() - KEY.size() - 1);
        if (value == "$HOME" || value.starts_with("$HOME/"))
            return home + value.substr(5);
        if (value.starts_with('/'))
            return value;
    }
    return std::nullopt;
}

// The directory of a program found on PATH (the system's default search path when PATH is not set);
// relative entries are passed over.
std::optional<std::string> directoryOnPath(const std::string& program) {
    std::string search;
    if (const char* path = std::getenv("PATH")) {
        search = path;
    } else {
        search.resize(::confstr(_CS_PATH, nullptr, 0));
        ::confstr(_CS_PATH, search.data(), search.size());
        search.resize(search.find('\0'));
    }
    for (std::size_t begin = 0; begin <= search.size();) {
        const std::size_t end = std::min(search.find(':', begin), search.size());
        const std::string directory = search.substr(begin, end - begin);
        begin = end + 1;
        if (!directory.starts_with('/'))
            continue;
        const std::string candidate = directory + "/" + program;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return directory;
    }
    return std::nullopt;
}

// The words of a command line the flow built: blanks separate words, a double quote opens or closes a
// part in which blanks belong to the word, and every other character stands for itself (the flow quotes
// each path whole and no quote can sit inside one). nullopt when a quote is left open.
std::optional<std::vector<std::string>> splitCommandLine(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(std::exchange(word, {}));
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted)
        return std::nullopt;
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

// Writes all of bytes to fd, going on after a write that took part of them; false on a failure.
bool writeAll(int fd, std::span<const std::byte> bytes, std::size_t& written) {
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// A small file written whole, created or truncated with this mode; false when any step fails.
bool writeSmallFile(const std::string& path, std::span<const std::byte> bytes, mode_t mode) {
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    std::size_t written = 0;
    return file.valid() && writeAll(file.get(), bytes, written) && ::fchmod(file.get(), mode) == 0 &&
           file.close();
}

// A desktop entry value: the escapes of the entry file's strings.
std::string entryValue(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// One argument of an Exec line: quoted, with the characters that the quoting reserves escaped and '%'
// doubled (a single one would start a field code).
std::string execArgument(std::string_view argument) {
    std::string out = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            out += '\\';
        out += c;
        if (c == '%')
            out += '%';
    }
    return out + "\"";
}

// A started child; nothing is closed when it goes, as a process id needs no closing.
class PosixProcess final : public StartedProcess {
public:
    explicit PosixProcess(pid_t pid) : pid_(pid) {}

    void waitForExit() override {
        int status = 0;
        pid_t ended;
        while ((ended = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        if (ended == pid_)
            status_ = status;
    }

    std::optional<std::uint32_t> exitStatus() override {
        if (!status_)
            return std::nullopt;
        if (WIFEXITED(*status_))
            return static_cast<std::uint32_t>(WEXITSTATUS(*status_));
        if (WIFSIGNALED(*status_))
            return static_cast<std::uint32_t>(128 + WTERMSIG(*status_));
        return std::nullopt;
    }

private:
    pid_t pid_;
    std::optional<int> status_;
};

// Starts a program with these arguments, the installer's environment and working directory; with
// discardOutput its standard output and error go to /dev/null. No descriptor of ours is passed on: every
// one is opened close-on-exec.
std::optional<pid_t> spawn(const std::string& program, std::vector<std::string> arguments,
                           bool discardOutput) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return std::nullopt;
    if (discardOutput) {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return std::nullopt;
    return pid;
}

class PosixPlatform final : public BootstrapPlatform {
public:
    // Only a lock that another process holds means another installer runs. A lock file that cannot be
    // opened (a runtime folder left from another user after su, a file of another user's in /tmp) must
    // not tell the player so at every start: the next place is tried, and with none the start goes on
    // unguarded.
    InstanceClaim claimSingleInstance(const std::u16string& name) override {
        for (const std::string& file : lockFiles(name)) {
            Descriptor lock(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
            if (!lock.valid())
                continue;
            int locked = 0;
            while ((locked = ::flock(lock.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
            }
            if (locked != 0 && errno == EWOULDBLOCK)
                return InstanceClaim::AlreadyRunning;
            if (locked != 0)
                continue;
            lock_ = std::move(lock);
            return InstanceClaim::Owned;
        }
        return InstanceClaim::Owned;
    }

    void releaseSingleInstance() override {
        ::flock(lock_.get(), LOCK_UN);
        lock_.close();
    }

    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override {
        const std::string line = toUtf8(caption) + ": " + toUtf8(text) + "\n";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        // The desktop's counterpart of the box, when there is one; returns once the notice is handed over.
        const std::optional<std::string> directory = directoryOnPath(NOTIFIER);
        if (!directory)
            return;
        const std::optional<pid_t> notifier =
            spawn(*directory + "/" + NOTIFIER,
                  {NOTIFIER, "--app-name=" + toUtf8(caption),
                   icon == MessageIcon::Error ? "--icon=dialog-error" : "--icon=dialog-information",
                   toUtf8(caption), toUtf8(text)},
                  true);
        if (notifier)
            PosixProcess(*notifier).waitForExit();
    }

    std::optional<std::u16string> localAppDataFolder() override {
        std::optional<std::string> folder = absoluteVariable("XDG_DATA_HOME");
        if (!folder) {
            const std::optional<std::string> home = homeFolder();
            if (!home)
                return std::nullopt;
            folder = *home + "/.local/share";
        }
        std::optional<std::u16string> flow = flowFolder(*folder);
        if (!flow || !createFolders(*folder))
            return std::nullopt;
        return flow;
    }

    std::optional<std::u16string> desktopFolder() override {
        if (const std::optional<std::string> desktop = absoluteVariable("XDG_DESKTOP_DIR"))
            return flowFolder(*desktop);
        const std::optional<std::string> home = homeFolder();
        if (!home)
            return std::nullopt;
        return flowFolder(userDirsDesktop(*home).value_or(*home + "/Desktop"));
    }

    std::optional<std::u16string> systemDirectory() override {
        const std::optional<std::string> directory = directoryOnPath(ARCHIVER);
        return directory ? flowFolder(*directory) : std::nullopt;
    }

    std::optional<std::u16string> moduleFileName() override {
        std::string path(4096, '\0');
        const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= path.size())
            return std::nullopt;
        path.resize(static_cast<std::size_t>(length));
        return flowFolder(path);
    }

    // Names that resolve to one file are the same path here (a link or a doubled '/' on the way included),
    // so that the running installed copy is never copied onto itself.
    bool samePath(const std::u16string& a, const std::u16string& b) override {
        const std::string first = nativePath(a), second = nativePath(b);
        if (first == second)
            return true;
        struct stat one {
        }, other{};
        return ::stat(first.c_str(), &one) == 0 && ::stat(second.c_str(), &other) == 0 &&
               one.st_dev == other.st_dev && one.st_ino == other.st_ino;
    }

    DirectoryCreation createDirectory(const std::u16string& path) override {
        if (::mkdir(nativePath(path).c_str(), 0777) == 0)
            return DirectoryCreation::Created;
        return errno == EEXIST ? DirectoryCreation::AlreadyExists : DirectoryCreation::Failed;
    }

    PathKind pathKind(const std::u16string& path) override {
        struct stat status {};
        if (::stat(nativePath(path).c_str(), &status) != 0)
            return PathKind::Missing;
        return S_ISDIR(status.st_mode) ? PathKind::Directory : PathKind::NonDirectory;
    }

    std::span<const std::byte> payload(int id) override { return embeddedPayload(id); }

    // A write that stops early (a signal, a full disk) is followed by another from where it stopped, as
    // POSIX lets a write take part of a block; the first failure ends it.
    FileWrite writeNewFile(const std::u16string& path, std::span<const std::byte> bytes) override {
        FileWrite result;
        Descriptor file(::open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.valid())
            return result;
        result.opened = true;
        result.writeSucceeded = writeAll(file.get(), bytes, result.bytesWritten);
        ::fsync(file.get());
        file.close();
        return result;
    }

    void deleteFile(const std::u16string& path) override { ::unlink(nativePath(path).c_str()); }

    // Copies into a file beside the target and renames it over the target: a copy of this program that
    // is running keeps its own file, and no reader ever sees half a program. The permission bits go with
    // the bytes, as the copy must stay executable.
    bool copyFileReplacing(const std::u16string& from, const std::u16string& to) override {
        const std::string target = nativePath(to);
        const std::string partial = target + ".part";
        Descriptor source(::open(nativePath(from).c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (!source.valid() || ::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode))
            return false;
        ::unlink(partial.c_str());
        Descriptor copy(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!copy.valid())
            return false;
        bool copied = true;
        std::vector<std::byte> block(COPY_BLOCK);
        for (;;) {
            const ssize_t n = ::read(source.get(), block.data(), block.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                copied = n == 0;
                break;
            }
            std::size_t written = 0;
            if (!writeAll(copy.get(), std::span(block).first(static_cast<std::size_t>(n)), written)) {
                copied = false;
                break;
            }
        }
        copied = copied && ::fchmod(copy.get(), status.st_mode & 07777) == 0 && ::fsync(copy.get()) == 0;
        copied = copy.close() && copied && ::rename(partial.c_str(), target.c_str()) == 0;
        if (!copied)
            ::unlink(partial.c_str());
        return copied;
    }

    // A desktop entry that starts the target in its working directory, named after the link file, with
    // the description as its comment. An ELF program carries no icon the desktop can read, so the
    // program's icon is written beside the icon path as "<icon path>.png" and named by the entry; the
    // icon index has no counterpart. Every failure is silent; without the icon the entry has none.
    void createShortcut(const Shortcut& shortcut) override {
        const std::string path = nativePath(shortcut.path);
        const std::string icon = nativePath(shortcut.iconPath) + ".png";
        std::string name = path.substr(path.rfind('/') + 1);
        name = name.substr(0, name.rfind('.'));
        std::string entry = "[Desktop Entry]\nType=Application\nVersion=1.0\nName=" + entryValue(name) +
                            "\nComment=" + entryValue(toUtf8(shortcut.description)) +
                            "\nExec=" + entryValue(execArgument(nativePath(shortcut.target))) +
                            "\nPath=" + entryValue(nativePath(shortcut.workingDirectory)) + "\n";
        const std::span<const std::byte> image = embeddedIcon();
        if (!image.empty() && writeSmallFile(icon, image, 0644))
            entry += "Icon=" + entryValue(icon) + "\n";
        entry += "Terminal=false\nCategories=Game;\n";
        // Executable: desktops start only entries on the desktop that their owner may execute.
        writeSmallFile(path, std::as_bytes(std::span(entry)), 0755);
    }

    std::unique_ptr<StartedProcess> startProcess(const std::u16string& program,
                                                 const std::u16string& commandLine) override {
        const std::optional<std::vector<std::string>> words = splitCommandLine(toUtf8(commandLine));
        if (!words || words->empty())
            return nullptr;
        // Each word is an option or a path of the flow; an option reads the same in either form.
        std::vector<std::string> arguments;
        for (const std::string& word : *words)
            arguments.push_back(nativePath(word));
        const std::optional<pid_t> pid = spawn(nativePath(program), std::move(arguments), false);
        if (!pid)
            return nullptr;
        return std::make_unique<PosixProcess>(*pid);
    }

private:
    // The lock files of a named mutex, in the order they are tried: its name after the namespace
    // ("Local\"), in the session's runtime folder, then in /tmp under a name of this user's.
    static std::vector<std::string> lockFiles(const std::u16string& mutexName) {
        const std::string name = toUtf8(std::u16string_view(mutexName).substr(mutexName.rfind(u'\\') + 1));
        std::vector<std::string> files;
        if (const std::optional<std::string> runtime = absoluteVariable("XDG_RUNTIME_DIR"))
            files.push_back(*runtime + "/" + name + ".lock");
        files.push_back("/tmp/" + name + "-" + std::to_string(::getuid()) + ".lock");
        return files;
    }

    Descriptor lock_;  // holds the flock from the claim to the release
};

}  // namespace
}  // namespace orlex::bootstrap

// The installer reads no arguments: a player starts it by hand, or its desktop entry does.
int main() {
    // Started with SIGCHLD ignored, this process would have the system reap its children, and their
    // statuses (the unpack's, the launcher's) would be lost; its children would inherit the same.
    ::signal(SIGCHLD, SIG_DFL);
    orlex::bootstrap::PosixPlatform platform;
    return orlex::bootstrap::runBootstrap(platform, orlex::bootstrap::embeddedIds());
}
