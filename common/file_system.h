#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace orlex::common {

// Host file-system primitives whose guarantees the release engine and the publishing tool rely on.
// Bodies: file_system_posix.cpp and file_system_win.cpp. Every failure is an IoFailure naming the path.

// What a path names, looked at without following links. On Windows a reparse point that is not a
// symbolic link (a junction, a mount point) counts as Special, like devices, pipes and sockets.
enum class NodeKind { Missing, Directory, Regular, SymbolicLink, Special };
NodeKind nodeKind(const std::filesystem::path& path);

struct NewFile {
    bool ownerOnly = false;  // readable and writable by the owner alone where permissions exist
    bool durable = false;    // data and metadata forced to the storage device before returning
};
// Creates path exclusively (an existing file, or a link in its place, is a failure) and writes bytes.
void writeNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, NewFile options);

// Appends bytes to path (created when missing) in one write on a handle opened for appending, so
// concurrent appenders, in this process or others, interleave whole writes.
void appendToFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Renames from over to in one atomic, replacing step.
void replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Forces a directory's entries (new names, renames) to the storage device so they survive a power
// cut. On Windows replaceFile already writes through and this does nothing.
void syncDirectory(const std::filesystem::path& dir);

// Copies a regular file's content over to (created or truncated) through the kernel's copy path,
// without a user-space loop where the host has one; forces the copy to disk when durable.
void copyFileContent(const std::filesystem::path& from, const std::filesystem::path& to, bool durable);

// True when the file system reports the file executable for the current user; always false on Windows.
bool isExecutable(const std::filesystem::path& path);

}  // namespace orlex::common
