#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "update/trust_store.h"

namespace orlex::update {

// Consumes one response of HttpClient::send. Both calls run on the thread that called send.
// Throwing from either cancels the exchange; the exception becomes the cause of send's failure
// (common::Interrupted propagates unchanged instead).
class ResponseBody {
public:
    virtual ~ResponseBody() = default;
    // Once, when the final response's headers have arrived. contentRange is the first "Content-Range"
    // header with surrounding white space removed, nullopt when absent.
    virtual void start(long status, const std::optional<std::string>& contentRange) = 0;
    // For each batch of body bytes, in order.
    virtual void accept(std::span<const std::uint8_t> batch) = 0;
};

struct HttpRequest {
    std::string url;                           // absolute https URL
    std::optional<std::int64_t> rangeFrom;     // sends "Range: bytes=N-"
    std::chrono::milliseconds requestTimeout;  // until the response's headers have arrived
    std::chrono::milliseconds exchangeLimit;   // the whole exchange, body included
};

// The HTTPS client of one engine: libcurl with one easy handle reused for every request (so the
// connection is kept between requests), redirects never followed, the given connect time-out, peer and
// host always verified against the system store plus the trust store. GET only; the only header of its
// own beyond libcurl's defaults is "Range".
// send may be called from any thread; calls are serialised.
class HttpClient {
public:
    // trustFailure, when set, is why the trust store could not be loaded: every send then fails with
    // it as the cause of "Transport interrompu", without a request.
    HttpClient(std::chrono::milliseconds connectTimeout, TrustStore trust, std::exception_ptr trustFailure);
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
    ~HttpClient();

    // Sends one GET and returns its status once the whole body has gone to body.
    // Fails with common::IoFailure("Délai de téléchargement dépassé") when the exchange outlasts
    // exchangeLimit (the cause says by how much time), with common::IoFailure("Transport interrompu")
    // when the exchange itself fails (connection, TLS, request time-out, a failure thrown by body: the
    // cause says which), and with common::Interrupted, the exchange cancelled at once, when the calling
    // thread's current stop token is triggered.
    long send(const HttpRequest& request, ResponseBody& body);

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
    TrustStore trust_;
    std::exception_ptr trustFailure_;
    std::mutex mutex_;
};

}  // namespace orlex::update
