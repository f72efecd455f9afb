#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>

#include "accounts/loopback_socket.h"
#include "common/failure.h"

namespace orlex::accounts {
namespace {

using Clock = std::chrono::steady_clock;

int pollTimeout(std::chrono::milliseconds timeout) {
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INT_MAX));
}

class PosixConnection : public SocketConnection {
public:
    PosixConnection(int fd, sockaddr_storage peer) : fd_(fd), peer_(peer) {}
    ~PosixConnection() override { ::close(fd_); }

    int fd() const { return fd_; }

    std::optional<std::size_t> readAvailable(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return std::nullopt;
            throw common::IoFailure("Lecture interrompue");
        }
    }

    bool writeAll(std::span<const std::uint8_t> bytes, std::chrono::milliseconds patience) override {
        const Clock::time_point deadline = Clock::now() + patience;
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                bytes = bytes.subspan(static_cast<std::size_t>(sent));
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return false;
            pollfd room{fd_, POLLOUT, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || (::poll(&room, 1, pollTimeout(left)) == 0))
                return false;  // the peer reads nothing: given up
        }
        return true;
    }

    bool peerIsLoopback() const override {
        if (peer_.ss_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(&peer_);
            return (ntohl(address->sin_addr.s_addr) >> 24) == 127;
        }
        if (peer_.ss_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(&peer_);
            return IN6_IS_ADDR_LOOPBACK(&address->sin6_addr);
        }
        return false;
    }

    void interrupt() override { ::shutdown(fd_, SHUT_RDWR); }

private:
    int fd_;
    sockaddr_storage peer_;
};

// A pipe whose one readable byte ends a poll early.
class PosixWaiter : public ReadinessWaiter {
public:
    PosixWaiter(int readEnd, int writeEnd) : readEnd_(readEnd), writeEnd_(writeEnd) {}
    ~PosixWaiter() override {
        ::close(readEnd_);
        ::close(writeEnd_);
    }

    std::vector<bool> wait(std::span<SocketConnection* const> connections,
                           std::chrono::milliseconds timeout) override {
        std::vector<pollfd> watched;
        watched.reserve(connections.size() + 1);
        watched.push_back({readEnd_, POLLIN, 0});
        for (SocketConnection* connection : connections)
            watched.push_back({static_cast<PosixConnection*>(connection)->fd(), POLLIN, 0});
        std::vector<bool> readable(connections.size(), false);
        if (::poll(watched.data(), watched.size(), pollTimeout(timeout)) < 0) {
            if (errno == EINTR)
                return readable;
            throw common::IoFailure("Attente impossible");
        }
        if (watched[0].revents != 0) {
            std::uint8_t drained[64];
            while (::read(readEnd_, drained, sizeof drained) > 0) {
            }
        }
        for (std::size_t i = 0; i < connections.size(); ++i)
            readable[i] = watched[i + 1].revents != 0;
        return readable;
    }

    void wake() override {
        const std::uint8_t byte = 1;
        if (::write(writeEnd_, &byte, 1) < 0) {
            // A full pipe already holds a wake-up.
        }
    }

private:
    int readEnd_;
    int writeEnd_;
};

class PosixListener : public LoopbackListener {
public:
    PosixListener(int fd, std::uint16_t port) : fd_(fd), port_(port) {}
    ~PosixListener() override { close(); }

    std::uint16_t port() const override { return port_; }

    Accepted accept() override {
        for (;;) {
            const int fd = fd_.load();
            if (fd < 0)
                return {};
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int accepted =
                ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (accepted >= 0)
                return {std::make_unique<PosixConnection>(accepted, peer), false};
            // Linux passes on network errors of a pending connection: the next one may be fine.
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO || errno == EPERM ||
                errno == ENETDOWN || errno == ENOPROTOOPT || errno == EHOSTDOWN || errno == ENONET ||
                errno == EHOSTUNREACH || errno == EOPNOTSUPP || errno == ENETUNREACH)
                continue;
            return {nullptr, fd_.load() >= 0};
        }
    }

    void close() override {
        const std::lock_guard lock(closing_);
        const int fd = fd_.exchange(-1);
        if (fd < 0)
            return;
        // shutdown wakes a thread blocked in accept(); close alone would not.
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }

private:
    std::atomic<int> fd_;
    std::uint16_t port_;
    std::mutex closing_;
};

}  // namespace

std::unique_ptr<ReadinessWaiter> makeReadinessWaiter() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw common::IoFailure("Port local indisponible");
    return std::make_unique<PosixWaiter>(ends[0], ends[1]);
}

std::unique_ptr<LoopbackListener> listenOnLoopback(int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw common::IoFailure("Port local indisponible");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw common::IoFailure("Port local indisponible");
    }
    return std::make_unique<PosixListener>(fd, ntohs(address.sin_port));
}

}  // namespace orlex::accounts
