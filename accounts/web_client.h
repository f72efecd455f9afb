#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/trust_store.h"

namespace orlex::accounts {

// One HTTP answer, whole. Header names keep their case as received.
struct WebResponse {
    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // Every value of the header named name (compared ignoring case), in order.
    std::vector<std::string> all(std::string_view name) const;
    // The first value of the header named name, nullopt when absent.
    std::optional<std::string> first(std::string_view name) const;
};

struct WebRequest {
    std::string method = "GET";  // "GET" or "POST"
    std::string url;             // absolute https URL
    std::vector<std::pair<std::string, std::string>> headers;
    std::string_view body;  // sent as is with POST; never copied, so the caller can wipe it afterwards
};

// A small HTTPS client over one libcurl handle: redirects read and never followed, only https, the
// given connect and request time-outs, peers verified against the system store plus the store of the
// javax.net.ssl.trustStore properties. Beyond the request's own headers it sends only what HTTP needs
// (Host, Content-Length): libcurl's Accept and Expect are suppressed. Bodies are capped at MAX_BODY bytes.
// Calls are serialised; any thread.
class WebClient {
public:
    static constexpr std::size_t MAX_BODY = 4u << 20;

    WebClient(std::chrono::milliseconds connectTimeout, std::chrono::milliseconds requestTimeout);
    WebClient(const WebClient&) = delete;
    WebClient& operator=(const WebClient&) = delete;
    ~WebClient();

    // Fails with common::IoFailure("Connexion impossible : {}") naming libcurl's reason (never the
    // request's content) when the exchange fails or times out, and with common::Interrupted when the
    // calling thread's stop token is triggered.
    WebResponse send(const WebRequest& request);

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::chrono::milliseconds requestTimeout_;
    std::mutex mutex_;
};

// The host of an absolute URL in lower case (without brackets, user info or port); nullopt when the text
// is not an absolute URL with a host.
std::optional<std::string> urlHost(std::string_view url);
// The scheme of an absolute URL as written; nullopt when there is none.
std::optional<std::string> urlScheme(std::string_view url);
// The path of an absolute URL ("/" when empty), without query or fragment.
std::string urlPath(std::string_view url);
// reference resolved against the absolute URL base (absolute, scheme-relative, absolute-path and
// relative references).
std::string resolveReference(std::string_view base, std::string_view reference);

}  // namespace orlex::accounts
