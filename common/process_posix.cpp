#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/failure.h"
#include "common/process.h"

extern char** environ;

namespace orlex::common {
namespace {

[[noreturn]] void failStart(const std::string& program, const std::string& reason) {
    throw IoFailure("Démarrage impossible : " + program + " (" + reason + ")");
}

void check(int result, const std::string& program) {
    if (result != 0)
        failStart(program, std::strerror(result));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { ::close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

class FileActions {
public:
    FileActions() { ::posix_spawn_file_actions_init(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class Attributes {
public:
    Attributes() { ::posix_spawnattr_init(&attributes_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    ~Attributes() { ::posix_spawnattr_destroy(&attributes_); }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// A NUL inside a word would silently cut it short on its way to the child.
void checkText(const std::string& text, const std::string& program) {
    if (text.find('\0') != std::string::npos)
        failStart(program, "caractère nul dans « " + text.substr(0, text.find('\0')) + " »");
}

// This process's environment with the edits applied in order, as "name=value" entries.
std::vector<std::string> editedEnvironment(const std::vector<EnvironmentEdit>& edits,
                                           const std::string& program) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    for (const EnvironmentEdit& edit : edits) {
        if (edit.name.empty() || edit.name.find('=') != std::string::npos)
            failStart(program, "nom de variable invalide « " + edit.name + " »");
        checkText(edit.name, program);
        const std::string prefix = edit.name + "=";
        std::erase_if(entries, [&](const std::string& entry) { return entry.starts_with(prefix); });
        if (edit.value) {
            checkText(*edit.value, program);
            entries.push_back(prefix + *edit.value);
        }
    }
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The output file, opened above the standard descriptors so that dup2 in the child always makes a
// fresh copy.
int openOutput(const std::filesystem::path& path, const std::string& program) {
    const int opened = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (opened < 0)
        failStart(program, path.string() + " : " + std::strerror(errno));
    if (opened > 2)
        return opened;
    const int moved = ::fcntl(opened, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(opened);
    if (moved < 0)
        failStart(program, path.string() + " : " + std::strerror(error));
    return moved;
}

// The child's exit code once waitpid with options reports its end; nullopt while it runs (WNOHANG).
std::optional<int> reap(std::int64_t pid, int options, const std::string& program) {
    int status = 0;
    pid_t ended;
    do {
        ended = ::waitpid(static_cast<pid_t>(pid), &status, options);
    } while (ended < 0 && errno == EINTR);
    if (ended < 0)
        throw IoFailure("Processus introuvable : " + program + " (" + std::strerror(errno) + ")");
    if (ended == 0)
        return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildProcess ChildProcess::start(const ProcessSpec& spec) {
    const std::string name = spec.program.string();
    // With SIGCHLD ignored (a parent may hand that on), the system reaps children itself and their
    // statuses are lost to this process: it collects them, so the default comes back first.
    struct sigaction childSignal {};
    if (::sigaction(SIGCHLD, nullptr, &childSignal) == 0 && childSignal.sa_handler == SIG_IGN)
        ::signal(SIGCHLD, SIG_DFL);
    // The child enters its working directory before it runs the program: a relative path with a
    // directory part is made absolute here so that it names the same file as on Windows.
    std::filesystem::path program = spec.program;
    if (program.has_parent_path() && program.is_relative()) {
        std::error_code error;
        program = std::filesystem::absolute(program, error);
        if (error)
            failStart(name, error.message());
    }

    FileActions actions;
    check(::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0), name);
    std::optional<Descriptor> output;
    if (spec.outputFile) {
        output.emplace(openOutput(*spec.outputFile, name));
        check(::posix_spawn_file_actions_adddup2(actions.get(), output->get(), 1), name);
        check(::posix_spawn_file_actions_adddup2(actions.get(), output->get(), 2), name);
    }
    if (spec.workingDirectory)
        check(::posix_spawn_file_actions_addchdir_np(actions.get(), spec.workingDirectory->c_str()), name);
    // Libraries of this process open descriptors without close-on-exec; none of them reaches the child.
    check(::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3), name);

    // Signals this process ignores (SIGPIPE) or blocks would stay so across exec: the child starts with
    // every signal at its default and none blocked.
    Attributes attributes;
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    check(::posix_spawnattr_setsigmask(attributes.get(), &none), name);
    check(::posix_spawnattr_setsigdefault(attributes.get(), &all), name);
    check(::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF), name);

    std::vector<std::string> words{spec.program.string()};
    for (const std::string& argument : spec.arguments) {
        checkText(argument, name);
        words.push_back(argument);
    }
    std::vector<char*> argv = pointersTo(words);
    std::vector<std::string> environment;
    std::vector<char*> envp;
    if (!spec.environment.empty()) {
        environment = editedEnvironment(spec.environment, name);
        envp = pointersTo(environment);
    }

    pid_t pid = 0;
    check(::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                         envp.empty() ? environ : envp.data()),
          name);
    return ChildProcess(name, pid, 0);
}

std::optional<int> ChildProcess::poll() {
    if (!exitCode_ && pid_ != 0)
        exitCode_ = reap(pid_, WNOHANG, program_);
    return exitCode_;
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (pid_ == 0)
        throw std::logic_error("ChildProcess::terminate without a child");
    const auto signal = [this](int number) {
        // An unreaped child always exists for kill(), even once it has ended.
        if (::kill(static_cast<pid_t>(pid_), number) != 0)
            throw IoFailure("Arrêt impossible : " + program_ + " (" + std::strerror(errno) + ")");
    };
    if (const std::optional<int> code = poll())
        return *code;
    signal(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        if (const std::optional<int> code = poll())
            return *code;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    signal(SIGKILL);
    exitCode_ = reap(pid_, 0, program_);
    return *exitCode_;
}

void ChildProcess::release() noexcept {
    if (pid_ != 0 && !exitCode_) {
        int status = 0;
        while (::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG) < 0 && errno == EINTR) {
        }
    }
    pid_ = 0;
}

bool waitForProcessEnd(std::int64_t pid, std::chrono::milliseconds timeout) {
    const auto failed = [pid](int error) {
        return IoFailure("Attente impossible du processus " + std::to_string(pid) + " (" +
                         std::strerror(error) + ")");
    };
#ifdef SYS_pidfd_open
    // A pidfd becomes readable when the process ends, even before its parent reaps it.
    if (const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0); fd >= 0) {
        const Descriptor watched(static_cast<int>(fd));
        pollfd entry{watched.get(), POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const int ready = ::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
            if (ready > 0)
                return true;
            if (ready == 0)
                return false;
            if (errno != EINTR)
                throw failed(errno);
        }
    } else if (errno == ESRCH) {
        return true;
    } else if (errno != ENOSYS) {
        throw failed(errno);
    }
#endif
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (::kill(static_cast<pid_t>(pid), 0) != 0) {
            if (errno == ESRCH)
                return true;
            throw failed(errno);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace orlex::common
