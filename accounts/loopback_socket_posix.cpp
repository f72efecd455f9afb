#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "accounts/loopback_socket.h"
#include "common/failure.h"

namespace orlex::accounts {
namespace {

class PosixConnection : public SocketConnection {
public:
    PosixConnection(int fd, sockaddr_storage peer) : fd_(fd), peer_(peer) {}
    ~PosixConnection() override { ::close(fd_); }

    void setReadTimeout(std::chrono::milliseconds timeout) override {
        timeval value{};
        value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
        value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                throw common::IoFailure("Délai de lecture dépassé");
            throw common::IoFailure("Lecture interrompue");
        }
    }

    bool writeAll(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
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

class PosixListener : public LoopbackListener {
public:
    PosixListener(int fd, std::uint16_t port) : fd_(fd), port_(port) {}
    ~PosixListener() override { close(); }

    std::uint16_t port() const override { return port_; }

    std::unique_ptr<SocketConnection> accept() override {
        const int fd = fd_.load();
        if (fd < 0)
            return nullptr;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (accepted < 0)
            return nullptr;
        return std::make_unique<PosixConnection>(accepted, peer);
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
