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

// A bound against hanging tests, never a timing expectation.
constexpr int HANG_GUARD_MS = 20'000;
constexpr auto HANG_GUARD = std::chrono::milliseconds(HANG_GUARD_MS);

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
        void interrupt() noexcept override {}

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

FakeDiscord::FakeDiscord(std::filesystem::path socket) : socket_(std::move(socket)) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = socket_.string();
    if (fd_ < 0 || name.size() >= sizeof address.sun_path)
        throw std::runtime_error("fake Discord socket");
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0)
        throw std::runtime_error(std::string("fake Discord listen: ") + std::strerror(errno));
}

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

Connector CountingConnector::connector() {
    return [inner = inner_, shared = shared_]() {
        {
            std::lock_guard lock(shared->mutex);
            ++shared->calls;
            shared->called.notify_all();
        }
        return inner();
    };
}

void CountingConnector::waitForCalls(int n) {
    std::unique_lock lock(shared_->mutex);
    if (!shared_->called.wait_for(lock, HANG_GUARD, [&] { return shared_->calls >= n; }))
        ADD_FAILURE() << "the connector was called " << shared_->calls << " times, not " << n;
}

}  // namespace orlex::discord::test
