#include "tests/support/https_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace orlex::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t CHUNK = 65536;

struct Pending {
    Fault fault;
    int remaining;  // < 0: forever
};

// The first and last byte of "bytes=N-" (last -1: to the end) or "bytes=N-M"; nullopt when the header
// is absent or of another form.
std::optional<std::pair<std::int64_t, std::int64_t>> askedRange(const std::string& header) {
    constexpr std::string_view prefix = "bytes=";
    const std::size_t dash = header.find('-');
    if (!header.starts_with(prefix) || dash == std::string::npos)
        return std::nullopt;
    const auto number = [&](std::size_t from, std::size_t to) -> std::optional<std::int64_t> {
        std::int64_t value = -1;
        const auto [stop, error] = std::from_chars(header.data() + from, header.data() + to, value);
        return error == std::errc() && stop == header.data() + to && from < to ? std::optional(value)
                                                                               : std::nullopt;
    };
    const std::optional<std::int64_t> first = number(prefix.size(), dash);
    if (!first)
        return std::nullopt;
    if (dash + 1 == header.size())
        return std::pair(*first, std::int64_t{-1});
    const std::optional<std::int64_t> last = number(dash + 1, header.size());
    if (!last || *last < *first)
        return std::nullopt;
    return std::pair(*first, *last);
}

}  // namespace

struct HttpsServer::State {
    fs::path root;
    httplib::SSLServer server;
    int port = 0;
    std::atomic<bool> listening{true};  // false once the accept loop has ended
    std::thread thread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    std::vector<Request> requests;
    std::vector<std::string> unexpected;
    std::map<std::string, std::int64_t> served;  // body bytes written, per path
    std::map<std::string, std::deque<Pending>> faults;

    std::atomic<std::size_t> handshakes{0};

    State(fs::path dir, const TestCa& ca)
        : root(std::move(dir)), server([this, &ca](SSL_CTX& context) { return setUp(context, ca); }) {}

    bool setUp(SSL_CTX& context, const TestCa& ca) {
        SSL_CTX_set_app_data(&context, this);
        SSL_CTX_set_info_callback(&context, [](const SSL* ssl, int where, int) {
            if (where & SSL_CB_HANDSHAKE_DONE)
                ++static_cast<State*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))->handshakes;
        });
        return SSL_CTX_use_certificate_chain_file(&context, ca.serverCertificate().c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&context, ca.serverKey().c_str(), SSL_FILETYPE_PEM) == 1;
    }

    std::optional<Fault> record(const httplib::Request& request) {
        const std::lock_guard lock(mutex);
        requests.push_back({request.path, request.get_header_value("Range")});
        changed.notify_all();
        auto found = faults.find(request.path);
        if (found == faults.end() || found->second.empty())
            return std::nullopt;
        Pending& next = found->second.front();
        const Fault fault = next.fault;
        if (next.remaining > 0 && --next.remaining == 0)
            found->second.pop_front();
        return fault;
    }

    // Waits for delay or until the server stops; false when it stops.
    bool stall(std::chrono::milliseconds delay) {
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, delay, [this] { return stopping; });
    }

    void handle(const httplib::Request& request, httplib::Response& response) {
        // The library would apply the request's range itself; this server decides every header.
        const_cast<httplib::Request&>(request).ranges.clear();
        const std::optional<Fault> fault = record(request);
        const auto is = [&](Fault::Kind kind) { return fault && fault->kind == kind; };

        if (is(Fault::Kind::Stall) && !stall(fault->delay)) {
            response.status = 503;
            return;
        }
        if (is(Fault::Kind::Status)) {
            response.status = fault->status;
            response.set_content("fault", "text/plain");
            return;
        }
        if (is(Fault::Kind::Redirect)) {
            response.status = 302;
            response.set_header("Location", "/moved" + request.path);
            return;
        }

        const fs::path file = (root / fs::path(request.path).relative_path()).lexically_normal();
        std::error_code error;
        if (request.path.find("..") != std::string::npos || !fs::is_regular_file(file, error)) {
            const std::lock_guard lock(mutex);
            unexpected.push_back(request.path);
            response.status = 404;
            return;
        }
        const auto size = static_cast<std::int64_t>(fs::file_size(file));
        const auto asked = askedRange(request.get_header_value("Range"));
        std::int64_t offset = 0;
        std::int64_t end = size;  // one past the last byte sent
        response.status = 200;
        if (asked && !is(Fault::Kind::IgnoreRange)) {
            if (asked->first >= size && size > 0) {
                response.status = 416;
                response.set_header("Content-Range", "bytes */" + std::to_string(size));
                return;
            }
            offset = asked->first;
            if (asked->second >= 0)
                end = std::min(size, asked->second + 1);
            response.status = 206;
        }
        if (is(Fault::Kind::WrongContentRange)) {
            response.status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                                     std::to_string(end) + "/" + std::to_string(size + 1));
        } else if (response.status == 206) {
            response.set_header("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                                     std::to_string(end - 1) + "/" + std::to_string(size));
        }

        const std::int64_t length = end - offset;
        const std::int64_t announced = length + (is(Fault::Kind::OneByteOver) ? 1 : 0);
        const std::int64_t cut = is(Fault::Kind::CutBody) ? fault->bytes : announced;
        const bool alter = is(Fault::Kind::WrongContent);
        const bool over = is(Fault::Kind::OneByteOver);
        const std::optional<std::chrono::milliseconds> drip =
            is(Fault::Kind::Drip) ? std::optional(fault->delay) : std::nullopt;
        if (announced == 0) {
            response.set_content("", "application/octet-stream");
            return;
        }
        auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
        response.set_content_provider(
            static_cast<std::size_t>(announced), "application/octet-stream",
            [this, in, offset, length, cut, alter, over, drip, path = request.path](
                std::size_t at, std::size_t, httplib::DataSink& sink) {
                const auto position = static_cast<std::int64_t>(at);
                if (position >= cut)
                    return false;  // drops the connection before the announced end
                std::string chunk;
                if (position >= length) {
                    chunk = "+";
                } else {
                    if (drip && !stall(*drip))
                        return false;
                    chunk.resize(static_cast<std::size_t>(std::min<std::int64_t>(
                        {drip ? 1 : static_cast<std::int64_t>(CHUNK), length - position, cut - position})));
                    in->seekg(offset + position);
                    in->read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                    if (!*in)
                        return false;
                    if (alter) {
                        for (char& c : chunk)
                            c = static_cast<char>(~c);
                    }
                    // The extra byte travels with the last ones, as a single batch.
                    if (over && position + static_cast<std::int64_t>(chunk.size()) == length)
                        chunk += '+';
                }
                {
                    const std::lock_guard lock(mutex);
                    served[path] += static_cast<std::int64_t>(chunk.size());
                }
                return sink.write(chunk.data(), chunk.size());
            });
    }
};

