#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orlex::common {

// One change to the environment a child inherits: value set, or the variable removed (nullopt).
// Names compare exactly on POSIX and without regard to case on Windows, as each host does.
struct EnvironmentEdit {
    std::string name;
    std::optional<std::string> value;
};

// What to start: never through a shell, so no word is ever re-split or expanded. Text is UTF-8.
struct ProcessSpec {
    // A path with a directory part is taken as it stands (relative to this process's working
    // directory); a bare file name is looked up the host's way: this process's PATH on POSIX, the
    // CreateProcessW search (program directory, working directory, system directories, PATH) on
    // Windows. On Windows it must be an executable, not a batch file.
    std::filesystem::path program{};
    std::vector<std::string> arguments{};                     // after the program, handed over exactly
    std::optional<std::filesystem::path> workingDirectory{};  // nullopt: this process's
    std::vector<EnvironmentEdit> environment{};  // applied in order to this process's; the rest is inherited
    // nullopt: the child writes to this process's standard output and error. Otherwise both go to this
    // file, created or emptied first, in the order the child writes them.
    std::optional<std::filesystem::path> outputFile{};
};

// How long a child asked to terminate on POSIX has to end after SIGTERM before it gets SIGKILL.
inline constexpr std::chrono::milliseconds TERMINATE_GRACE{2000};

// The owner of one started child process. Bodies: process_posix.cpp (posix_spawn; the child gets no
// descriptor of this process beyond its three standard ones) and process_win.cpp (CreateProcessW; the
// child inherits only its three standard handles and gets no console window). The child's standard
// input is always the null device. Not thread-safe: one thread at a time uses an owner.
//
// Destroying the owner never blocks and never ends the child: a child that has ended is reaped (no
// zombie stays behind on POSIX); a child still running is left running, and the system keeps its exit
// status until this process ends. Call terminate() first for a child that must not outlive its owner.
class ChildProcess {
public:
    // Starts the child. Fails with IoFailure("Démarrage impossible : <program> (<reason>)") when the
    // output file cannot be opened, the working directory cannot be entered or the program cannot be
    // run; no child is left behind then.
    static ChildProcess start(const ProcessSpec& spec);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // The child's process id, also after it ended.
    std::int64_t pid() const { return pid_; }

    // The exit code once the child has ended, else nullopt; never waits. A POSIX child ended by a
    // signal reports 128 + the signal number, as shells do. Fails with IoFailure when the system
    // cannot tell.
    std::optional<int> poll();

    // Waits until the child ends or the timeout passes; nullopt on time-out (the child runs on).
    // Throws common::Interrupted as soon as the calling thread is asked to stop (interruption.h).
    std::optional<int> waitFor(std::chrono::milliseconds timeout);

    // Ends the child and reaps it: SIGTERM, then SIGKILL when it is still running after grace, on
    // POSIX; TerminateProcess at once on Windows. Returns its exit code. Nothing is sent to a child
    // that has already ended. Fails with IoFailure when the system refuses.
    int terminate(std::chrono::milliseconds grace = TERMINATE_GRACE);

private:
    ChildProcess(std::string program, std::int64_t pid, std::intptr_t handle)
        : program_(std::move(program)), pid_(pid), handle_(handle) {}
    // Reaps an ended child without waiting and closes the handle: the owner then owns nothing.
    void release() noexcept;

    std::string program_;       // for failure messages
    std::int64_t pid_ = 0;      // 0 once moved from
    std::intptr_t handle_ = 0;  // the process HANDLE on Windows, 0 on POSIX and once moved from
    std::optional<int> exitCode_;
};

// Waits up to timeout for the process pid to end, whoever started it (it need not be a child of this
// process). True when it has ended or no such process exists; false when it still runs at the timeout.
// Fails with IoFailure when the system cannot tell (no permission to watch it, for one). Linux watches a
// pidfd, other POSIX systems poll every 50 ms, Windows waits on the process handle.
bool waitForProcessEnd(std::int64_t pid, std::chrono::milliseconds timeout);

}  // namespace orlex::common
