#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>

#include "accounts/loopback_socket.h"
#include "common/failure.h"

namespace orlex::accounts {
namespace {

using Clock = std::chrono::steady_clock;

void startWinsockOnce() {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0)
        throw common::IoFailure("Port local indisponible");
}

INT pollTimeout(std::chrono::milliseconds timeout) {
    return static_cast<INT>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INT_MAX));
}

// A socket that no child process inherits, even one started between its creation and a later change.
SOCKET privateSocket(int family, int type, int protocol) {
    return ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool makeNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

class WinConnection : public SocketConnection {
public:
    WinConnection(SOCKET socket, sockaddr_storage peer) : socket_(socket), peer_(peer) {}
    ~WinConnection() override { ::closesocket(socket_); }

    SOCKET socket() const { return socket_; }

    std::optional<std::size_t> readAvailable(std::span<std::uint8_t> buffer) override {
        const int got =
            ::recv(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (::WSAGetLastError() == WSAEWOULDBLOCK)
            return std::nullopt;
        throw common::IoFailure("Lecture interrompue");
    }

    bool writeAll(std::span<const std::uint8_t> bytes, std::chrono::milliseconds patience) override {
        const Clock::time_point deadline = Clock::now() + patience;
        while (!bytes.empty()) {
            const int sent = ::send(socket_, reinterpret_cast<const char*>(bytes.data()),
                                    static_cast<int>(bytes.size()), 0);
            if (sent > 0) {
                bytes = bytes.subspan(static_cast<std::size_t>(sent));
                continue;
            }
            if (sent == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK)
                return false;
            WSAPOLLFD room{socket_, POLLWRNORM, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || ::WSAPoll(&room, 1, pollTimeout(left)) <= 0)
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

    void interrupt() override { ::shutdown(socket_, SD_BOTH); }

private:
    SOCKET socket_;
    sockaddr_storage peer_;
};

// WSAPoll waits on sockets only: a UDP socket connected to itself, whose one datagram ends a wait early.
class WinWaiter : public ReadinessWaiter {
public:
    explicit WinWaiter(SOCKET loop) : loop_(loop) {}
    ~WinWaiter() override { ::closesocket(loop_); }

    std::vector<bool> wait(std::span<SocketConnection* const> connections,
                           std::chrono::milliseconds timeout) override {
        std::vector<WSAPOLLFD> watched;
        watched.reserve(connections.size() + 1);
        watched.push_back({loop_, POLLRDNORM, 0});
        for (SocketConnection* connection : connections)
            watched.push_back({static_cast<WinConnection*>(connection)->socket(), POLLRDNORM, 0});
        if (::WSAPoll(watched.data(), static_cast<ULONG>(watched.size()), pollTimeout(timeout)) ==
            SOCKET_ERROR)
            throw common::IoFailure("Attente impossible");
        if (watched[0].revents != 0) {
            char drained[64];
            while (::recv(loop_, drained, sizeof drained, 0) > 0) {
            }
        }
        std::vector<bool> readable(connections.size(), false);
        for (std::size_t i = 0; i < connections.size(); ++i)
            readable[i] = watched[i + 1].revents != 0;
        return readable;
    }

    void wake() override {
        const char byte = 1;
        ::send(loop_, &byte, 1, 0);  // a full buffer already holds a wake-up
    }

private:
    SOCKET loop_;
};

class WinListener : public LoopbackListener {
public:
    WinListener(SOCKET socket, std::uint16_t port) : socket_(socket), port_(port) {}
    ~WinListener() override { close(); }

    std::uint16_t port() const override { return port_; }

    Accepted accept() override {
        for (;;) {
            const SOCKET socket = socket_.load();
            if (socket == INVALID_SOCKET)
                return {};
            sockaddr_storage peer{};
            int length = sizeof peer;
            const SOCKET accepted = ::accept(socket, reinterpret_cast<sockaddr*>(&peer), &length);
            if (accepted != INVALID_SOCKET) {
                // The listening socket's no-inherit flag is not documented to pass to accepted ones.
                ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
                auto connection = std::make_unique<WinConnection>(accepted, peer);
                if (!makeNonBlocking(accepted))
                    return {nullptr, false};
                return {std::move(connection), false};
            }
            const int error = ::WSAGetLastError();
            if (error == WSAECONNRESET || error == WSAEINTR)
                continue;  // abandoned by its peer before it was taken
            return {nullptr, socket_.load() != INVALID_SOCKET};
        }
    }

    void close() override {
        const std::lock_guard lock(closing_);
        const SOCKET socket = socket_.exchange(INVALID_SOCKET);
        if (socket != INVALID_SOCKET)
            ::closesocket(socket);  // ends a blocked accept()
    }

private:
    std::atomic<SOCKET> socket_;
    std::uint16_t port_;
    std::mutex closing_;
};

}  // namespace

std::unique_ptr<ReadinessWaiter> makeReadinessWaiter() {
    startWinsockOnce();
    const SOCKET loop = privateSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (loop == INVALID_SOCKET)
        throw common::IoFailure("Port local indisponible");
    const BOOL exclusive = TRUE;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::setsockopt(loop, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                     sizeof exclusive) != 0 ||
        ::bind(loop, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(loop, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(loop, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !makeNonBlocking(loop)) {
        ::closesocket(loop);
        throw common::IoFailure("Port local indisponible");
    }
    return std::make_unique<WinWaiter>(loop);
}

std::unique_ptr<LoopbackListener> listenOnLoopback(int backlog) {
    startWinsockOnce();
    const SOCKET socket = privateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET)
        throw common::IoFailure("Port local indisponible");
    // No other socket may bind the same port, not even one asking to reuse addresses.
    const BOOL exclusive = TRUE;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                     sizeof exclusive) != 0 ||
        ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket, backlog) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::closesocket(socket);
        throw common::IoFailure("Port local indisponible");
    }
    return std::make_unique<WinListener>(socket, ntohs(address.sin_port));
}

}  // namespace orlex::accounts
