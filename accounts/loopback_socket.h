#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace orlex::accounts {

// Loopback TCP for the editor session broker. Bodies: loopback_socket_posix.cpp, loopback_socket_win.cpp.
// Every socket is closed on exec and never inherited by a child process.

// One accepted connection, in non-blocking mode. Reads and writes belong to one thread; interrupt() may
// come from any other thread.
class SocketConnection {
public:
    virtual ~SocketConnection() = default;
    // Reads what has already arrived, up to buffer.size(), without waiting: nullopt when nothing has
    // arrived yet, 0 at the end of the stream. Fails with common::IoFailure on an error.
    virtual std::optional<std::size_t> readAvailable(std::span<std::uint8_t> buffer) = 0;
    // Writes every byte, waiting for room at most patience in all; false when that failed or took longer.
    virtual bool writeAll(std::span<const std::uint8_t> bytes, std::chrono::milliseconds patience) = 0;
    // Whether the peer's address is a loopback address.
    virtual bool peerIsLoopback() const = 0;
    // Ends a write in progress on another thread (both directions shut down).
    virtual void interrupt() = 0;
};

// Waits on several connections at once, from one thread; wake() may come from any thread.
class ReadinessWaiter {
public:
    virtual ~ReadinessWaiter() = default;
    // Blocks until one of the connections (each accepted by a LoopbackListener) has something to read
    // (bytes, its end or an error), until wake() has been called since the previous wait, or until timeout
    // has passed. Returns, in the connections' order, whether each has something to read. Fails with
    // common::IoFailure when the system cannot wait.
    virtual std::vector<bool> wait(std::span<SocketConnection* const> connections,
                                   std::chrono::milliseconds timeout) = 0;
    virtual void wake() = 0;
};

// Fails with common::IoFailure("Port local indisponible") when the waiter cannot be made.
std::unique_ptr<ReadinessWaiter> makeReadinessWaiter();

// A listening TCP socket on 127.0.0.1, its port the listener's alone.
class LoopbackListener {
public:
    struct Accepted {
        std::unique_ptr<SocketConnection> connection;  // nullptr when accepting failed
        // Accepting again at once would fail the same way: no descriptor or memory left, or an
        // unexpected error. A connection the peer abandoned before it was taken is not such a failure.
        bool backOff = false;
    };

    virtual ~LoopbackListener() = default;
    virtual std::uint16_t port() const = 0;
    // Blocks for the next connection; fails (without backOff) once close() has run.
    virtual Accepted accept() = 0;
    // Closes the socket and ends a blocked accept(); never fails; idempotent.
    virtual void close() = 0;
};

// Binds 127.0.0.1 on a port the system chooses, listening with the given backlog. Fails with
// common::IoFailure("Port local indisponible") when the socket cannot be made or bound.
std::unique_ptr<LoopbackListener> listenOnLoopback(int backlog);

}  // namespace orlex::accounts
