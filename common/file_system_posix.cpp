#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/failure.h"
#include "common/file_system.h"

namespace orlex::common {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now so that a failing close (deferred write errors) is reported, not swallowed.
    void close(const std::filesystem::path& path) {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            throw IoFailure("Fermeture impossible : " + path.string() + " (" + std::strerror(errno) + ")");
    }

private:
    int fd_;
};

[[noreturn]] void fail(const char* what, const std::filesystem::path& path) {
    throw IoFailure(std::string(what) + " : " + path.string() + " (" + std::strerror(errno) + ")");
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::filesystem::path& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("Écriture impossible", path);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

NodeKind nodeKind(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return NodeKind::Missing;
        fail("Chemin inaccessible", path);
    }
    if (S_ISLNK(st.st_mode))
        return NodeKind::SymbolicLink;
    if (S_ISDIR(st.st_mode))
        return NodeKind::Directory;
    if (S_ISREG(st.st_mode))
        return NodeKind::Regular;
    return NodeKind::Special;
}

void writeNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, NewFile options) {
    const mode_t mode = options.ownerOnly ? 0600 : 0644;
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0)
        fail("Création impossible", path);
    // A file system without owner/group/other permissions (vfat, exFAT) refuses the change: skipped there.
    if (options.ownerOnly && ::fchmod(fd.get(), 0600) != 0 && errno != EPERM && errno != ENOTSUP)
        fail("Droits impossibles à restreindre", path);
    writeAll(fd.get(), bytes.data(), bytes.size(), path);
    if (options.durable && ::fsync(fd.get()) != 0)
        fail("Synchronisation impossible", path);
    fd.close(path);
}

void appendToFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        fail("Ouverture impossible", path);
    writeAll(fd.get(), bytes.data(), bytes.size(), path);
    fd.close(path);
}

void replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        fail("Remplacement impossible", to);
}

void syncDirectory(const std::filesystem::path& dir) {
    Descriptor fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        fail("Dossier inaccessible", dir);
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        fail("Synchronisation impossible", dir);
}

void copyFileContent(const std::filesystem::path& from, const std::filesystem::path& to, bool durable) {
    Descriptor in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0)
        fail("Lecture impossible", from);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        fail("Lecture impossible", from);
    Descriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (out.get() < 0)
        fail("Création impossible", to);

    off_t remaining = st.st_size;
    bool kernelRange = true;
    while (remaining > 0) {
        ssize_t n = -1;
        if (kernelRange) {
            n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, static_cast<std::size_t>(remaining),
                                  0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
                kernelRange =
                    false;  // another file system or an old kernel: sendfile still stays in the kernel
                continue;
            }
        } else {
            n = ::sendfile(out.get(), in.get(), nullptr, static_cast<std::size_t>(remaining));
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("Copie impossible", to);
        }
        if (n == 0)
            break;  // the source shrank while being copied
        remaining -= n;
    }
    if (remaining != 0) {
        errno = EIO;
        fail("Copie incomplète", to);
    }
    if (durable && ::fdatasync(out.get()) != 0)
        fail("Synchronisation impossible", to);
    out.close(to);
}

bool isExecutable(const std::filesystem::path& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

std::optional<FileStamp> regularFileStamp(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        fail("Chemin inaccessible", path);
    }
    if (!S_ISREG(st.st_mode))
        return std::nullopt;
    const auto nanoseconds = [](const timespec& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    };
    return FileStamp{.device = static_cast<std::uint64_t>(st.st_dev),
                     .inode = static_cast<std::uint64_t>(st.st_ino),
                     .size = static_cast<std::int64_t>(st.st_size),
                     .modified = nanoseconds(st.st_mtim),
                     .changed = nanoseconds(st.st_ctim)};
}

SmallFile readSmallFile(const std::filesystem::path& path, std::size_t cap) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; O_NOFOLLOW: a final link is refused.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return SmallFile{NodeKind::Missing};
        if (errno == ELOOP)
            return SmallFile{NodeKind::SymbolicLink};
        if (errno == ENXIO)  // a socket or a device without a driver
            return SmallFile{NodeKind::Special};
        fail("Lecture impossible", path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        fail("Lecture impossible", path);
    if (!S_ISREG(st.st_mode))
        return SmallFile{S_ISDIR(st.st_mode) ? NodeKind::Directory : NodeKind::Special};
    SmallFile file{NodeKind::Regular};
    // Sized by what the file holds now, not by the cap (a 64-byte signature read under a 4 MB cap must
    // not cost 4 MB); grown while a file that is still growing delivers more, up to one byte beyond cap.
    const std::size_t limit = cap + 1;
    file.bytes.resize(std::min(limit, static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1));
    std::size_t filled = 0;
    for (;;) {
        if (filled == file.bytes.size()) {
            if (file.bytes.size() == limit)
                break;
            file.bytes.resize(std::min(limit, file.bytes.size() * 2));
        }
        const ssize_t n = ::read(fd.get(), file.bytes.data() + filled, file.bytes.size() - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("Lecture impossible", path);
        }
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    file.oversized = filled > cap;
    file.bytes.resize(std::min(filled, cap));
    return file;
}

void syncFile(const std::filesystem::path& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        fail("Ouverture impossible", path);
    if (::fsync(fd.get()) != 0)
        fail("Synchronisation impossible", path);
}

std::filesystem::path streamPath(const std::filesystem::path& path) {
    return path;
}

void startWriteback(const std::filesystem::path& path) noexcept {
#ifdef __linux__
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() >= 0)
        ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)path;
#endif
}

bool linkFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0)  // 0: a link is never followed
        return true;
    if (errno == EXDEV || errno == EPERM || errno == EMLINK || errno == ENOTSUP || errno == EOPNOTSUPP ||
        errno == ENOSYS)
        return false;
    fail("Lien impossible", to);
}

void createDirectories(const std::filesystem::path& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error)
        throw IoFailure("Dossier impossible à créer : " + dir.string() + " (" + error.message() + ")");
}

void removeNode(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return;
    if ((errno == EISDIR || errno == EPERM) && ::rmdir(path.c_str()) == 0)
        return;
    fail("Suppression impossible", path);
}

std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        fail("Lecture impossible", dir);
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(fd), ::closedir);
    if (!stream) {
        const int error = errno;
        ::close(fd);
        errno = error;
        fail("Lecture impossible", dir);
    }
    std::vector<std::filesystem::path> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            entries.push_back(dir / name);
        errno = 0;
    }
    if (errno != 0)
        fail("Lecture impossible", dir);
    return entries;
}

bool grantOwnerExecute(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR) == 0;
}

}  // namespace orlex::common
