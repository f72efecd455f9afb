#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>

namespace orlex::common {

// An exclusive lock on a whole file, taken without waiting. Bodies: file_lock_posix.cpp (flock on a
// fresh open file description, so a second attempt fails even inside the same process) and
// file_lock_win.cpp (LockFileEx, fail-immediately). Releasing unlocks, then closes the handle.
class [[nodiscard]] FileLock {
public:
    // Opens (creating if needed) and locks path; nullopt when another holder exists. Fails with
    // IoFailure when the file cannot be opened.
    [[nodiscard]] static std::optional<FileLock> tryExclusive(const std::filesystem::path& path);

    FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
    FileLock& operator=(FileLock&& other) noexcept {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, -1);
        }
        return *this;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { release(); }

    void release();

private:
    explicit FileLock(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_;  // a descriptor or a HANDLE; -1 once released
};

}  // namespace orlex::common
