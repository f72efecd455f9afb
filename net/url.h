#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct Curl_URL CURLU;

namespace orlex::net {

// An absolute URL with an authority ("scheme://host…"), as libcurl's URL parser reads it (RFC 3986):
// the scheme and host in lower case, the path with its dot segments removed. Any scheme is read, not
// only those libcurl can fetch. A value: copies are independent; const members may run on any thread.
class Url {
public:
    // nullopt when text is not such a URL: no scheme, no "//", an authority without a host (the text
    // "https:///c/" names none, whatever a lenient reading makes of it), or a malformed part.
    static std::optional<Url> parse(std::string_view text);

    Url(const Url& other);
    Url& operator=(const Url& other);
    Url(Url&&) noexcept = default;
    Url& operator=(Url&&) noexcept = default;
    ~Url();

    std::string text() const;    // the whole URL
    std::string scheme() const;  // lower case
    std::string host() const;    // lower case, never empty; an IPv6 address without its brackets
    std::string path() const;    // "/" when the URL has none
    // Each nullopt when the URL has none; an empty text when it is there but empty ("https://@h/").
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    std::optional<std::string> query() const;
    std::optional<std::string> fragment() const;

    // reference resolved against this URL as its base, dot segments removed: an absolute URL (read as
    // parse() reads it), "//authority…", "/path…", a relative path, "?query", "#fragment", or "" (this URL
    // without its fragment). nullopt when the result is not a URL parse() would accept.
    std::optional<Url> resolve(std::string_view reference) const;

private:
    struct Free {
        void operator()(CURLU* url) const noexcept;
    };
    explicit Url(std::unique_ptr<CURLU, Free> handle) : handle_(std::move(handle)) {}

    std::unique_ptr<CURLU, Free> handle_;  // never null but in a moved-from Url
};

}  // namespace orlex::net
