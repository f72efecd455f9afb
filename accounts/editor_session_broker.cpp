#include "accounts/editor_session_broker.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "accounts/game_session.h"
#include "common/base64.h"
#include "common/failure.h"
#include "common/interruption.h"
#include "common/json_writer.h"
#include "common/text.h"
#include "common/thread_name.h"

namespace orlex::accounts {
namespace {

using common::equalsIgnoringCase;
using common::trimmed;

}  // namespace

void RequestHead::feed(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        if (state_ != State::Reading)
            return;
        take(byte);
    }
}

void RequestHead::end() {
    if (state_ == State::Reading)
        state_ = State::Broken;
}

// A line is its bytes up to a line feed, carriage returns removed, non-ASCII bytes as U+FFFD.
void RequestHead::take(std::uint8_t byte) {
    if (lineBytes_ >= EditorSessionBroker::LINE_LIMIT) {
        state_ = State::Broken;  // line limit
        return;
    }
    ++lineBytes_;
    if (byte == '\n') {
        endLine();
        return;
    }
    if (byte == '\r')
        return;
    if (byte < 0x80)
        line_ += static_cast<char>(byte);
    else
        line_ += "\xEF\xBF\xBD";
    ++characters_;
}

void RequestHead::endLine() {
    const std::string line = std::exchange(line_, {});
    lineBytes_ = 0;
    if (!requestLineRead_) {
        requestLine_ = line;
        requestLineRead_ = true;
        return;
    }
    if (line.empty()) {
        state_ = State::Whole;
        return;
    }
    if (characters_ > EditorSessionBroker::HEAD_LIMIT) {
        state_ = State::Broken;  // header limit
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && colon != 0 &&
        equalsIgnoringCase(std::string_view(line).substr(0, colon), "Authorization"))
        authorization_ = std::string(trimmed(std::string_view(line).substr(colon + 1)));
    if (++headerLines_ == EditorSessionBroker::HEADER_LINES)
        state_ = State::Whole;  // later header lines are never read
}

namespace {

// Takes into head everything that has arrived on connection so far.
void readArrived(SocketConnection& connection, RequestHead& head) {
    std::array<std::uint8_t, 1024> buffer{};
    try {
        while (head.state() == RequestHead::State::Reading) {
            const std::optional<std::size_t> got = connection.readAvailable(buffer);
            if (!got)
                return;
            if (*got == 0) {
                head.end();
                return;
            }
            head.feed(std::span(buffer.data(), *got));
        }
    } catch (const common::IoFailure&) {
        head.end();
    }
}

std::string errorBody(const char* code) {
    common::JsonWriter writer;
    writer.beginObject().key("error").string(code).endObject();
    return writer.text();
}

}  // namespace

bool constantTimeEquals(std::string_view given, std::string_view expected) {
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto mine = i < given.size() ? static_cast<unsigned char>(given[i]) : 0u;
        difference |= mine ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0;
}

EditorSessionBroker::EditorSessionBroker(Provider provider, std::chrono::milliseconds readTimeout)
    : provider_(std::move(provider)), readTimeout_(readTimeout) {
    std::array<std::uint8_t, 32> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1)
        throw common::IoFailure("Source aléatoire indisponible");
    key_ = common::base64UrlEncode(random);
    server_ = listenOnLoopback(BACKLOG);
    waiter_ = makeReadinessWaiter();
    url_ = "http://127.0.0.1:" + std::to_string(server_->port()) + "/grant";
    serving_ = std::jthread([this](std::stop_token stop) { serveAll(stop); });
    listener_ = std::jthread([this] { listen(); });
}

EditorSessionBroker::~EditorSessionBroker() {
    close();
}

void EditorSessionBroker::close() {
    if (closed_.exchange(true))
        return;
    server_->close();
    // Ends the serving thread's wait and asks the provider to stop; a write in progress ends at once.
    serving_.request_stop();
    {
        const std::lock_guard lock(mutex_);
        if (answering_)
            answering_->interrupt();
    }
    backOff_.notify_all();
    listener_.join();
    serving_.join();
    // The connections still waiting close unanswered.
    arrivals_.clear();
}

void EditorSessionBroker::listen() {
    common::nameCurrentThread("builder-session-listener");
    while (!closed_.load()) {
        LoopbackListener::Accepted accepted = server_->accept();
        if (!accepted.connection) {
            // Closed (the loop ends), or failed: at once again only when that may succeed.
            if (accepted.backOff) {
                std::unique_lock lock(mutex_);
                backOff_.wait_for(lock, BACK_OFF, [this] { return closed_.load(); });
            }
            continue;
        }
        {
            const std::lock_guard lock(mutex_);
            if (closed_.load())
                continue;  // closed at once, unread
            arrivals_.push_back({std::move(accepted.connection), Clock::now() + readTimeout_});
            // While the serving thread is busy, the oldest arrivals make room for the newest.
            if (arrivals_.size() > WAITING_LIMIT)
                arrivals_.pop_front();
        }
        waiter_->wake();
    }
}

