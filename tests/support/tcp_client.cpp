#include "tests/support/tcp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace orlex::test {

// url ends with ":<port>" or ":<port>/<path>".
TcpClient::TcpClient(const std::string& url, std::chrono::milliseconds patience)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const std::size_t colon = url.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(url.substr(colon + 1))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{static_cast<time_t>(patience.count() / 1000),
                       static_cast<suseconds_t>(patience.count() % 1000 * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

TcpClient::~TcpClient() {
    ::close(fd_);
}

bool TcpClient::send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string TcpClient::answer() {
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))  // closed, with or without unread data
            return out;
        if (got < 0) {
            ADD_FAILURE() << "the server neither answered nor closed";
            return out;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace orlex::test
