#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

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

// A regular file's identity and stamps, looked at without following links. Any write, truncation,
// replacement or change of its metadata between two readings makes them differ.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds since the epoch (100 ns steps on Windows)
    std::int64_t changed = 0;   // the same for the last change of content or metadata
    bool operator==(const FileStamp&) const = default;
};
// nullopt when path is not a regular file: missing, a directory, a link or a special file.
std::optional<FileStamp> regularFileStamp(const std::filesystem::path& path);

// A small file read whole through one handle that refuses to follow a link or to open a special file
// (a pipe never blocks the reader). kind is Regular when bytes hold the content, read up to cap
// bytes; oversized tells that the file holds more than cap bytes.
struct SmallFile {
    explicit SmallFile(NodeKind k) : kind(k) {}
    NodeKind kind;
    std::vector<std::uint8_t> bytes;
    bool oversized = false;
};
SmallFile readSmallFile(const std::filesystem::path& path, std::size_t cap);

// Forces a regular file's data and size to the storage device.
void syncFile(const std::filesystem::path& path);

// Asks the system to start writing the regular file's changed data to the storage device, without
// waiting: a flush that follows finds less left to do. Best effort, and nothing on systems that do not
// offer it; never a promise of durability.
void startWriteback(const std::filesystem::path& path) noexcept;

// Gives the regular file from a second name, to (a hard link): both names then share one file. False
// when the file system cannot (no hard links there, another volume, too many links); to must not exist.
bool linkFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Creates dir and its missing parents; existing directories are fine, anything else in the way fails.
void createDirectories(const std::filesystem::path& dir);

// Removes a file, a link (never its target) or an empty directory; a missing path is fine.
void removeNode(const std::filesystem::path& path);

// path as a file stream must be handed it: on Windows the extended-length form of an absolute path, so
// that paths past 260 characters open too; elsewhere path itself.
std::filesystem::path streamPath(const std::filesystem::path& path);

// The entries of a directory, without "." and "..", in no particular order.
std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& dir);

// Grants the owner the right to execute a regular file; false when the file system refuses. Always
// true where files carry no execute permission.
bool grantOwnerExecute(const std::filesystem::path& path);

}  // namespace orlex::common
