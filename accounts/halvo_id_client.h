#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/http_client.h"
#include "net/trust_store.h"

namespace orlex::accounts {

// The account service's origin when none is configured.
inline constexpr const char* DEFAULT_HALVO_ORIGIN = "https://halvo.example";

// Where and how the account service is reached, with the system's defaults.
struct HalvoIdSettings {
    std::string origin = DEFAULT_HALVO_ORIGIN;  // "https://host[:port]", no path; a trailing "/" is dropped
    net::TrustConfig trust = {};                // besides the system store
    std::chrono::milliseconds connectTimeout{12'000};
    std::chrono::milliseconds requestTimeout{20'000};  // each whole request
};

// The service's pages and form targets, under the origin.
inline constexpr const char* LOGIN = "/halvoid/login.php";
inline constexpr const char* LOGIN_API = "/halvoid/api/login.php";
inline constexpr const char* REGISTER = "/halvoid/create.php";
inline constexpr const char* REGISTER_API = "/halvoid/api/register.php";

// The outcome of a sign-in or sign-up the player can act on; message is the French status text.
struct Result {
    bool ok = false;
    std::string message;
    bool operator==(const Result&) const = default;
};

// One cookie of the jar. maxAge is the lifetime in seconds it had when received (-1: no expiry); its
// count starts at `received`.
struct Cookie {
    std::string name;
    std::string value;
    std::string domain;  // as set (possibly with a leading "."), or the host that set it
    std::string path = "/";
    std::int64_t maxAge = -1;
    bool secure = false;
    bool httpOnly = false;
    std::chrono::steady_clock::time_point received = std::chrono::steady_clock::now();

    bool expired(std::chrono::steady_clock::time_point now) const;
};

// One Set-Cookie header received at now; nullopt when it names no cookie (no "=" in its first pair, or
// not a valid name). Domain and path stay empty when the header sets none; maxAge is -1 without Max-Age
// or Expires.
std::optional<Cookie> parseSetCookie(std::string_view header, std::chrono::steady_clock::time_point now);

// The HALVO ID client: drives the service's sign-in and sign-up pages like a browser and keeps its
// cookies in memory and in the session file (one line per cookie, seven tab-separated fields: name,
// value, domain and path in URL-safe base64 without fill, the max-age, the secure and http-only flags).
//
// The trust rules are built on the service domain: the host of the origin, in lower case.
//
// Every operation may block up to the settings' time-outs and is meant for the launcher's worker thread,
// one at a time; the jar itself is guarded and may be read from any thread (sessionCookieHeader runs on
// the editor session broker's thread too). Network failures are common::IoFailure (webExchange(),
// web_exchange.h); secrets never appear in a failure's message.
class HalvoIdClient {
public:
    // Builds the HTTP client and the empty jar for the settings' origin, then restores the jar from
    // sessionFile. Never fails because of the file: a damaged one is deleted.
    HalvoIdClient(std::filesystem::path sessionFile, HalvoIdSettings settings);
    HalvoIdClient(const HalvoIdClient&) = delete;
    HalvoIdClient& operator=(const HalvoIdClient&) = delete;
    ~HalvoIdClient();

    const std::filesystem::path& sessionFile() const { return sessionFile_; }
    const std::string& origin() const { return origin_; }

    // Empties the jar, then signs in. The caller wipes password afterwards.
    Result login(std::string_view identifier, std::string_view password);
    // Three local checks first (passwords equal, user name, password length), each answering without a
    // request; then signs up. The caller wipes both passwords afterwards.
    Result registerAccount(std::string_view username, std::string_view displayName, std::string_view email,
                           std::string_view password, std::string_view confirm);
    // GETs page for its anti-forgery token and posts fields with it to endpoint (both paths under the
    // origin). Fails with IoFailure("HALVO ID indisponible ({}).") or
    // IoFailure("Jeton de sécurité HALVO ID introuvable.").
    Result submit(std::string_view page, std::string_view endpoint,
                  const std::vector<std::pair<std::string, std::string_view>>& fields);
    // Whether the jar holds a signed-in session; false without a request when the jar is empty.
    bool sessionValid();
    // "name=value" of the trusted, unexpired cookies that would be sent to LOGIN, joined by "; ".
    std::string sessionCookieHeader() const;
    // Writes the session file (trusted, unexpired cookies), mode rw------- where permissions exist.
    // Fails with IoFailure when the file cannot be written.
    void persist() const;
    // Empties the jar and deletes the session file; never fails, nothing is sent.
    void logout();

    // A snapshot of the jar, in its order.
    std::vector<Cookie> cookies() const;

    bool trustedDomain(std::string_view domain) const;
    bool trustedRedirect(std::string_view destination) const;
    bool acceptedRedirect(std::string_view destination, bool authenticated) const;
    // application/x-www-form-urlencoded over UTF-8, pairs in the given order. The result may hold a
    // password: the caller wipes it (wipeString) once sent.
    static std::string form(const std::vector<std::pair<std::string, std::string_view>>& fields);
    // The service's error text in html, trimmed with inner white space collapsed; "" when none.
    static std::string message(std::string_view html);
    // The anti-forgery token of a page, "" when it holds none.
    static std::string csrfToken(std::string_view html);

private:
    net::BufferedResponse get(std::string_view path);
    net::BufferedResponse post(std::string_view path, std::string_view body);
    net::BufferedResponse exchange(net::Request& request);
    void restore();
    void store(const std::string& url, const net::BufferedResponse& response);
    std::string cookieHeaderFor(const std::string& url, bool trustedOnly) const;

    std::filesystem::path sessionFile_;
    std::string origin_;
    std::string serviceDomain_;
    std::chrono::milliseconds requestTimeout_;
    std::unique_ptr<net::HttpClient> web_;
    mutable std::mutex mutex_;
    std::vector<Cookie> jar_;
};

}  // namespace orlex::accounts
