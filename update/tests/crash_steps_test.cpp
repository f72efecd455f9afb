// Installs an update while a seam under the engine fails, or kills the process at, each file-system step
// in turn. The seam is this program's own definitions of the C library's file calls, which the dynamic
// linker puts in front of the C library for the engine, the standard library's std::filesystem and
// file streams alike; each reaches the real call through dlsym(RTLD_NEXT). A link-time --wrap would
// miss the directories std::filesystem creates and the bodies std::ofstream writes, since those calls
// are made from inside the shared standard library.
//
// Only calls on paths under the engine root are steps; any other path given to a changing call while
// the seam is armed is recorded as a stray. Steps are numbered across all threads with one counter.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <string_view>

#include "common/failure.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_channel.h"
#include "update/patcher.h"

namespace {

namespace fs = std::filesystem;

enum class Fault : int { Fail, KillBefore, KillAfter };

// Shared with forked children, so that the parent learns where a child was killed.
struct Seam {
    std::atomic<pid_t> process{0};  // the process whose steps are counted; 0 when off
    std::atomic<int> fault{0};
    std::atomic<long> target{0};  // the step that faults
    std::atomic<long> steps{0};
    std::atomic<bool> fired{false};
    std::atomic<long> firedAt{0};  // the number of the step that faulted
    std::atomic<long> strays{0};
    char root[1024]{};     // the engine root, without a trailing separator
    char allowed[1024]{};  // the channel's directory, which the test server serves
    char call[64]{};       // the faulted step
    char path[2048]{};
    char strayCall[64]{};  // the first changing call outside the root
    char strayPath[2048]{};
    char note[2048]{};  // a child's failure
    // When set, the step that faults is the first such call on a path containing matchPath, whatever
    // its number: steps whose numbers shift between runs (threads racing to create one directory) are
    // still reached.
    char matchCall[64]{};
    char matchPath[1024]{};

    // The calls met as steps since the seam was armed, one bit each.
    static constexpr std::array<std::string_view, 19> CALLS = {
        "open",     "open64", "openat",    "fopen",  "mkdir", "write",  "writev", "copy_file_range",
        "sendfile", "fsync",  "fdatasync", "rename", "link",  "linkat", "unlink", "unlinkat",
        "rmdir",    "remove", "chmod"};
    std::atomic<std::uint32_t> seen{0};
    static std::uint32_t bit(std::string_view name) {
        const auto at = std::find(CALLS.begin(), CALLS.end(), name);
        return at == CALLS.end() ? 0 : 1U << (at - CALLS.begin());
    }
    void see(std::string_view name) { seen.fetch_or(bit(name)); }
    bool saw(std::string_view name) const { return (seen.load() & bit(name)) != 0; }
};

Seam* seam = nullptr;

void copyText(char* into, std::size_t size, std::string_view text) {
    const std::size_t n = std::min(size - 1, text.size());
    if (n > 0)
        std::memcpy(into, text.data(), n);
    into[n] = '\0';
}

bool armed() {
    return seam != nullptr && seam->process.load() != 0 && seam->process.load() == ::getpid();
}

void* realSymbol(const char* name) {
    void* symbol = ::dlsym(RTLD_NEXT, name);
    if (symbol == nullptr)
        std::abort();
    return symbol;
}

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(realSymbol(name));
}

std::string absolutePath(const char* path) {
    if (path == nullptr)
        return {};
    if (path[0] == '/')
        return path;
    char cwd[4096];
    return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : std::string(path);
}

