#pragma once

#include <httplib.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_ca.h"

namespace orlex::test {

// An HTTPS server on 127.0.0.1 (ephemeral port) whose answers each test scripts per method and path.
// Every request is recorded; one nobody scripted gets 404 and fails the test. Thread-safe.
class ScriptedServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    struct Seen {
        std::string method;
        std::string path;
        std::string cookie;       // the "Cookie" header, "" when absent
        std::string contentType;  // the "Content-Type" header, "" when absent
        std::string body;
    };

    explicit ScriptedServer(const TestCa& ca);
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;
    ~ScriptedServer();

    // "https://127.0.0.1:<port>"
    std::string origin() const;
    int port() const { return port_; }

    // Replaces the answer to method ("GET", "POST") on path.
    void on(const std::string& method, const std::string& path, Handler handler);

    std::vector<Seen> requests() const;

private:
    void dispatch(const httplib::Request& request, httplib::Response& response);

    httplib::SSLServer server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, Handler>> handlers_;  // "METHOD path" → handler
    std::vector<Seen> requests_;
};

// Answer helpers.
void page(httplib::Response& response, const std::string& html, int status = 200);
void redirectTo(httplib::Response& response, const std::string& location, int status = 302);

}  // namespace orlex::test
