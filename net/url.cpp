#include "net/url.h"

#include <curl/curl.h>

#include <cctype>
#include <new>

#include "net/curl_handles.h"

namespace orlex::net {
namespace {

// Any scheme is read; which ones may be fetched is the client's business.
constexpr unsigned int FLAGS = CURLU_NON_SUPPORT_SCHEME;

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The length of text's scheme (RFC 3986: a letter, then letters, digits, "+", "-", "."), followed by
// ":"; 0 when text does not start with one.
std::size_t schemeLength(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return 0;
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return 0;
    }
    return colon;
}

// Whether text at `at` holds "//" and an authority that is not empty.
bool authorityAt(std::string_view text, std::size_t at) {
    return text.substr(at).starts_with("//") && text.size() > at + 2 &&
           std::string_view("/?#").find(text[at + 2]) == std::string_view::npos;
}

std::optional<std::string> partOf(CURLU* url, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr)
        return std::nullopt;
    const CurlText owned(raw);
    return std::string(raw);
}

}  // namespace

void Url::Free::operator()(CURLU* url) const noexcept {
    curl_url_cleanup(url);
}

std::optional<Url> Url::parse(std::string_view text) {
    const std::size_t scheme = schemeLength(text);
    if (scheme == 0 || !authorityAt(text, scheme + 1))
        return std::nullopt;
    std::unique_ptr<CURLU, Free> handle(curl_url());
    if (!handle)
        throw std::bad_alloc();
    const std::string terminated(text);
    if (curl_url_set(handle.get(), CURLUPART_URL, terminated.c_str(), FLAGS) != CURLUE_OK)
        return std::nullopt;
    const std::optional<std::string> host = partOf(handle.get(), CURLUPART_HOST);
    if (!host || host->empty() || *host == "[]")
        return std::nullopt;
    return Url(std::move(handle));
}

Url::Url(const Url& other) : handle_(curl_url_dup(other.handle_.get())) {
    if (!handle_)
        throw std::bad_alloc();
}

Url& Url::operator=(const Url& other) {
    if (this != &other)
        *this = Url(other);
    return *this;
}

Url::~Url() = default;

std::string Url::text() const {
    return partOf(handle_.get(), CURLUPART_URL).value_or("");
}

std::string Url::scheme() const {
    return lowerCase(partOf(handle_.get(), CURLUPART_SCHEME).value_or(""));
}

std::string Url::host() const {
    std::string host = partOf(handle_.get(), CURLUPART_HOST).value_or("");
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return lowerCase(std::move(host));
}

std::string Url::path() const {
    const std::optional<std::string> path = partOf(handle_.get(), CURLUPART_PATH);
    return path && !path->empty() ? *path : std::string("/");
}

std::optional<std::string> Url::user() const {
    return partOf(handle_.get(), CURLUPART_USER);
}

std::optional<std::string> Url::password() const {
    return partOf(handle_.get(), CURLUPART_PASSWORD);
}

std::optional<std::string> Url::query() const {
    return partOf(handle_.get(), CURLUPART_QUERY);
}

std::optional<std::string> Url::fragment() const {
    return partOf(handle_.get(), CURLUPART_FRAGMENT);
}

std::optional<Url> Url::resolve(std::string_view reference) const {
    if (schemeLength(reference) > 0)
        return parse(reference);
    if (reference.starts_with("//") && !authorityAt(reference, 0))
        return std::nullopt;
    Url resolved(*this);
    // An empty reference and a fragment alone keep the base's whole path, which libcurl's own
    // resolution cuts back to its last "/".
    if (reference.empty() || reference.starts_with('#')) {
        const std::string fragment(reference.empty() ? std::string_view() : reference.substr(1));
        if (curl_url_set(resolved.handle_.get(), CURLUPART_FRAGMENT,
                         reference.empty() ? nullptr : fragment.c_str(), 0) != CURLUE_OK)
            return std::nullopt;
        return resolved;
    }
    const std::string terminated(reference);
    if (curl_url_set(resolved.handle_.get(), CURLUPART_URL, terminated.c_str(), FLAGS) != CURLUE_OK)
        return std::nullopt;
    // The reference may have named a new authority: it must still hold a host.
    return parse(resolved.text());
}

}  // namespace orlex::net
