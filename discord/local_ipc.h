#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discord/ipc.h"

namespace orlex::discord {

// The Discord desktop client's local IPC endpoints on this platform. Bodies: local_ipc_posix.cpp
// (Unix domain stream sockets), local_ipc_win.cpp (named pipes).

// Ends the waits of the connections of one presence. Once signal() has been called, from any thread,
// every connect, read or write made with this wake that has to wait fails at once with IoFailure
// "Discord IPC interrompu", then and later; one that can complete without waiting still does (so a
// close frame still leaves when there is room for it). It must outlive every connection made with it.
class IpcWake {
public:
    IpcWake();  // fails with IoFailure when the system has no handle left
    IpcWake(const IpcWake&) = delete;
    IpcWake& operator=(const IpcWake&) = delete;
    ~IpcWake();

    void signal() noexcept;
    bool signalled() const noexcept { return signalled_; }

    struct Handles;  // the platform's: a pipe that becomes readable, or an event that becomes set
    const Handles& handles() const { return *handles_; }

private:
    std::unique_ptr<Handles> handles_;
    std::atomic<bool> signalled_{false};
};

// Opens a new connection whose waits end when wake is signalled, giving up on an endpoint that has not
// taken the connection within connectTimeout. Fails with IoFailure.
using Connector =
    std::function<std::shared_ptr<Connection>(const IpcWake& wake, std::chrono::milliseconds connectTimeout)>;

// The platform connector. Opens the first endpoint that accepts: on Windows the pipes
// "\\.\pipe\discord-ipc-0" to "-9" in order (a pipe opens or fails at once, so connectTimeout is not
// needed there); elsewhere the sockets "discord-ipc-0" to "-9" in each of socketDirectories() in order.
// Fails with DiscordUnavailable carrying every individual failure in the order tried, or with
// "Discord IPC interrompu" as soon as wake is signalled.
std::shared_ptr<Connection> openLocalIpc(const IpcWake& wake, std::chrono::milliseconds connectTimeout);

// The directories searched for sockets, in order and without duplicates: the environment variables
// XDG_RUNTIME_DIR, TMPDIR, TMP, TEMP, each when set and not blank, then "/tmp". variable reads one
// variable (the process environment by default).
std::vector<std::filesystem::path> socketDirectories(
    const std::function<std::optional<std::string>(const char*)>& variable = {});

// Tries "discord-ipc-0" to "-9" in each directory in order, as openLocalIpc does (elsewhere than
// Windows; on Windows it fails at once with an empty DiscordUnavailable). A socket whose listener
// leaves the connection pending (its backlog is full) is a failed try once connectTimeout has passed.
std::shared_ptr<Connection> openSocketIn(const std::vector<std::filesystem::path>& directories,
                                         const IpcWake& wake, std::chrono::milliseconds connectTimeout);

// This process's id.
std::int64_t processId();

}  // namespace orlex::discord
