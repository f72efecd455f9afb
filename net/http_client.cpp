#include "net/http_client.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <stop_token>

#include "common/interruption.h"
#include "common/text.h"
#include "net/curl_handles.h"
#include "net/system_trust.h"

namespace orlex::net {
namespace {

using Clock = std::chrono::steady_clock;
using common::IoFailure;
using common::trimmed;
using Kind = ExchangeFailure::Kind;

// A response head is a few hundred bytes; more than this is no head worth keeping.
constexpr std::size_t MAX_HEAD_BYTES = 256 * 1024;

std::string millis(std::chrono::milliseconds duration) {
    return std::to_string(duration.count()) + " ms";
}

[[noreturn]] void fail(Kind kind, const std::string& reason, std::exception_ptr cause) {
    throw ExchangeFailure(kind, reason, std::move(cause));
}

// libcurl failed: its own words as the reason, with the detail of its error buffer in the cause.
[[noreturn]] void curlFailed(CURLcode code, const char* detail) {
    const std::string reason = curl_easy_strerror(code);
    const std::string described = detail[0] != '\0' ? reason + " : " + detail : reason;
    fail(Kind::Connection, reason, std::make_exception_ptr(IoFailure("libcurl : " + described)));
}

// The body refused the response: what it threw is the cause, and its message the reason.
[[noreturn]] void bodyFailed(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const common::Interrupted&) {
        throw;
    } catch (const std::exception& thrown) {
        fail(Kind::Body, thrown.what(), failure);
    } catch (...) {
        fail(Kind::Body, "corps refusé", failure);
    }
}

// The state of one exchange, shared with libcurl's callbacks (which run inside curl_multi_perform on
// the sending thread).
struct Exchange {
    CURL* easy = nullptr;
    ResponseBody* body = nullptr;
    ResponseHead head;
    std::size_t headBytes = 0;
    bool started = false;
    std::exception_ptr headFailure;  // the head broke a limit; ends the exchange
    std::exception_ptr bodyFailure;  // thrown by the body; ends the exchange

    bool failed() const { return headFailure || bodyFailure; }

    void start() {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &head.status);
        started = true;
        body->start(head);
    }
};

std::size_t onHeader(char* data, std::size_t, std::size_t length, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::string_view line(data, length);
    if (line.starts_with("HTTP/")) {
        // A new response begins (an interim 1xx one may precede the final one).
        exchange->head.headers.clear();
        exchange->headBytes = 0;
        return length;
    }
    exchange->headBytes += length;
    if (exchange->headBytes > MAX_HEAD_BYTES) {
        exchange->headFailure = std::make_exception_ptr(IoFailure("En-têtes trop grands"));
        return 0;
    }
    try {
        if (trimmed(line).empty()) {
            long status = 0;
            curl_easy_getinfo(exchange->easy, CURLINFO_RESPONSE_CODE, &status);
            if (status >= 200 && !exchange->started)
                exchange->start();
        } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
            exchange->head.headers.emplace_back(std::string(line.substr(0, colon)),
                                                std::string(trimmed(line.substr(colon + 1))));
        }
        return length;
    } catch (...) {
        exchange->bodyFailure = std::current_exception();
        return 0;
    }
}

std::size_t onBody(char* data, std::size_t, std::size_t length, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    if (exchange->failed())
        return 0;
    try {
        if (!exchange->started)
            exchange->start();
        exchange->body->accept(std::span(reinterpret_cast<const std::uint8_t*>(data), length));
        return length;
    } catch (...) {
        exchange->bodyFailure = std::current_exception();
        return 0;
    }
}

// Each new connection's store: the host's certificates libcurl left to the client, then the configured ones.
CURLcode addTrust(CURL*, void* sslContext, void* user) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    addSystemTrust(store);
    static_cast<const TrustStore*>(user)->addTo(store);
    return CURLE_OK;
}

// The request's header lines, and libcurl's own Accept and Expect left out. The lines may hold secrets:
// both copies are wiped on destruction.
class HeaderLines {
public:
    explicit HeaderLines(const HeaderFields& headers) {
        lines_.reserve(headers.size() + 2);
        for (const auto& [name, value] : headers)
            lines_.push_back(name + ": " + value);
        lines_.push_back("Accept:");
        lines_.push_back("Expect:");
        for (const std::string& line : lines_) {
            curl_slist* extended = curl_slist_append(list_.get(), line.c_str());
            if (!extended)
                throw std::bad_alloc();
            static_cast<void>(list_.release());  // now owned by extended
            list_.reset(extended);
        }
    }
    HeaderLines(const HeaderLines&) = delete;
    HeaderLines& operator=(const HeaderLines&) = delete;
    ~HeaderLines() {
        for (curl_slist* item = list_.get(); item; item = item->next)
            OPENSSL_cleanse(item->data, std::char_traits<char>::length(item->data));
        for (std::string& line : lines_)
            OPENSSL_cleanse(line.data(), line.size());
    }

    curl_slist* list() const { return list_.get(); }

private:
    std::vector<std::string> lines_;
    HeaderList list_;
};

}  // namespace

