#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "discord/local_ipc.h"

namespace orlex::discord::test {

// One accepted client connection of the fake Discord peer, read and written with the real framing.
// Every blocking call gives up after a generous bound and fails the test instead of hanging.
class PeerConnection {
public:
    explicit PeerConnection(int fd);
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;
    ~PeerConnection();

    Frame readFrame();
    void reply(std::string_view json) { writeRaw(encodeFrame(FRAME, json)); }
    void writeRaw(std::string_view bytes);
    // True once the client has closed its side (everything it sent before has been read).
    bool waitForClientClose();

    // The replies a real client sends.
    void replyReady() { reply(R"({"cmd":"DISPATCH","evt":"READY","data":{"v":1}})"); }
    void replyActivity() { reply(R"({"cmd":"SET_ACTIVITY","evt":null,"data":{}})"); }
    // Reads the handshake and answers READY.
    Frame handshake();

private:
    bool waitReadable();
    std::size_t readSome(char* buffer, std::size_t size);
    int fd_;
};

// A fake Discord desktop client listening on a Unix domain socket.
class FakeDiscord {
public:
    explicit FakeDiscord(std::filesystem::path socket);
    FakeDiscord(const FakeDiscord&) = delete;
    FakeDiscord& operator=(const FakeDiscord&) = delete;
    ~FakeDiscord();

    // The next client connection; nullptr (with a test failure) when none comes.
    std::unique_ptr<PeerConnection> accept();

private:
    std::filesystem::path socket_;
    int fd_;
};

// A Discord that never accepts: it listens with the smallest backlog and fills that backlog with its
// own connections, so a client's connect finds no room for as long as it lives.
class StalledDiscord {
public:
    explicit StalledDiscord(const std::filesystem::path& socket);
    StalledDiscord(const StalledDiscord&) = delete;
    StalledDiscord& operator=(const StalledDiscord&) = delete;
    ~StalledDiscord();

private:
    std::filesystem::path socket_;
    int fd_;
    std::vector<int> queued_;
};

// A bound against hanging tests, never a timing expectation.
inline constexpr std::chrono::milliseconds HANG_GUARD{20'000};

// Collects notices from the presence's logger, from any thread.
class Notices {
public:
    std::function<void(const std::string&)> logger();
    std::vector<std::string> lines() const;
    // Waits until a line equal to line has arrived; false (with a test failure) when none comes.
    bool waitFor(const std::string& line);

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;
};

// The platform socket connector, searching only directory.
Connector socketsIn(const std::filesystem::path& directory);

// A connector counting its calls, so a test can wait for the worker to have tried n times.
class CountingConnector {
public:
    explicit CountingConnector(Connector inner) : inner_(std::move(inner)) {}
    Connector connector();
    // Waits until the connector has been called at least n times (fails the test when it is not).
    void waitForCalls(int n);

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable called;
        int calls = 0;
    };
    Connector inner_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace orlex::discord::test
