#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <mutex>

#include "accounts/loopback_socket.h"
#include "common/failure.h"

namespace orlex::accounts {
namespace {

void startWinsockOnce() {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0)
        throw common::IoFailure("Port local indisponible");
}

class WinConnection : public SocketConnection {
public:
    WinConnection(SOCKET socket, sockaddr_storage peer) : socket_(socket), peer_(peer) {}
    ~WinConnection() override { ::closesocket(socket_); }

    void setReadTimeout(std::chrono::milliseconds timeout) override {
        const DWORD value = static_cast<DWORD>(timeout.count());
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
    }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        const int got =
            ::recv(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (WSAGetLastError() == WSAETIMEDOUT)
            throw common::IoFailure("Délai de lecture dépassé");
        throw common::IoFailure("Lecture interrompue");
    }

    bool writeAll(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            const int sent = ::send(socket_, reinterpret_cast<const char*>(bytes.data()),
                                    static_cast<int>(bytes.size()), 0);
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

    void interrupt() override { ::shutdown(socket_, SD_BOTH); }

private:
    SOCKET socket_;
    sockaddr_storage peer_;
};

class WinListener : public LoopbackListener {
public:
    WinListener(SOCKET socket, std::uint16_t port) : socket_(socket), port_(port) {}
    ~WinListener() override { close(); }

    std::uint16_t port() const override { return port_; }

    std::unique_ptr<SocketConnection> accept() override {
        const SOCKET socket = socket_.load();
        if (socket == INVALID_SOCKET)
            return nullptr;
        sockaddr_storage peer{};
        int length = sizeof peer;
        const SOCKET accepted = ::accept(socket, reinterpret_cast<sockaddr*>(&peer), &length);
        if (accepted == INVALID_SOCKET)
            return nullptr;
        return std::make_unique<WinConnection>(accepted, peer);
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

std::unique_ptr<LoopbackListener> listenOnLoopback(int backlog) {
    startWinsockOnce();
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET)
        throw common::IoFailure("Port local indisponible");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket, backlog) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::closesocket(socket);
        throw common::IoFailure("Port local indisponible");
    }
    return std::make_unique<WinListener>(socket, ntohs(address.sin_port));
}

}  // namespace orlex::accounts
