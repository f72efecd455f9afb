#include "discord/tests/fake_discord.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace orlex::discord::test {
namespace {

constexpr int HANG_GUARD_MS = static_cast<int>(HANG_GUARD.count());

bool waitFd(int fd) {
    pollfd watch{fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&watch, 1, HANG_GUARD_MS);
        if (ready >= 0)
            return ready == 1;
        if (errno != EINTR)
            return false;
    }
}

sockaddr_un addressOf(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = socket.string();
    if (name.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + name);
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    return address;
}

int listenOn(const std::filesystem::path& socket, int backlog) {
    const sockaddr_un address = addressOf(socket);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("fake Discord socket: ") + std::strerror(errno));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error(std::string("fake Discord listen: ") + std::strerror(error));
    }
    return fd;
}

}  // namespace

PeerConnection::PeerConnection(int fd) : fd_(fd) {}

PeerConnection::~PeerConnection() {
    ::close(fd_);
}

bool PeerConnection::waitReadable() {
    return waitFd(fd_);
}

std::size_t PeerConnection::readSome(char* buffer, std::size_t size) {
    if (!waitReadable())
        throw std::runtime_error("the client sent nothing");
    const ssize_t got = ::recv(fd_, buffer, size, 0);
    if (got < 0)
        throw std::runtime_error(std::string("peer read: ") + std::strerror(errno));
    return static_cast<std::size_t>(got);
}

Frame PeerConnection::readFrame() {
    // The real framing, over this side of the socket.
    class Side final : public Connection {
    public:
        explicit Side(PeerConnection& peer) : peer_(peer) {}
        void write(std::string_view bytes) override { peer_.writeRaw(bytes); }
        std::size_t read(char* buffer, std::size_t size) override { return peer_.readSome(buffer, size); }

    private:
        PeerConnection& peer_;
    } side(*this);
    return discord::readFrame(side);
}

void PeerConnection::writeRaw(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0)
            throw std::runtime_error(std::string("peer write: ") + std::strerror(errno));
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

bool PeerConnection::waitForClientClose() {
    char buffer[256];
    for (;;) {
        if (!waitReadable()) {
            ADD_FAILURE() << "the client kept the connection open";
            return false;
        }
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0)
            return true;
        ADD_FAILURE() << "unexpected bytes from the client before its close: " << got;
    }
}

Frame PeerConnection::handshake() {
    Frame frame = readFrame();
    replyReady();
    return frame;
}

FakeDiscord::FakeDiscord(std::filesystem::path socket)
    : socket_(std::move(socket)), fd_(listenOn(socket_, 8)) {}

FakeDiscord::~FakeDiscord() {
    ::close(fd_);
    std::error_code ignored;
    std::filesystem::remove(socket_, ignored);
}

std::unique_ptr<PeerConnection> FakeDiscord::accept() {
    if (!waitFd(fd_)) {
        ADD_FAILURE() << "no client connected to " << socket_;
        return nullptr;
    }
    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        ADD_FAILURE() << "accept: " << std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<PeerConnection>(client);
}

StalledDiscord::StalledDiscord(const std::filesystem::path& socket)
    : socket_(socket), fd_(listenOn(socket_, 0)) {
    // Queue connections until the kernel refuses one for want of room (EAGAIN on a non-blocking
    // socket); the cap only guards against a system that never says so.
    const sockaddr_un address = addressOf(socket_);
    while (queued_.size() < 64) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            throw std::runtime_error(std::string("filler socket: ") + std::strerror(errno));
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EAGAIN)
                return;
            throw std::runtime_error(std::string("filler connect: ") + std::strerror(error));
        }
        queued_.push_back(fd);
    }
    throw std::runtime_error("the backlog of " + socket_.string() + " never filled");
}

StalledDiscord::~StalledDiscord() {
    for (const int fd : queued_)
        ::close(fd);
    ::close(fd_);
    std::error_code ignored;
    std::filesystem::remove(socket_, ignored);
}

std::function<void(const std::string&)> Notices::logger() {
    return [this](const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        arrived_.notify_all();
    };
}

std::vector<std::string> Notices::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool Notices::waitFor(const std::string& line) {
    std::unique_lock lock(mutex_);
    const bool found = arrived_.wait_for(lock, HANG_GUARD, [&] {
        for (const std::string& seen : lines_) {
            if (seen == line)
                return true;
        }
        return false;
    });
    if (!found)
        ADD_FAILURE() << "no notice \"" << line << "\"";
    return found;
}

Connector socketsIn(const std::filesystem::path& directory) {
    return [directory](const IpcWake& wake, std::chrono::milliseconds connectTimeout) {
        return openSocketIn({directory}, wake, connectTimeout);
    };
}

Connector CountingConnector::connector() {
    return [inner = inner_, shared = shared_](const IpcWake& wake, std::chrono::milliseconds connectTimeout) {
        {
            std::lock_guard lock(shared->mutex);
            ++shared->calls;
            shared->called.notify_all();
        }
        return inner(wake, connectTimeout);
    };
}

void CountingConnector::waitForCalls(int n) {
    std::unique_lock lock(shared_->mutex);
    if (!shared_->called.wait_for(lock, HANG_GUARD, [&] { return shared_->calls >= n; }))
        ADD_FAILURE() << "the connector was called " << shared_->calls << " times, not " << n;
}

}  // namespace orlex::discord::test
