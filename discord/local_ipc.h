#pragma once

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

// Opens the first endpoint that accepts: on Windows the pipes "\\.\pipe\discord-ipc-0" to "-9" in
// order; elsewhere the sockets "discord-ipc-0" to "-9" in each of socketDirectories() in order. Fails
// with DiscordUnavailable carrying every individual failure in the order tried.
std::shared_ptr<Connection> openLocalIpc();

// The directories searched for sockets, in order and without duplicates: the environment variables
// XDG_RUNTIME_DIR, TMPDIR, TMP, TEMP, each when set and not blank, then "/tmp". variable reads one
// variable (the process environment by default).
std::vector<std::filesystem::path> socketDirectories(
    const std::function<std::optional<std::string>(const char*)>& variable = {});

// Tries "discord-ipc-0" to "-9" in each directory in order (elsewhere than Windows; on Windows it fails
// at once with an empty DiscordUnavailable).
std::shared_ptr<Connection> openSocketIn(const std::vector<std::filesystem::path>& directories);

// This process's id.
std::int64_t processId();

}  // namespace orlex::discord
