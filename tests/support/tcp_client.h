#pragma once

#include <chrono>
#include <string>

namespace orlex::test {

// A raw TCP client of a server on 127.0.0.1, for tests that speak HTTP byte by byte.
class TcpClient {
public:
    // A server that neither answers nor closes within patience fails the test instead of hanging it.
    explicit TcpClient(const std::string& url, std::chrono::milliseconds patience = std::chrono::seconds(60));
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool connected() const { return connected_; }
    // Whether every byte went out.
    bool send(const std::string& text);
    // Everything the server writes until it closes the connection.
    std::string answer();

private:
    int fd_;
    bool connected_ = false;
};

}  // namespace orlex::test