HttpsServer::HttpsServer(fs::path root, const TestCa& ca)
    : state_(std::make_unique<State>(std::move(root), ca)) {
    if (!state_->server.is_valid())
        throw std::runtime_error("HTTPS test server: invalid certificate or key");
    state_->server.Get(".*",
                       [state = state_.get()](const httplib::Request& request, httplib::Response& response) {
                           state->handle(request, response);
                       });
    state_->port = state_->server.bind_to_any_port("127.0.0.1");
    if (state_->port <= 0)
        throw std::runtime_error("HTTPS test server: no port");
    state_->thread = std::thread([state = state_.get()] {
        state->server.listen_after_bind();
        state->listening = false;
    });
    // stop() only reaches a server that is already listening; the accept loop starts at once.
    while (!state_->server.is_running() && state_->listening)
        std::this_thread::yield();
}

HttpsServer::~HttpsServer() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->changed.notify_all();
    }
    state_->server.stop();
    state_->thread.join();
    for (const std::string& path : state_->unexpected)
        ADD_FAILURE() << "unexpected request for " << path;
}

std::string HttpsServer::baseUrl() const {
    return "https://127.0.0.1:" + std::to_string(state_->port) + "/";
}

void HttpsServer::inject(const std::string& path, Fault fault, int times) {
    if (times == 0)
        return;
    const std::lock_guard lock(state_->mutex);
    state_->faults[path].push_back({fault, times});
}

std::vector<HttpsServer::Request> HttpsServer::requests() const {
    const std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::vector<std::string> HttpsServer::rangesFor(const std::string& path) const {
    const std::lock_guard lock(state_->mutex);
    std::vector<std::string> ranges;
    for (const Request& request : state_->requests) {
        if (request.path == path)
            ranges.push_back(request.range);
    }
    return ranges;
}

std::int64_t HttpsServer::bytesServed(const std::string& path) const {
    const std::lock_guard lock(state_->mutex);
    const auto found = state_->served.find(path);
    return found == state_->served.end() ? 0 : found->second;
}

std::size_t HttpsServer::handshakes() const {
    return state_->handshakes;
}

void HttpsServer::waitForRequests(std::size_t count) const {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->requests.size() >= count; });
}

}  // namespace orlex::test
