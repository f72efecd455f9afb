#include "update/channel_url.h"

#include <curl/curl.h>

#include <memory>
#include <optional>

#include "common/failure.h"

namespace orlex::update {
namespace {

struct UrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlFree>;

struct TextFree {
    void operator()(char* text) const { curl_free(text); }
};

Url parse(const std::string& text) {
    Url url(curl_url());
    if (!url)
        throw common::IoFailure("Mémoire insuffisante");
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return nullptr;
    return url;
}

// The part's text, or nullopt when the URL has none.
std::optional<std::string> part(CURLU* url, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr)
        return std::nullopt;
    std::unique_ptr<char, TextFree> owned(raw);
    return std::string(raw);
}

}  // namespace

void checkChannelBase(const std::string& base) {
    // The authority must be there in the text itself: "https:///c/" names no host, whatever a lenient
    // parser makes of it.
    const std::size_t authority = base.find("://");
    if (authority == std::string::npos || base.size() <= authority + 3 || base[authority + 3] == '/') {
        throw common::SecurityFailure("Distribution HTTPS requise");
    }
    const Url url = parse(base);
    if (!url || part(url.get(), CURLUPART_SCHEME) != "https" || !part(url.get(), CURLUPART_HOST) ||
        part(url.get(), CURLUPART_HOST)->empty() || part(url.get(), CURLUPART_USER) ||
        part(url.get(), CURLUPART_PASSWORD) || part(url.get(), CURLUPART_QUERY) ||
        part(url.get(), CURLUPART_FRAGMENT)) {
        throw common::SecurityFailure("Distribution HTTPS requise");
    }
    if (!base.ends_with('/'))
        throw common::SecurityFailure("URL de canal invalide");
}

std::string resolveUrl(const std::string& base, const std::string& relative) {
    Url url = parse(base);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, relative.c_str(), 0) != CURLUE_OK) {
        throw common::FormatFailure("URL invalide : " + relative);
    }
    const auto resolved = part(url.get(), CURLUPART_URL);
    if (!resolved)
        throw common::FormatFailure("URL invalide : " + relative);
    return *resolved;
}

}  // namespace orlex::update
