#include "update/http_client.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stop_token>
#include <string_view>

#include "common/failure.h"
#include "common/interruption.h"
#include "common/text.h"
#include "update/system_trust.h"

namespace orlex::update {
namespace {

using common::trimmed;

using Clock = std::chrono::steady_clock;
using common::IoFailure;

struct EasyFree {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiFree {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

void initialiseOnce() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK)
        throw IoFailure("libcurl indisponible");
}

[[noreturn]] void raiseWithCause(const IoFailure& failure, std::exception_ptr cause) {
    try {
        std::rethrow_exception(cause);
    } catch (...) {
        std::throw_with_nested(failure);
    }
}

[[noreturn]] void transportFailed(std::exception_ptr cause) {
    raiseWithCause(IoFailure("Transport interrompu"), cause);
}

bool namedHeader(std::string_view line, std::string_view name, std::string_view& value) {
    if (line.size() <= name.size() || line[name.size()] != ':')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    }
    value = trimmed(line.substr(name.size() + 1));
    return true;
}

std::string millis(std::chrono::milliseconds duration) {
    return std::to_string(duration.count()) + " ms";
}

// The state of one exchange, shared with libcurl's callbacks (which run inside curl_multi_perform on
// the sending thread).
struct Exchange {
    CURL* easy = nullptr;
    ResponseBody* body = nullptr;
    long status = 0;
    std::optional<std::string> contentRange;
    bool started = false;
    std::exception_ptr failure;  // thrown by the body; ends the exchange

    void start() {
        started = true;
        body->start(status, contentRange);
    }
};

std::size_t onHeader(char* data, std::size_t, std::size_t length, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::string_view line(data, length);
    try {
        if (line.starts_with("HTTP/")) {
            // A new response begins (an interim 1xx one may precede the final one).
            exchange->status = 0;
            exchange->contentRange.reset();
        } else if (trimmed(line).empty()) {
            curl_easy_getinfo(exchange->easy, CURLINFO_RESPONSE_CODE, &exchange->status);
            if (exchange->status >= 200 && !exchange->started)
                exchange->start();
        } else if (std::string_view value;
                   !exchange->contentRange && namedHeader(line, "Content-Range", value)) {
            exchange->contentRange = std::string(value);
        }
        return length;
    } catch (...) {
        exchange->failure = std::current_exception();
        return 0;
    }
}

std::size_t onBody(char* data, std::size_t, std::size_t length, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    if (exchange->failure)
        return 0;
    try {
        if (!exchange->started) {
            curl_easy_getinfo(exchange->easy, CURLINFO_RESPONSE_CODE, &exchange->status);
            exchange->start();
        }
        exchange->body->accept(std::span(reinterpret_cast<const std::uint8_t*>(data), length));
        return length;
    } catch (...) {
        exchange->failure = std::current_exception();
        return 0;
    }
}

CURLcode addTrust(CURL*, void* sslContext, void* user) {
    static_cast<const TrustStore*>(user)->addTo(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext)));
    return CURLE_OK;
}

}  // namespace

struct HttpClient::Handles {
    std::unique_ptr<CURLM, MultiFree> multi;
    std::unique_ptr<CURL, EasyFree> easy;
    std::array<char, CURL_ERROR_SIZE> error{};
};

HttpClient::HttpClient(std::chrono::milliseconds connectTimeout, TrustStore trust,
                       std::exception_ptr trustFailure)
    : handles_(std::make_unique<Handles>()),
      trust_(std::move(trust)),
      trustFailure_(std::move(trustFailure)) {
    initialiseOnce();
    handles_->multi.reset(curl_multi_init());
    handles_->easy.reset(curl_easy_init());
    if (!handles_->multi || !handles_->easy)
        throw IoFailure("libcurl indisponible");
    CURL* easy = handles_->easy.get();
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    // Larger receive batches: fewer callbacks, writes and progress reports per megabyte.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handles_->error.data());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    useSystemTrust(easy);
    if (!trust_.empty()) {
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, addTrust);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &trust_);
        // A cached store would be shared between connections and miss the certificates added above.
        curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    }
}

HttpClient::~HttpClient() = default;

long HttpClient::send(const HttpRequest& request, ResponseBody& body) {
    common::throwIfInterrupted();
    const std::lock_guard lock(mutex_);
    if (trustFailure_)
        transportFailed(trustFailure_);

    CURLM* multi = handles_->multi.get();
    CURL* easy = handles_->easy.get();
    Exchange exchange;
    exchange.easy = easy;
    exchange.body = &body;
    handles_->error[0] = '\0';
    const std::string range = request.rangeFrom ? std::to_string(*request.rangeFrom) + "-" : std::string();
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_RANGE, request.rangeFrom ? range.c_str() : nullptr);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange);

    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        transportFailed(std::make_exception_ptr(IoFailure("libcurl : requête impossible")));
    // Removing the handle ends the transfer; an unfinished one closes its connection.
    struct Remove {
        CURLM* multi;
        CURL* easy;
        ~Remove() { curl_multi_remove_handle(multi, easy); }
    } remove{multi, easy};

    const std::stop_token token = common::currentStopToken();
    const std::stop_callback wake(token, [multi] { curl_multi_wakeup(multi); });
    const auto begun = Clock::now();
    const auto requestDeadline = begun + request.requestTimeout;
    const auto exchangeDeadline = begun + request.exchangeLimit;

    int running = 1;
    while (true) {
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            transportFailed(std::make_exception_ptr(IoFailure("libcurl : transfert impossible")));
        if (!running)
            break;
        if (token.stop_requested())
            throw common::Interrupted();
        if (exchange.failure)
            break;  // the transfer is already failing; the callbacks refuse every further byte
        const auto now = Clock::now();
        if (now >= exchangeDeadline) {
            raiseWithCause(IoFailure("Délai de téléchargement dépassé"),
                           std::make_exception_ptr(std::runtime_error("Échange non terminé après " +
                                                                      millis(request.exchangeLimit))));
        }
        if (!exchange.started && now >= requestDeadline) {
            transportFailed(
                std::make_exception_ptr(IoFailure("Aucune réponse après " + millis(request.requestTimeout))));
        }
        const auto next = exchange.started ? exchangeDeadline : std::min(exchangeDeadline, requestDeadline);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        const int waitMs = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 1, 1000));
        if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK)
            transportFailed(std::make_exception_ptr(IoFailure("libcurl : attente impossible")));
    }

    CURLcode result = CURLE_OK;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
            result = message->data.result;
    }
    if (exchange.failure) {
        try {
            std::rethrow_exception(exchange.failure);
        } catch (const common::Interrupted&) {
            throw;
        } catch (...) {
            transportFailed(exchange.failure);
        }
    }
    if (result != CURLE_OK) {
        std::string detail = curl_easy_strerror(result);
        if (handles_->error[0] != '\0')
            detail += " : " + std::string(handles_->error.data());
        transportFailed(std::make_exception_ptr(IoFailure("libcurl : " + detail)));
    }
    if (!exchange.started) {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &exchange.status);
        try {
            exchange.start();
        } catch (const common::Interrupted&) {
            throw;
        } catch (...) {
            transportFailed(std::current_exception());
        }
    }
    return exchange.status;
}

}  // namespace orlex::update
