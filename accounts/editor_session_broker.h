#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "accounts/loopback_socket.h"

namespace orlex::accounts {

// Renews a running child's game grant on demand: a minimal HTTP/1.1 server on 127.0.0.1 that answers
// "POST /grant" carrying "Authorization: Bearer <key>" with a fresh grant from the provider.
//
// Threads: "builder-session-listener" accepts connections; "builder-session-renewal" reads the request
// heads of all accepted connections at once and answers each complete one in turn, in order of
// acceptance, running the provider (while it runs, a second client waits). The serving thread reads at
// most CONNECTION_LIMIT unfinished heads: beyond that, the ones waiting longest are closed unanswered, so
// that idle clients never keep a prompt one out. Up to WAITING_LIMIT accepted connections wait for the
// serving thread while it is busy; beyond that the oldest of them is closed unread. A request head is
// read with a 4,096-byte line limit, an 8,192-character head limit and at most 40 header lines, and must be
// whole within 5,000 ms of its acceptance; a request that breaks them, or ends early, is closed without an
// answer. Answers: 200 with the grant, 403 {"error":"unauthorized"} or {"error":"admin_required"}, 503
// {"error":"session_refresh_failed"}. The key is never logged nor written anywhere.
class EditorSessionBroker {
public:
    struct Grant {
        std::string token;
        std::string realtime;
        std::string publish;
        std::set<std::string> roles;
    };
    // Called on the serving thread for each authorised request; may block and may fail (any failure
    // gives 503). It is asked to stop through the thread's stop token when the broker closes.
    using Provider = std::function<Grant()>;

    static constexpr std::size_t LINE_LIMIT = 4096;
    static constexpr std::size_t HEAD_LIMIT = 8192;
    static constexpr int HEADER_LINES = 40;
    static constexpr std::chrono::milliseconds READ_TIMEOUT{5000};  // for the whole head, from acceptance
    static constexpr int BACKLOG = 4;
    static constexpr std::size_t CONNECTION_LIMIT = 16;
    // Enough that a prompt client accepted just before a burst is read before the burst pushes it out.
    static constexpr std::size_t WAITING_LIMIT = 4 * CONNECTION_LIMIT;
    // A thread's pause when the system refuses it (no descriptor left to accept with, a wait refused),
    // instead of failing again at once.
    static constexpr std::chrono::milliseconds BACK_OFF{200};

    // Makes the key, binds the socket, then starts the threads. Fails with common::IoFailure when the
    // socket cannot be bound.
    // readTimeout is READ_TIMEOUT except in tests.
    explicit EditorSessionBroker(Provider provider, std::chrono::milliseconds readTimeout = READ_TIMEOUT);
    EditorSessionBroker(const EditorSessionBroker&) = delete;
    EditorSessionBroker& operator=(const EditorSessionBroker&) = delete;
    ~EditorSessionBroker();  // close()

    // "http://127.0.0.1:<port>/grant"; unchanged after close().
    const std::string& url() const { return url_; }
    // 43 characters: 32 random bytes in URL-safe base64 without fill.
    const std::string& key() const { return key_; }

    // Stops listening, drops waiting connections without an answer, stops the one being answered and
    // returns once both threads have ended. Never fails; a second call does nothing. Not to be called
    // from the provider.
    void close();

private:
    using Clock = std::chrono::steady_clock;
    struct Arrival {
        std::unique_ptr<SocketConnection> connection;
        Clock::time_point deadline;  // for its whole request head
    };

    void listen();
    void serveAll(std::stop_token stop);
    void answer(SocketConnection& connection, const std::string& requestLine,
                const std::optional<std::string>& authorization);
    void reply(SocketConnection& connection, int status, const char* reason, const std::string& body);

    Provider provider_;
    std::chrono::milliseconds readTimeout_;
    std::string key_;
    std::unique_ptr<LoopbackListener> server_;
    std::unique_ptr<ReadinessWaiter> waiter_;
    std::string url_;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    std::condition_variable_any backOff_;    // ends either thread's pause early on close()
    std::deque<Arrival> arrivals_;           // accepted, not yet taken by the serving thread
    SocketConnection* answering_ = nullptr;  // the connection being answered, if any
    // Last: both threads end before the state above goes.
    std::jthread serving_;
    std::jthread listener_;
};

// The request head of one broker connection, fed with its bytes as they arrive, under the broker's line,
// head and header-line limits. Only the request line and the last Authorization header are kept.
class RequestHead {
public:
    enum class State { Reading, Whole, Broken };  // Broken: a limit was reached or the stream ended first

    // Takes bytes until the head is whole or broken; what follows is ignored.
    void feed(std::span<const std::uint8_t> bytes);
    // The stream ended, or failed.
    void end();

    State state() const { return state_; }
    const std::string& requestLine() const { return requestLine_; }
    const std::optional<std::string>& authorization() const { return authorization_; }

private:
    void take(std::uint8_t byte);
    void endLine();

    State state_ = State::Reading;
    std::string line_;
    std::size_t lineBytes_ = 0;
    std::size_t characters_ = 0;  // of the request line and the header lines, without line ends
    bool requestLineRead_ = false;
    std::string requestLine_;
    int headerLines_ = 0;
    std::optional<std::string> authorization_;
};

// Whether given equals expected, in a time that depends on expected's length only: every byte is
// compared, whatever the position of the first difference.
bool constantTimeEquals(std::string_view given, std::string_view expected);

}  // namespace orlex::accounts
