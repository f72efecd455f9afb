#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    if (options.ownerOnly && ::fchmod(fd.get(), 0600) != 0)
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

}  // namespace orlex::common
