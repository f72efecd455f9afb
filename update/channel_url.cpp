#include "update/channel_url.h"

#include <optional>

#include "common/failure.h"
#include "net/url.h"

namespace orlex::update {

void checkChannelBase(const std::string& base) {
    const std::optional<net::Url> url = net::Url::parse(base);
    if (!url || url->scheme() != "https" || url->user() || url->password() || url->query() || url->fragment())
        throw common::SecurityFailure("Distribution HTTPS requise");
    if (!base.ends_with('/'))
        throw common::SecurityFailure("URL de canal invalide");
}

std::string resolveUrl(const std::string& base, const std::string& relative) {
    const std::optional<net::Url> url = net::Url::parse(base);
    const std::optional<net::Url> resolved = url ? url->resolve(relative) : std::nullopt;
    if (!resolved)
        throw common::FormatFailure("URL invalide : " + relative);
    return resolved->text();
}

}  // namespace orlex::update
