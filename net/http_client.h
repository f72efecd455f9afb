#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/failure.h"
#include "net/trust_store.h"

namespace orlex::net {

// Header fields in order, names as written.
using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// The head of a final response: its status and its header fields (values without surrounding white space).
struct ResponseHead {
    long status = 0;
    HeaderFields headers;

    // Every value of the header named name (compared ignoring case), in order.
    std::vector<std::string> all(std::string_view name) const;
    // The first value of the header named name, nullopt when absent.
    std::optional<std::string> first(std::string_view name) const;
};

// The Unix time in seconds of an HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT" and the older forms libcurl
// reads); nullopt when text is no such date.
std::optional<std::int64_t> httpDate(const std::string& text);

// Consumes one response of HttpClient::send. Both calls run on the thread that called send. Throwing
// from either ends the exchange: send fails with ExchangeFailure (Kind::Body) whose cause is what was
// thrown; common::Interrupted propagates unchanged instead.
class ResponseBody {
public:
    virtual ~ResponseBody() = default;
    // Once, when the final response's head has arrived (interim 1xx responses are skipped).
    virtual void start(const ResponseHead& head) = 0;
    // For each batch of body bytes, in order.
    virtual void accept(std::span<const std::uint8_t> batch) = 0;
};

// A whole response held in memory. A body longer than the cap is refused while it arrives, with
// common::IoFailure("Réponse trop grande"), before the excess is stored.
class BufferedResponse : public ResponseBody {
public:
    explicit BufferedResponse(std::size_t cap) : cap_(cap) {}

    void start(const ResponseHead& head) override { head_ = head; }
    void accept(std::span<const std::uint8_t> batch) override;

    long status() const { return head_.status; }
    const ResponseHead& head() const { return head_; }
    const std::string& body() const { return body_; }

private:
    std::size_t cap_;
    ResponseHead head_;
    std::string body_;
};

enum class Method { Get, Post };

struct Request {
    Method method = Method::Get;
    std::string url;  // absolute https URL
    // Sent after what HTTP itself needs (Host, Content-Length). The client wipes its own copies of the
    // lines once the exchange is over: values may be secrets (cookies).
    HeaderFields headers = {};
    std::string_view body = {};  // Post only: sent as is, never copied, so the caller can wipe it
    std::chrono::milliseconds headersTimeout;   // from the call until the final response's head has arrived
    std::chrono::milliseconds exchangeTimeout;  // from the call until the whole body has arrived
};

// Why an exchange failed, for the caller to say in its own words.
class ExchangeFailure : public common::IoFailure {
public:
    enum class Kind {
        Deadline,    // the whole exchange outlasted Request::exchangeTimeout
        Connection,  // no head within Request::headersTimeout, or libcurl failed (connection, TLS, protocol)
        Trust,       // the configured trust store could not be loaded
        Body,        // the response body refused what arrived
    };

    // reason: short, without the request's content (libcurl's own words for its failures and for a
    // time-out). cause: the whole story: libcurl's failure with its detail, the time-out, the trust
    // store's failure or what the body threw.
    ExchangeFailure(Kind kind, const std::string& reason, std::exception_ptr cause)
        : common::IoFailure(reason), kind_(kind), cause_(std::move(cause)) {}

    Kind kind() const noexcept { return kind_; }
    const std::exception_ptr& cause() const noexcept { return cause_; }

private:
    Kind kind_;
    std::exception_ptr cause_;
};

// One HTTPS client: libcurl with one easy handle reused for every request, so that its connection is
// kept between requests; only https; redirects reported (their status and "Location") and never
// followed; peer and host always verified against the system store plus the configured trust store.
// Beyond the request's own headers it sends only what HTTP needs (libcurl's Accept and Expect are left
// out). send may be called from any thread; calls are serialised.
class HttpClient {
public:
    // A configured trust store that cannot be loaded fails every send (Kind::Trust, its failure as the
    // cause) without a request, instead of this construction. Fails with
    // common::IoFailure("libcurl indisponible") when libcurl cannot start.
    HttpClient(std::chrono::milliseconds connectTimeout, const TrustConfig& trust);
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
    ~HttpClient();

    // Sends one request and returns the final response's status once its whole body has gone to body.
    // Fails with ExchangeFailure, and with common::Interrupted, the exchange cancelled at once, when the
    // calling thread's current stop token is triggered (also before the call).
    long send(const Request& request, ResponseBody& body);

private:
    struct Handles;
    TrustStore trust_;
    std::exception_ptr trustFailure_;
    std::mutex mutex_;
    std::unique_ptr<Handles> handles_;  // last: its handle points at trust_ and goes first
};

}  // namespace orlex::net