std::optional<std::int64_t> httpDate(const std::string& text) {
    const time_t at = curl_getdate(text.c_str(), nullptr);
    if (at == -1)
        return std::nullopt;
    return static_cast<std::int64_t>(at);
}

std::vector<std::string> ResponseHead::all(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers)
        if (common::equalsIgnoringCase(key, name))
            values.push_back(value);
    return values;
}

std::optional<std::string> ResponseHead::first(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (common::equalsIgnoringCase(key, name))
            return value;
    return std::nullopt;
}

void BufferedResponse::accept(std::span<const std::uint8_t> batch) {
    if (batch.size() > cap_ - body_.size())
        throw IoFailure("Réponse trop grande");
    body_.append(reinterpret_cast<const char*>(batch.data()), batch.size());
}

struct HttpClient::Handles {
    MultiHandle multi;
    EasyHandle easy;
    std::array<char, CURL_ERROR_SIZE> error{};
};

HttpClient::HttpClient(std::chrono::milliseconds connectTimeout, const TrustConfig& trust)
    : handles_(std::make_unique<Handles>()) {
    initialiseCurl();
    try {
        trust_ = TrustStore::configured(trust);
    } catch (const IoFailure&) {
        // An unreadable store fails each exchange, as the reason why, instead of the client's construction.
        trustFailure_ = std::current_exception();
    }
    handles_->multi.reset(curl_multi_init());
    handles_->easy.reset(curl_easy_init());
    if (!handles_->multi || !handles_->easy)
        throw IoFailure("libcurl indisponible");
    CURL* easy = handles_->easy.get();
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A name lookup that stalls is left to end on its own thread: otherwise removing the transfer, on a
    // stop or a deadline, waits for it, and a silent DNS server holds a closing window for half a minute.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
    // Larger receive batches: fewer callbacks, writes and progress reports per megabyte.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handles_->error.data());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    useSystemTrust(easy);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, addTrust);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &trust_);
    // A cached store would be shared between connections and miss the certificates added above.
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
}

HttpClient::~HttpClient() = default;

long HttpClient::send(const Request& request, ResponseBody& body) {
    common::throwIfInterrupted();
    const std::lock_guard lock(mutex_);
    if (trustFailure_)
        fail(Kind::Trust, "magasin de certificats", trustFailure_);

    CURLM* multi = handles_->multi.get();
    CURL* easy = handles_->easy.get();
    Exchange exchange;
    exchange.easy = easy;
    exchange.body = &body;
    handles_->error[0] = '\0';
    const HeaderLines lines(request.headers);
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    if (request.method == Method::Post) {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        // Never a null pointer: libcurl would read the body from its default source instead.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, lines.list());
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange);

    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        fail(Kind::Connection, "requête impossible",
             std::make_exception_ptr(IoFailure("libcurl : requête impossible")));
    // Removing the handle ends the transfer (an unfinished one closes its connection); the handle then
    // forgets the request's lines and body, which the caller may wipe.
    struct Remove {
        CURLM* multi;
        CURL* easy;
        ~Remove() {
            curl_multi_remove_handle(multi, easy);
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
        }
    } remove{multi, easy};

    const std::stop_token token = common::currentStopToken();
    const std::stop_callback wake(token, [multi] { curl_multi_wakeup(multi); });
    const auto begun = Clock::now();
    const auto headersDeadline = begun + request.headersTimeout;
    const auto exchangeDeadline = begun + request.exchangeTimeout;
    const std::string timedOut = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);

    int running = 1;
    while (true) {
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            fail(Kind::Connection, "transfert impossible",
                 std::make_exception_ptr(IoFailure("libcurl : transfert impossible")));
        if (!running)
            break;
        if (token.stop_requested())
            throw common::Interrupted();
        if (exchange.failed())
            break;  // the transfer is already failing; the callbacks refuse every further byte
        const auto now = Clock::now();
        if (now >= exchangeDeadline) {
            fail(Kind::Deadline, timedOut,
                 std::make_exception_ptr(
                     std::runtime_error("Échange non terminé après " + millis(request.exchangeTimeout))));
        }
        if (!exchange.started && now >= headersDeadline) {
            fail(
                Kind::Connection, timedOut,
                std::make_exception_ptr(IoFailure("Aucune réponse après " + millis(request.headersTimeout))));
        }
        const auto next = exchange.started ? exchangeDeadline : std::min(exchangeDeadline, headersDeadline);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        const int waitMs = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 1, 1000));
        if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK)
            fail(Kind::Connection, "attente impossible",
                 std::make_exception_ptr(IoFailure("libcurl : attente impossible")));
    }

    CURLcode result = CURLE_OK;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
            result = message->data.result;
    }
    if (exchange.bodyFailure)
        bodyFailed(exchange.bodyFailure);
    if (exchange.headFailure)
        fail(Kind::Connection, "en-têtes trop grands", exchange.headFailure);
    if (result != CURLE_OK)
        curlFailed(result, handles_->error.data());
    if (!exchange.started) {
        try {
            exchange.start();
        } catch (...) {
            bodyFailed(std::current_exception());
        }
    }
    return exchange.head.status;
}

}  // namespace orlex::net
