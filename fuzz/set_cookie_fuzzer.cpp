// One Set-Cookie header as the account client receives it: a cookie it returns has a valid name, no
// attribute or control character in its name or value, and a lifetime whose expiry can be asked at any
// time.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "accounts/halvo_id_client.h"
#include "fuzz/fuzz_support.h"

namespace orlex::fuzz {
namespace {

bool tokenCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 32 && u < 127 && std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

// An HTTP token that does not begin with "$" and is no attribute name.
bool validName(std::string_view name) {
    if (name.empty() || name.front() == '$')
        return false;
    for (const std::string_view reserved : {"comment", "commenturl", "discard", "domain", "expires",
                                            "max-age", "path", "port", "secure", "version", "httponly"}) {
        if (name.size() == reserved.size() &&
            std::equal(name.begin(), name.end(), reserved.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            }))
            return false;
    }
    return std::all_of(name.begin(), name.end(), tokenCharacter);
}

// A value that could not go into a request head as it is.
bool controlIn(std::string_view value) {
    return std::any_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 32 || u == 127;
    });
}

bool trimmedText(std::string_view text) {
    return text.empty() ||
           (static_cast<unsigned char>(text.front()) > ' ' && static_cast<unsigned char>(text.back()) > ' ');
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    using Clock = std::chrono::steady_clock;
    const std::string_view header = textOf(data, size);
    const Clock::time_point now = Clock::now();
    const std::optional<accounts::Cookie> cookie = accounts::parseSetCookie(header, now);
    if (!cookie) {
        const std::string_view first = header.substr(0, header.find(';'));
        const std::size_t equals = first.find('=');
        expect(equals == std::string_view::npos || !validName(trim(first.substr(0, equals))) ||
                   controlIn(trim(first.substr(equals + 1))),
               "a named cookie refused");
        return 0;
    }
    expect(validName(cookie->name), "name");
    expect(cookie->value.find(';') == std::string::npos && !controlIn(cookie->value) &&
               trimmedText(cookie->value),
           "value");
    expect(cookie->domain.find(';') == std::string::npos && cookie->path.find(';') == std::string::npos,
           "attribute");
    expect(cookie->maxAge >= -1, "lifetime");
    expect(cookie->received == now, "reception time");
    // The expiry question at any time of a launcher's life, even centuries on, must not overflow.
    (void)cookie->expired(now);
    (void)cookie->expired(now + std::chrono::hours(24 * 365 * 200));
    if (cookie->maxAge > 0)
        expect(!cookie->expired(now), "expired when received");
    if (cookie->maxAge == 0)
        expect(cookie->expired(now), "a zero lifetime does not expire");
    return 0;
}