// What a descriptor names: a path, or "socket:[…]", "pipe:[…]" and the like.
std::string descriptorPath(int fd) {
    if (fd == AT_FDCWD)
        return absolutePath(".");
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string pathAt(int dirfd, const char* path) {
    if (path != nullptr && path[0] != '/' && dirfd != AT_FDCWD)
        return descriptorPath(dirfd) + "/" + path;
    return absolutePath(path);
}

bool under(std::string_view path, std::string_view dir) {
    return !dir.empty() && path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

enum class Act { Go, Fail, DieAfter };

[[noreturn]] void die() {
    ::kill(::getpid(), SIGKILL);
    ::_exit(137);
}

// Numbers a step when path lies under the root and decides what the call does.
Act step(const char* call, const std::string& path, const std::string& second = {}) {
    const bool inRoot = under(path, seam->root) || under(second, seam->root);
    if (!inRoot) {
        for (const std::string& p : {path, second}) {
            if (p.starts_with('/') && !p.starts_with("/dev/") && !p.starts_with("/proc/") &&
                !under(p, seam->allowed) && seam->strays.fetch_add(1) == 0) {
                copyText(seam->strayCall, sizeof seam->strayCall, call);
                copyText(seam->strayPath, sizeof seam->strayPath, p);
            }
        }
        return Act::Go;
    }
    seam->see(call);
    const long n = seam->steps.fetch_add(1) + 1;
    const bool chosen = seam->matchCall[0] != '\0'
                            ? call == std::string_view(seam->matchCall) &&
                                  (path + second).find(seam->matchPath) != std::string::npos
                            : n == seam->target.load();
    if (!chosen || seam->fired.exchange(true))
        return Act::Go;
    seam->firedAt = n;
    copyText(seam->call, sizeof seam->call, call);
    copyText(seam->path, sizeof seam->path, second.empty() ? path : path + " → " + second);
    switch (static_cast<Fault>(seam->fault.load())) {
        case Fault::Fail:
            return Act::Fail;
        case Fault::KillBefore:
            die();
        case Fault::KillAfter:
            return Act::DieAfter;
    }
    return Act::Go;
}

template <typename Result>
Result failed(Result value, int error) {
    errno = error;
    return value;
}

template <typename Result>
Result after(Act act, Result result) {
    if (act == Act::DieAfter)
        die();
    return result;
}

bool changes(int flags) {
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

int openWith(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
    using Open = int (*)(const char*, int, ...);
    using OpenAt = int (*)(int, const char*, int, ...);
    static const Open open = real<Open>("open");
    static const Open open64 = real<Open>("open64");
    static const OpenAt openat = real<OpenAt>("openat");
    const Act act = armed() && changes(flags) ? step(name, pathAt(dirfd, path)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, ENOSPC);
    const std::string_view call = name;
    const int fd = call == "openat"   ? openat(dirfd, path, flags, mode)
                   : call == "open64" ? open64(path, flags, mode)
                                      : open(path, flags, mode);
    return after(act, fd);
}

mode_t modeArgument(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(arguments, int))
               : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openWith("open", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openWith("open64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openWith("openat", dirfd, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
    static const auto next = real<FILE* (*)(const char*, const char*)>("fopen");
    const bool writes = std::strpbrk(mode, "wa+") != nullptr;
    const Act act = armed() && writes ? step("fopen", absolutePath(path)) : Act::Go;
    if (act == Act::Fail)
        return failed<FILE*>(nullptr, ENOSPC);
    return after(act, next(path, mode));
}

FILE* fopen64(const char* path, const char* mode) {
    static const auto next = real<FILE* (*)(const char*, const char*)>("fopen64");
    const bool writes = std::strpbrk(mode, "wa+") != nullptr;
    const Act act = armed() && writes ? step("fopen", absolutePath(path)) : Act::Go;
    if (act == Act::Fail)
        return failed<FILE*>(nullptr, ENOSPC);
    return after(act, next(path, mode));
}

int mkdir(const char* path, mode_t mode) {
    static const auto next = real<int (*)(const char*, mode_t)>("mkdir");
    const Act act = armed() ? step("mkdir", absolutePath(path)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, ENOSPC);
    return after(act, next(path, mode));
}

ssize_t write(int fd, const void* data, size_t size) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
    const Act act = armed() ? step("write", descriptorPath(fd)) : Act::Go;
    if (act == Act::Fail)
        return failed<ssize_t>(-1, ENOSPC);
    return after(act, next(fd, data, size));
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    static const auto next = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
    const Act act = armed() ? step("writev", descriptorPath(fd)) : Act::Go;
    if (act == Act::Fail)
        return failed<ssize_t>(-1, ENOSPC);
    return after(act, next(fd, parts, count));
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size, unsigned flags) {
    static const auto next =
        real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range");
    const Act act = armed() ? step("copy_file_range", descriptorPath(out)) : Act::Go;
    if (act == Act::Fail)
        return failed<ssize_t>(-1, ENOSPC);
    return after(act, next(in, inOffset, out, outOffset, size, flags));
}

ssize_t sendfile(int out, int in, off_t* offset, size_t size) {
    static const auto next = real<ssize_t (*)(int, int, off_t*, size_t)>("sendfile");
    const Act act = armed() ? step("sendfile", descriptorPath(out)) : Act::Go;
    if (act == Act::Fail)
        return failed<ssize_t>(-1, ENOSPC);
    return after(act, next(out, in, offset, size));
}

int fsync(int fd) {
    static const auto next = real<int (*)(int)>("fsync");
    const Act act = armed() ? step("fsync", descriptorPath(fd)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(fd));
}

int fdatasync(int fd) {
    static const auto next = real<int (*)(int)>("fdatasync");
    const Act act = armed() ? step("fdatasync", descriptorPath(fd)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(fd));
}

int rename(const char* from, const char* to) {
    static const auto next = real<int (*)(const char*, const char*)>("rename");
    const Act act = armed() ? step("rename", absolutePath(from), absolutePath(to)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(from, to));
}

int link(const char* from, const char* to) {
    static const auto next = real<int (*)(const char*, const char*)>("link");
    const Act act = armed() ? step("link", absolutePath(from), absolutePath(to)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, ENOSPC);
    return after(act, next(from, to));
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    static const auto next = real<int (*)(int, const char*, int, const char*, int)>("linkat");
    const Act act = armed() ? step("linkat", pathAt(fromDir, from), pathAt(toDir, to)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, ENOSPC);
    return after(act, next(fromDir, from, toDir, to, flags));
}

int unlink(const char* path) {
    static const auto next = real<int (*)(const char*)>("unlink");
    const Act act = armed() ? step("unlink", absolutePath(path)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(path));
}

int unlinkat(int dirfd, const char* path, int flags) {
    static const auto next = real<int (*)(int, const char*, int)>("unlinkat");
    const Act act = armed() ? step("unlinkat", pathAt(dirfd, path)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(dirfd, path, flags));
}

int rmdir(const char* path) {
    static const auto next = real<int (*)(const char*)>("rmdir");
    const Act act = armed() ? step("rmdir", absolutePath(path)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(path));
}

int remove(const char* path) {
    static const auto next = real<int (*)(const char*)>("remove");
    const Act act = armed() ? step("remove", absolutePath(path)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(path));
}

int chmod(const char* path, mode_t mode) {
    static const auto next = real<int (*)(const char*, mode_t)>("chmod");
    const Act act = armed() ? step("chmod", absolutePath(path)) : Act::Go;
    if (act == Act::Fail)
        return failed(-1, EIO);
    return after(act, next(path, mode));
}

}  // extern "C"

namespace orlex::update {
namespace {

using test::readFile;
using test::TestChannel;

const TestChannel::Files FIRST = {
    {"app/game.jar", test::randomBytes(40'000, 1)},
    {"app/lib/engine.bin", test::randomBytes(30'000, 2)},
    {"assets/intro.bin", test::randomBytes(20'000, 3)},
    {"assets/old.dat", "obsolete"},
    {"+x runtime/bin/java", "#!/bin/sh\necho runtime\n"},
    {"+x runtime/bin/setup.sh", "#!/bin/sh\necho setup\n"},
};

// Some files changed, some kept (one of them no longer executable, so copied rather than linked), one
// removed, one new directory.
TestChannel::Files secondRelease() {
    TestChannel::Files files = FIRST;
    files.erase("assets/old.dat");
    const std::string setup = files.at("+x runtime/bin/setup.sh");
    files.erase("+x runtime/bin/setup.sh");
    files["runtime/bin/setup.sh"] = setup;
    files["app/game.jar"] = test::randomBytes(45'000, 4);
    files["app/config/display.json"] = "{\"width\": 1280}";
    files["assets/maps/level1.map"] = test::randomBytes(10'000, 5);
    return files;
}

// Every node under dir, directories included: kind and bytes by relative path.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> nodes;
    for (const auto& node : fs::recursive_directory_iterator(dir)) {
        const std::string name = node.path().lexically_relative(dir).generic_string();
        nodes[name] = node.is_directory() ? "<dir>" : readFile(node.path());
    }
    return nodes;
}

class CrashSteps : public ::testing::Test {
protected:
    static constexpr unsigned WATCHDOG_SECONDS = 300;  // a child still running then has hung

    void SetUp() override {
        // Mapped once and never unmapped: the test server's threads may still be writing when a test
        // ends, and every write looks at the seam.
        if (seam == nullptr) {
            void* shared =
                ::mmap(nullptr, sizeof(Seam), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            ASSERT_NE(shared, MAP_FAILED);
            seam = new (shared) Seam();
        }
        disarm();
        const fs::path base = fs::canonical(dir.path());
        root = base / "root";
        pristine = base / "pristine";
        outside = base / "outside";
        test::writeFile(outside / "saves" / "slot1.dat", "partie sauvegardée");
        copyText(seam->root, sizeof seam->root, root.string());
        copyText(seam->allowed, sizeof seam->allowed, fs::canonical(channel.channelDir()).string());

        firstId = channel.publish(FIRST, 1);
        auto engine = channel.engine(pristine);
        engine->install(engine->plan(engine->remote()));
        firstName = readFile(pristine / "current");
        secondId = channel.publish(secondRelease(), 2);
        second = engine->remote();
        outsideBefore = snapshot(outside);
    }

    // Release 1 installed, as the engine left it.
    void restore() {
        fs::remove_all(root);
        fs::copy(pristine, root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }

    void arm(long target, Fault fault, std::string_view call = {}, std::string_view path = {}) {
        copyText(seam->matchCall, sizeof seam->matchCall, call);
        copyText(seam->matchPath, sizeof seam->matchPath, path);
        seam->steps = 0;
        seam->fired = false;
        seam->strays = 0;
        seam->seen = 0;
        seam->call[0] = seam->path[0] = seam->note[0] = '\0';
        seam->target = target;
        seam->fault = static_cast<int>(fault);
        seam->process = ::getpid();
    }
    static void disarm() { seam->process = 0; }

    static std::string faultedStep() {
        return "step " + std::to_string(seam->firedAt.load()) + " (" + seam->call + " " + seam->path + ")";
    }

    // After an installation faulted at some step: the pointer names release 1 or 2 whole, what it names
    // verifies, and nothing outside the root changed.
    void expectConsistent(const std::string& where) {
        const fs::path current = root / "current";
        const std::string pointer = fs::is_regular_file(fs::symlink_status(current)) ? readFile(current) : "";
        const bool first = pointer == firstName;
        const bool next = pointer.size() == firstName.size() && pointer.starts_with(secondId + "-") &&
                          fs::is_directory(root / "releases" / pointer);
        ASSERT_TRUE(first || next) << where << ": the pointer is missing or holds \"" << pointer << "\"";
        auto engine = channel.engine(root);
        try {
            (void)engine->verifiedRelease();
            EXPECT_EQ(engine->installed()->id, first ? firstId : secondId) << where;
        } catch (const std::exception& failure) {
            ADD_FAILURE() << where << ": the release " << (first ? "1" : "2")
                          << " the pointer names does not verify: " << failure.what();
        }
        EXPECT_EQ(snapshot(outside), outsideBefore) << where;
        EXPECT_EQ(seam->strays.load(), 0) << where << ": " << seam->strayCall << " " << seam->strayPath;
    }

    // A fresh installation on the same root completes and leaves release 2 verified.
    void expectRecovers(Patcher& engine, const std::string& where) {
        try {
            engine.install(engine.plan(engine.remote()));
            EXPECT_EQ(engine.installed()->id, secondId) << where;
            const fs::path active = engine.verifiedRelease();
            EXPECT_EQ(readFile(active / "app/config/display.json"), "{\"width\": 1280}") << where;
            EXPECT_FALSE(fs::exists(active / "assets/old.dat")) << where;
        } catch (const std::exception& failure) {
            ADD_FAILURE() << where << ": the next installation fails: " << failure.what();
        }
        EXPECT_EQ(snapshot(outside), outsideBefore) << where;
    }

    // A whole installation met every kind of step: creating files and directories, writing, copying,
    // flushing, renaming, linking, removing, changing modes, and the pointer write.
    static void expectEveryKindOfStep() {
        for (const char* call : {"open", "fopen", "mkdir", "writev", "copy_file_range", "fsync", "fdatasync",
                                 "rename", "linkat", "unlink", "rmdir", "chmod"})
            EXPECT_TRUE(seam->saw(call)) << "no step was " << call;
        EXPECT_TRUE(seam->saw("write") || seam->saw("writev"));
    }

    // Installs release 2 with step n (or the step matching call and path) failing; false once the
    // installation completed without reaching it.
    bool failedAt(long n, std::string_view call = {}, std::string_view path = {}) {
        restore();
        auto engine = channel.engine(root);
        const Plan plan = engine->plan(second);
        arm(n, Fault::Fail, call, path);
        std::string failure;
        try {
            engine->install(plan);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        disarm();
        if (!seam->fired) {
            EXPECT_EQ(failure, "") << "an installation without a fault fails";
            expectConsistent("a whole installation of " + std::to_string(seam->steps.load()) + " steps");
            EXPECT_EQ(readFile(root / "current").substr(0, 64), secondId);
            expectEveryKindOfStep();
            return false;
        }
        const std::string where = faultedStep();
        expectConsistent(where);
        expectRecovers(*engine, where);
        return true;
    }

    // Runs the installation of release 2 in a child killed at step n; returns false once the child
    // completed without reaching it.
    bool killedAt(long n, Fault fault, std::string_view call = {}, std::string_view path = {}) {
        restore();
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(WATCHDOG_SECONDS);
            int code = 0;
            try {
                auto engine = channel.engine(root);
                const Plan plan = engine->plan(second);
                arm(n, fault, call, path);
                engine->install(plan);
                disarm();
            } catch (const std::exception& failure) {
                copyText(seam->note, sizeof seam->note, failure.what());
                code = 3;
            }
            ::_exit(code);
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        disarm();
        const std::string where = faultedStep();
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !seam->fired) {
            expectConsistent("a whole installation of " + std::to_string(seam->steps.load()) + " steps");
            EXPECT_EQ(readFile(root / "current").substr(0, 64), secondId);
            expectEveryKindOfStep();
            return false;
        }
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL || !seam->fired) {
            ADD_FAILURE() << where << ": the child did not die at the step but "
                          << (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? std::string("hung")
                              : WIFSIGNALED(status) ? "died of signal " + std::to_string(WTERMSIG(status))
                                                    : "exited with " + std::to_string(WEXITSTATUS(status)))
                          << " " << seam->note;
            return true;
        }
        expectConsistent(where);
        auto fresh = channel.engine(root);
        expectRecovers(*fresh, where);
        return true;
    }

    // Kills an installation at every step in turn; returns the number of steps of a whole installation.
    long killEveryStep(Fault fault) {
        for (long n = 1;; ++n) {
            if (!killedAt(n, fault))
                return n - 1;
            if (HasFailure())
                return n;
        }
    }

    TestChannel channel;
    test::TempDir dir;
    fs::path root;
    fs::path pristine;
    fs::path outside;
    std::string firstId;
    std::string firstName;
    std::string secondId;
    Signed second;
    std::map<std::string, std::string> outsideBefore;
    // The pointer write's steps, each faulted by name after the numbered ones.
    static constexpr std::array<const char*, 4> POINTER_STEPS = {"open", "write", "fsync", "rename"};
};

// Every step the installation makes (creating, writing, flushing, renaming, removing, the pointer
// write) is in turn made to fail with an I/O error: the installation fails cleanly or absorbs the
// error, and the same engine then installs the release.
TEST_F(CrashSteps, AnInstallationFailingAtAnyStepLeavesAConsistentRootAndTheNextOneCompletes) {
    long n = 1;
    while (failedAt(n) && !HasFailure())
        ++n;
    if (HasFailure())
        return;
    EXPECT_GE(n - 1, 40);
    for (const char* call : POINTER_STEPS) {
        EXPECT_TRUE(failedAt(0, call, (root / "current.tmp-").string())) << "the pointer's " << call;
        if (HasFailure())
            return;
    }
}

// A child process installs and is killed at every step in turn, before the step takes effect and just
// after: the root stays consistent and a fresh engine installs the release.
TEST_F(CrashSteps, AnInstallationKilledAtAnyStepLeavesAConsistentRootAndAFreshEngineCompletes) {
    for (const Fault fault : {Fault::KillBefore, Fault::KillAfter}) {
        EXPECT_GE(killEveryStep(fault), 40);
        for (const char* call : POINTER_STEPS) {
            if (HasFailure())
                return;
            EXPECT_TRUE(killedAt(0, fault, call, (root / "current.tmp-").string()))
                << "the pointer's " << call;
        }
    }
}

// A resumed body is merged into ".part", then its ".incoming" resists removal once: the body is not
// merged a second time, which would make ".part" outgrow the entry and the file be fetched again whole.
TEST_F(CrashSteps, AResumedBodyIsMergedOnceWhenItsIncomingFileResistsRemoval) {
    restore();
    const std::string jar = TestChannel::blobPath(secondRelease().at("app/game.jar"));
    channel.server().inject(jar, test::Fault::cutAfter(1000));
    auto engine = channel.engine(root);
    const Plan plan = engine->plan(second);
    arm(0, Fault::Fail, "unlink", ".incoming");
    engine->install(plan);
    disarm();
    EXPECT_TRUE(seam->fired) << "no .incoming was removed after a merge";
    EXPECT_EQ(channel.server().bytesServed(jar), 45'000);
    EXPECT_EQ(engine->installed()->id, secondId);
}

}  // namespace
}  // namespace orlex::update
