#include "accounts/editor_session_broker.h"

#include <openssl/rand.h>

#include <array>
#include <cctype>
#include <optional>
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

// Reads the request head of one connection; nullopt when a limit, the end of the stream or the read
// time-out came first.
class HeadReader {
public:
    explicit HeadReader(SocketConnection& connection) : connection_(connection) {}

    // One line without its line feed, carriage returns removed, non-ASCII bytes as U+FFFD.
    std::optional<std::string> line() {
        std::string text;
        std::size_t bytes = 0;
        for (;;) {
            if (bytes >= EditorSessionBroker::LINE_LIMIT)
                return std::nullopt;  // line limit
            const std::optional<std::uint8_t> byte = next();
            if (!byte)
                return std::nullopt;
            ++bytes;
            if (*byte == '\n')
                return text;
            if (*byte == '\r')
                continue;
            if (*byte < 0x80)
                text += static_cast<char>(*byte);
            else
                text += "\xEF\xBF\xBD";
            ++characters_;
        }
    }

    std::size_t characters() const { return characters_; }
    void resetCount() { characters_ = 0; }

private:
    std::optional<std::uint8_t> next() {
        if (at_ == filled_) {
            try {
                filled_ = connection_.read(buffer_);
            } catch (const common::IoFailure&) {
                return std::nullopt;
            }
            at_ = 0;
            if (filled_ == 0)
                return std::nullopt;
        }
        return buffer_[at_++];
    }

    SocketConnection& connection_;
    std::array<std::uint8_t, 1024> buffer_{};
    std::size_t at_ = 0;
    std::size_t filled_ = 0;
    std::size_t characters_ = 0;
};

std::string errorBody(const char* code) {
    common::JsonWriter writer;
    writer.beginObject().key("error").string(code).endObject();
    return writer.text();
}

void answer(SocketConnection& connection, int status, const char* reason, const std::string& body) {
    const std::string head =
        "HTTP/1.1 " + std::to_string(status) + " " + reason +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    std::string whole = head + body;
    connection.writeAll(std::span(reinterpret_cast<const std::uint8_t*>(whole.data()), whole.size()));
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
    url_ = "http://127.0.0.1:" + std::to_string(server_->port()) + "/grant";
    listener_ = std::thread([this] { listen(); });
}

EditorSessionBroker::~EditorSessionBroker() {
    close();
}

void EditorSessionBroker::close() {
    if (closed_.exchange(true))
        return;
    server_->close();
    {
        const std::lock_guard lock(currentMutex_);
        if (current_)
            current_->interrupt();
    }
    // Asks the provider to stop and drops the connections still waiting: their sockets close unanswered.
    workers_.shutdown();
    if (listener_.joinable())
        listener_.join();
}

void EditorSessionBroker::listen() {
    common::nameCurrentThread("builder-session-listener");
    while (!closed_.load()) {
        std::unique_ptr<SocketConnection> accepted = server_->accept();
        if (!accepted)
            continue;  // closed (the loop ends) or a failed accept (accept again)
        accepted->setReadTimeout(readTimeout_);
        std::shared_ptr<SocketConnection> connection = std::move(accepted);
        workers_.submit([this, connection] {
            {
                const std::lock_guard lock(currentMutex_);
                if (closed_.load())
                    return;
                current_ = connection;
            }
            try {
                serve(*connection);
            } catch (...) {
                // Nothing is reported: the connection simply closes.
            }
            const std::lock_guard lock(currentMutex_);
            current_.reset();
        });
    }
}

void EditorSessionBroker::serve(SocketConnection& connection) {
    HeadReader reader(connection);
    const std::optional<std::string> requestLine = reader.line();
    if (!requestLine)
        return;
    std::optional<std::string> authorization;
    for (int read = 0; read < HEADER_LINES; ++read) {
        const std::optional<std::string> header = reader.line();
        if (!header)
            return;
        if (header->empty())
            break;
        if (reader.characters() > HEAD_LIMIT)
            return;  // header limit
        const std::size_t colon = header->find(':');
        if (colon == std::string::npos || colon == 0)
            continue;
        if (equalsIgnoringCase(std::string_view(*header).substr(0, colon), "Authorization"))
            authorization = std::string(trimmed(std::string_view(*header).substr(colon + 1)));
    }

    const bool authorised = requestLine->starts_with("POST /grant HTTP/") && connection.peerIsLoopback() &&
                            authorization && constantTimeEquals(*authorization, "Bearer " + key_);
    if (!authorised) {
        answer(connection, 403, "Forbidden", errorBody("unauthorized"));
        return;
    }
    Grant grant;
    try {
        grant = provider_();
    } catch (const common::Interrupted&) {
        return;  // closing: the connection is dropped
    } catch (...) {
        answer(connection, 503, "Unavailable", errorBody("session_refresh_failed"));
        return;
    }
    if (!grant.roles.contains(ROLE_BUILDER_OPEN)) {
        answer(connection, 403, "Forbidden", errorBody("admin_required"));
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
    answer(connection, 200, "OK", writer.text());
}

}  // namespace orlex::accounts
