#include <windows.h>

#include <utility>

#include "common/failure.h"
#include "common/file_lock.h"

namespace orlex::common {

std::optional<FileLock> FileLock::tryExclusive(const std::filesystem::path& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        throw IoFailure("Verrou inaccessible : " + path.string() + " (erreur " +
                        std::to_string(::GetLastError()) + ")");
    }
    OVERLAPPED whole{};
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &whole)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(h);
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
            return std::nullopt;
        throw IoFailure("Verrou impossible : " + path.string() + " (erreur " + std::to_string(error) + ")");
    }
    return FileLock(reinterpret_cast<std::intptr_t>(h));
}

void FileLock::release() {
    if (handle_ == -1)
        return;
    HANDLE h = reinterpret_cast<HANDLE>(std::exchange(handle_, -1));
    OVERLAPPED whole{};
    ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(h);
}

}  // namespace orlex::common
