#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/failure.h"
#include "common/file_lock.h"

namespace orlex::common {

std::optional<FileLock> FileLock::tryExclusive(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        throw IoFailure("Verrou inaccessible : " + path.string() + " (" + std::strerror(errno) + ")");
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return std::nullopt;
        throw IoFailure("Verrou impossible : " + path.string() + " (" + std::strerror(error) + ")");
    }
    return FileLock(fd);
}

void FileLock::release() {
    if (handle_ < 0)
        return;
    const int fd = static_cast<int>(std::exchange(handle_, -1));
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

}  // namespace orlex::common
