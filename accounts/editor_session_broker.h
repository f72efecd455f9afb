#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "accounts/loopback_socket.h"
#include "common/executor.h"

namespace orlex::accounts {

// Renews a running child's game grant on demand: a minimal HTTP/1.1 server on 127.0.0.1 that answers
// "POST /grant" carrying "Authorization: Bearer <key>" with a fresh grant from the provider.
//
// Threads: "builder-session-listener" accepts connections; "builder-session-renewal" serves them one at a
// time in order of acceptance (a second client waits for the first) and runs the provider. A request
// head is read with a 4,096-byte line limit, an 8,192-character head limit, at most 40 header lines and
// a 5,000 ms read time-out; a request that breaks them, or ends early, is closed without an answer.
// Answers: 200 with the grant, 403 {"error":"unauthorized"} or {"error":"admin_required"}, 503
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
    static constexpr std::chrono::milliseconds READ_TIMEOUT{5000};
    static constexpr int BACKLOG = 4;

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

    // Stops listening, drops waiting connections without an answer and stops the one being served.
    // Never fails; a second call does nothing. Not to be called from the provider.
    void close();

private:
    void listen();
    void serve(SocketConnection& connection);

    Provider provider_;
    std::chrono::milliseconds readTimeout_;
    std::string key_;
    std::unique_ptr<LoopbackListener> server_;
    std::string url_;
    std::atomic<bool> closed_{false};
    std::mutex currentMutex_;
    std::shared_ptr<SocketConnection> current_;  // the connection being served, if any
    common::Executor workers_{"builder-session-renewal"};
    std::thread listener_;
};

// Whether given equals expected, in a time that depends on expected's length only: every byte is
// compared, whatever the position of the first difference.
bool constantTimeEquals(std::string_view given, std::string_view expected);

}  // namespace orlex::accounts
