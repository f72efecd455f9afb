#include "accounts/web_client.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <array>
#include <cctype>
#include <exception>

#include "common/failure.h"
#include "common/interruption.h"
#include "common/text.h"
#include "update/system_trust.h"

namespace orlex::accounts {
namespace {

using common::equalsIgnoringCase;
using common::trimmed;

using common::IoFailure;

struct EasyFree {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Exchange {
    WebResponse response;
    bool tooLarge = false;
};

std::size_t onHeader(char* data, std::size_t, std::size_t length, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::string_view line(data, length);
    if (line.starts_with("HTTP/")) {
        exchange->response.headers.clear();  // an interim 1xx answer may come first
        return length;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && colon > 0)
        exchange->response.headers.emplace_back(std::string(line.substr(0, colon)),
                                                std::string(trimmed(line.substr(colon + 1))));
    return length;
}

std::size_t onBody(char* data, std::size_t, std::size_t length, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    if (exchange->response.body.size() + length > WebClient::MAX_BODY) {
        exchange->tooLarge = true;
        return 0;
    }
    exchange->response.body.append(data, length);
    return length;
}

int onProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return common::interruptionRequested() ? 1 : 0;
}

CURLcode addTrust(CURL*, void* sslContext, void* user) {
    static_cast<const update::TrustStore*>(user)->addTo(
        SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext)));
    return CURLE_OK;
}

}  // namespace

std::vector<std::string> WebResponse::all(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name))
            values.push_back(value);
    return values;
}

std::optional<std::string> WebResponse::first(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name))
            return value;
    return std::nullopt;
}

struct WebClient::Handle {
    std::unique_ptr<CURL, EasyFree> easy;
    std::array<char, CURL_ERROR_SIZE> error{};
    update::TrustStore trust;
    std::exception_ptr trustFailure;
};

WebClient::WebClient(std::chrono::milliseconds connectTimeout, std::chrono::milliseconds requestTimeout)
    : handle_(std::make_unique<Handle>()), requestTimeout_(requestTimeout) {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK)
        throw IoFailure("libcurl indisponible");
    try {
        handle_->trust = update::TrustStore::fromProperties();
    } catch (...) {
        handle_->trustFailure = std::current_exception();
    }
    handle_->easy.reset(curl_easy_init());
    if (!handle_->easy)
        throw IoFailure("libcurl indisponible");
    CURL* easy = handle_->easy.get();
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handle_->error.data());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    update::useSystemTrust(easy);
    if (!handle_->trust.empty()) {
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, addTrust);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &handle_->trust);
        curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    }
}

WebClient::~WebClient() = default;

WebResponse WebClient::send(const WebRequest& request) {
    common::throwIfInterrupted();
    const std::lock_guard lock(mutex_);
    if (handle_->trustFailure) {
        try {
            std::rethrow_exception(handle_->trustFailure);
        } catch (...) {
            std::throw_with_nested(IoFailure("Connexion impossible : magasin de certificats"));
        }
    }
    CURL* easy = handle_->easy.get();
    Exchange exchange;
    handle_->error[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(requestTimeout_.count()));
    if (request.method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    // Header lines hold cookies: built here and wiped with the list.
    std::vector<std::string> lines;
    std::unique_ptr<curl_slist, ListFree> list;
    lines.reserve(request.headers.size() + 2);
    for (const auto& [name, value] : request.headers)
        lines.push_back(name + ": " + value);
    lines.push_back("Accept:");
    lines.push_back("Expect:");
    for (const std::string& line : lines) {
        curl_slist* extended = curl_slist_append(list.get(), line.c_str());
        if (!extended)
            throw IoFailure("libcurl indisponible");
        list.release();
        list.reset(extended);
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange);

    const CURLcode result = curl_easy_perform(easy);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
    for (curl_slist* item = list.get(); item; item = item->next)
        OPENSSL_cleanse(item->data, std::char_traits<char>::length(item->data));
    for (std::string& line : lines)
        OPENSSL_cleanse(line.data(), line.size());

    if (result == CURLE_ABORTED_BY_CALLBACK && common::interruptionRequested())
        throw common::Interrupted();
    if (exchange.tooLarge)
        throw IoFailure("Connexion impossible : réponse trop grande");
    if (result != CURLE_OK)
        throw IoFailure("Connexion impossible : " + std::string(curl_easy_strerror(result)));
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &exchange.response.status);
    return std::move(exchange.response);
}

std::optional<std::string> urlScheme(std::string_view url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return std::nullopt;
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = url[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return std::nullopt;
    }
    return std::string(url.substr(0, colon));
}

namespace {

// The authority of an absolute URL ("user@host:port"), nullopt without "//".
std::optional<std::string_view> authority(std::string_view url) {
    const std::optional<std::string> scheme = urlScheme(url);
    if (!scheme)
        return std::nullopt;
    std::string_view rest = url.substr(scheme->size() + 1);
    if (!rest.starts_with("//"))
        return std::nullopt;
    rest.remove_prefix(2);
    return rest.substr(0, rest.find_first_of("/?#"));
}

}  // namespace

std::optional<std::string> urlHost(std::string_view url) {
    const std::optional<std::string_view> found = authority(url);
    if (!found)
        return std::nullopt;
    std::string_view host = *found;
    if (const std::size_t at = host.rfind('@'); at != std::string_view::npos)
        host.remove_prefix(at + 1);
    if (host.starts_with("[")) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = host.substr(1, close - 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        host = host.substr(0, colon);
    }
    if (host.empty())
        return std::nullopt;
    std::string lower(host);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string urlPath(std::string_view url) {
    const std::optional<std::string_view> found = authority(url);
    if (!found)
        return "/";
    const std::size_t start = static_cast<std::size_t>(found->data() + found->size() - url.data());
    std::string_view path = url.substr(start);
    path = path.substr(0, path.find_first_of("?#"));
    return path.empty() ? std::string("/") : std::string(path);
}

std::string resolveReference(std::string_view base, std::string_view reference) {
    if (urlScheme(reference))
        return std::string(reference);
    const std::string scheme = urlScheme(base).value_or("https");
    if (reference.starts_with("//"))
        return scheme + ":" + std::string(reference);
    const std::string origin = scheme + "://" + std::string(authority(base).value_or(""));
    if (reference.starts_with("/"))
        return origin + std::string(reference);
    std::string path = urlPath(base);
    if (reference.empty())
        return origin + path;
    if (reference.starts_with("?") || reference.starts_with("#"))
        return origin + path + std::string(reference);
    path = path.substr(0, path.rfind('/') + 1);
    return origin + path + std::string(reference);
}

}  // namespace orlex::accounts
