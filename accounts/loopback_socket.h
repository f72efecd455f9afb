#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace orlex::accounts {

// One accepted TCP connection. Bodies: loopback_socket_posix.cpp, loopback_socket_win.cpp.
// read() and write() belong to one thread; interrupt() may come from any other thread.
class SocketConnection {
public:
    virtual ~SocketConnection() = default;
    // Each later read waits at most timeout.
    virtual void setReadTimeout(std::chrono::milliseconds timeout) = 0;
    // Reads up to buffer.size() bytes; 0 at the end of the stream. Fails with common::IoFailure on a
    // time-out or an error.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
    // Writes every byte; false when that failed.
    virtual bool writeAll(std::span<const std::uint8_t> bytes) = 0;
    // Whether the peer's address is a loopback address.
    virtual bool peerIsLoopback() const = 0;
    // Ends a read or write in progress on another thread (both directions shut down).
    virtual void interrupt() = 0;
};

// A listening TCP socket on 127.0.0.1.
class LoopbackListener {
public:
    virtual ~LoopbackListener() = default;
    virtual std::uint16_t port() const = 0;
    // Blocks for the next connection; nullptr when accepting failed (also once close() has run).
    virtual std::unique_ptr<SocketConnection> accept() = 0;
    // Closes the socket and ends a blocked accept(); never fails; idempotent.
    virtual void close() = 0;
};

// Binds 127.0.0.1 on a port the system chooses, listening with the given backlog. Fails with
// common::IoFailure("Port local indisponible") when the socket cannot be made or bound.
std::unique_ptr<LoopbackListener> listenOnLoopback(int backlog);

}  // namespace orlex::accounts