void EditorSessionBroker::serveAll(std::stop_token stop) {
    common::nameCurrentThread("builder-session-renewal");
    const common::ScopedStopToken current(stop);
    const std::stop_callback wakeOnStop(stop, [this] { waiter_->wake(); });
    struct Incoming {
        Arrival arrival;
        RequestHead head;
        bool done = false;
    };
    std::vector<Incoming> incoming;  // in order of acceptance
    while (!stop.stop_requested()) {
        {
            const std::lock_guard lock(mutex_);
            for (Arrival& arrival : arrivals_)
                incoming.push_back({std::move(arrival), {}});
            arrivals_.clear();
        }
        std::vector<SocketConnection*> watched;
        Clock::time_point wakeAt = Clock::time_point::max();
        for (const Incoming& each : incoming) {
            watched.push_back(each.arrival.connection.get());
            wakeAt = std::min(wakeAt, each.arrival.deadline);
        }
        const auto timeout = wakeAt == Clock::time_point::max()
                                 ? std::chrono::milliseconds::max()
                                 : std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now());
        std::vector<bool> readable;
        try {
            readable = waiter_->wait(watched, timeout);
        } catch (const common::IoFailure&) {
            std::unique_lock lock(mutex_);
            backOff_.wait_for(lock, stop, BACK_OFF, [] { return false; });
            continue;
        }

        // Bytes are taken before deadlines are judged: a client may have sent its whole head in time
        // while the provider kept this thread busy.
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < incoming.size(); ++i)
            if (readable[i])
                readArrived(*incoming[i].arrival.connection, incoming[i].head);
        for (Incoming& each : incoming) {
            if (stop.stop_requested())
                break;
            switch (each.head.state()) {
                case RequestHead::State::Whole:
                    try {
                        answer(*each.arrival.connection, each.head.requestLine(), each.head.authorization());
                    } catch (...) {
                        // Nothing is reported: the connection simply closes.
                    }
                    each.done = true;
                    break;
                case RequestHead::State::Broken:
                    each.done = true;
                    break;
                case RequestHead::State::Reading:
                    each.done = now >= each.arrival.deadline;
                    break;
            }
        }
        std::erase_if(incoming, [](const Incoming& each) { return each.done; });
        // Beyond the limit, the connections that have waited longest without a whole head make room:
        // idle or dripping clients cannot keep a prompt one out.
        if (incoming.size() > CONNECTION_LIMIT)
            incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(
                                                                    incoming.size() - CONNECTION_LIMIT));
    }
}

void EditorSessionBroker::answer(SocketConnection& connection, const std::string& requestLine,
                                 const std::optional<std::string>& authorization) {
    const bool authorised = requestLine.starts_with("POST /grant HTTP/") && connection.peerIsLoopback() &&
                            authorization && constantTimeEquals(*authorization, "Bearer " + key_);
    if (!authorised) {
        reply(connection, 403, "Forbidden", errorBody("unauthorized"));
        return;
    }
    Grant grant;
    try {
        grant = provider_();
    } catch (const common::Interrupted&) {
        return;  // closing: the connection is dropped
    } catch (...) {
        reply(connection, 503, "Unavailable", errorBody("session_refresh_failed"));
        return;
    }
    if (!grant.roles.contains(ROLE_BUILDER_OPEN)) {
        reply(connection, 403, "Forbidden", errorBody("admin_required"));
        return;
    }
    common::JsonWriter writer;
    writer.beginObject()
        .key("token")
        .string(grant.token)
        .key("realtime")
        .string(grant.realtime)
        .key("publish")
        .string(grant.publish)
        .key("roles")
        .beginArray();
    for (const std::string& role : grant.roles)
        writer.string(role);
    writer.endArray().endObject();
    reply(connection, 200, "OK", writer.text());
}

void EditorSessionBroker::reply(SocketConnection& connection, int status, const char* reason,
                                const std::string& body) {
    const std::string whole =
        "HTTP/1.1 " + std::to_string(status) + " " + reason +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
    {
        const std::lock_guard lock(mutex_);
        if (common::interruptionRequested())
            return;  // closing: dropped without an answer
        answering_ = &connection;
    }
    // A client that reads nothing gets as long for the answer as it had for its request.
    connection.writeAll(std::span(reinterpret_cast<const std::uint8_t*>(whole.data()), whole.size()),
                        readTimeout_);
    const std::lock_guard lock(mutex_);
    answering_ = nullptr;
}

}  // namespace orlex::accounts
