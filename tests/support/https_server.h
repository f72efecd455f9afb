#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_ca.h"

namespace orlex::test {

// A fault the server answers one path's requests with, instead of serving the file as it is.
struct Fault {
    enum class Kind {
        Status,       // answers `status` with a short text body
        Redirect,     // answers 302 with a Location elsewhere on this server
        CutBody,      // announces the whole body, sends its first `bytes` bytes, then drops the connection
        OneByteOver,  // sends the body and one extra byte (announced in Content-Length)
        WrongContentRange,  // answers 206 with the body asked for but a Content-Range that does not match
        IgnoreRange,        // answers 200 with the whole file even when a range was asked for
        WrongContent,       // sends as many bytes as expected, every one of them altered
        Stall,              // holds the response (headers included) for `delay`, then serves normally
        Drip,               // sends the body one byte every `delay`
    };
    Kind kind;
    int status = 0;
    std::int64_t bytes = 0;
    std::chrono::milliseconds delay{0};

    static Fault answer(int status) { return {Kind::Status, status}; }
    static Fault redirect() { return {Kind::Redirect}; }
    static Fault cutAfter(std::int64_t bytes) { return {Kind::CutBody, 0, bytes}; }
    static Fault oneByteOver() { return {Kind::OneByteOver}; }
    static Fault wrongContentRange() { return {Kind::WrongContentRange}; }
    static Fault ignoreRange() { return {Kind::IgnoreRange}; }
    static Fault wrongContent() { return {Kind::WrongContent}; }
    static Fault stallFor(std::chrono::milliseconds delay) { return {Kind::Stall, 0, 0, delay}; }
    static Fault dripEvery(std::chrono::milliseconds delay) { return {Kind::Drip, 0, 0, delay}; }
};

// An HTTPS server on 127.0.0.1 (ephemeral port), in this process, serving the files under a directory
// (a channel) as static files: GET "/" + relative path. Bodies are streamed from disk in chunks, never
// held whole. "Range: bytes=N-" gets 206 with "Content-Range: bytes N-(size-1)/size", "bytes=N-M" the
// bytes N to M. Every request is recorded. A request for a file that does not exist, with no fault to answer
// it, gets 404 and fails the test when the server is destroyed. Faults apply per path to the next requests,
// in the order injected. Thread-safe.
class HttpsServer {
public:
    HttpsServer(std::filesystem::path root, const TestCa& ca);
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;
    ~HttpsServer();

    // "https://127.0.0.1:<port>/"
    std::string baseUrl() const;

    // path is the request path, e.g. "/current.json". times < 0: every request from now on.
    void inject(const std::string& path, Fault fault, int times = 1);

    struct Request {
        std::string path;
        std::string range;  // the "Range" header, empty when absent
        bool operator==(const Request&) const = default;
    };
    std::vector<Request> requests() const;
    // The Range header of each request for path, in order ("" for none).
    std::vector<std::string> rangesFor(const std::string& path) const;
    // Body bytes sent for path so far (over all its requests).
    std::int64_t bytesServed(const std::string& path) const;
    // How many TLS handshakes the server has completed (one per connection a client opened).
    std::size_t handshakes() const;
    // Blocks until at least count requests have arrived.
    void waitForRequests(std::size_t count) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orlex::test
