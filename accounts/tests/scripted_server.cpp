#include "accounts/tests/scripted_server.h"

#include <gtest/gtest.h>

namespace orlex::test {

ScriptedServer::ScriptedServer(const TestCa& ca)
    : server_(ca.serverCertificate().c_str(), ca.serverKey().c_str()) {
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        dispatch(request, response);
    };
    server_.Get(".*", handle);
    server_.Post(".*", handle);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only reaches a server that is already listening; the accept loop starts at once.
    while (!server_.is_running())
        std::this_thread::yield();
}

ScriptedServer::~ScriptedServer() {
    server_.stop();
    thread_.join();
}

std::string ScriptedServer::origin() const {
    return "https://127.0.0.1:" + std::to_string(port_);
}

void ScriptedServer::on(const std::string& method, const std::string& path, Handler handler) {
    const std::lock_guard lock(mutex_);
    const std::string key = method + " " + path;
    std::erase_if(handlers_, [&](const auto& entry) { return entry.first == key; });
    handlers_.emplace_back(key, std::move(handler));
}

std::vector<ScriptedServer::Seen> ScriptedServer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::dispatch(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back({request.method, request.path, request.get_header_value("Cookie"),
                             request.get_header_value("Content-Type"), request.body});
        for (const auto& [key, found] : handlers_)
            if (key == request.method + " " + request.path)
                handler = found;
    }
    if (!handler) {
        ADD_FAILURE() << "unexpected request " << request.method << " " << request.path;
        response.status = 404;
        return;
    }
    handler(request, response);
}

void page(httplib::Response& response, const std::string& html, int status) {
    response.status = status;
    response.set_content(html, "text/html; charset=UTF-8");
}

void redirectTo(httplib::Response& response, const std::string& location, int status) {
    response.status = status;
    if (!location.empty())
        response.set_header("Location", location);
}

}  // namespace orlex::test
