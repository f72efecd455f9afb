#include "accounts/halvo_id_client.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <limits>
#include <span>
#include <system_error>

#include "accounts/secret_buffer.h"
#include "accounts/web_exchange.h"
#include "common/base64.h"
#include "common/failure.h"
#include "common/file_system.h"
#include "common/host.h"
#include "common/text.h"
#include "common/uuid.h"
#include "net/url.h"

namespace orlex::accounts {
namespace {

using common::equalsIgnoringCase;
using common::trimmed;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using common::IoFailure;

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool startsWithIgnoringCase(std::string_view text, std::size_t at, std::string_view prefix) {
    return at <= text.size() && text.size() - at >= prefix.size() &&
           equalsIgnoringCase(text.substr(at, prefix.size()), prefix);
}

// White space as regular expressions know it: space, tab, line feed, vertical tab, form feed, return.
bool regexSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool blank(std::string_view text) {
    return trimmed(text).empty();
}

// Lower case for ASCII and the Latin-1 letters (UTF-8 "À".."Þ"), enough for the signed-in markers.
std::string lowerText(std::string_view text) {
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c < 0x80) {
            out[i] = lower(out[i]);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            const auto next = static_cast<unsigned char>(out[i + 1]);
            if (next >= 0x80 && next <= 0x9E && next != 0x97)
                out[i + 1] = static_cast<char>(next + 0x20);
            ++i;
        }
    }
    return out;
}

// A cookie value goes into a request's head as it is: no control character, nor the ";" that would end it.
bool validCookieValue(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 32 || u == 127 || c == ';';
    });
}

bool quote(char c) {
    return c == '"' || c == '\'';
}

// A cookie name must be an HTTP token that does not begin with "$" and is no attribute name.
bool validCookieName(std::string_view name) {
    if (name.empty() || name.front() == '$')
        return false;
    for (const std::string_view reserved : {"Comment", "CommentURL", "Discard", "Domain", "Expires",
                                            "Max-Age", "Path", "Port", "Secure", "Version", "HttpOnly"})
        if (equalsIgnoringCase(name, reserved))
            return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

bool isIpAddress(std::string_view host) {
    return host.find(':') != std::string_view::npos || std::all_of(host.begin(), host.end(), [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
           });
}

// Whether a cookie of the given domain attribute belongs to host.
bool domainMatches(std::string_view domain, std::string_view host) {
    if (domain.starts_with("."))
        domain.remove_prefix(1);
    if (domain.empty())
        return false;
    if (equalsIgnoringCase(domain, host))
        return true;
    return !isIpAddress(host) && host.size() > domain.size() + 1 &&
           host[host.size() - domain.size() - 1] == '.' &&
           equalsIgnoringCase(host.substr(host.size() - domain.size()), domain);
}

bool pathMatches(std::string_view cookiePath, std::string_view requestPath) {
    return requestPath.starts_with(cookiePath);
}

// The path a cookie without a Path attribute takes: the request path up to its last "/".
std::string defaultPath(const std::string& requestPath) {
    if (requestPath.ends_with("/"))
        return requestPath;
    const std::size_t slash = requestPath.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : requestPath.substr(0, slash + 1);
}

}  // namespace

std::optional<Cookie> parseSetCookie(std::string_view header, Clock::time_point now) {
    Cookie cookie;
    cookie.received = now;
    cookie.path.clear();
    cookie.domain.clear();
    std::optional<std::int64_t> maxAge;
    std::optional<std::int64_t> expires;
    bool first = true;
    while (true) {
        const std::size_t semicolon = header.find(';');
        const std::string_view part = header.substr(0, semicolon);
        const std::size_t equals = part.find('=');
        const std::string_view name = trimmed(part.substr(0, equals));
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : trimmed(part.substr(equals + 1));
        if (first) {
            if (equals == std::string_view::npos || !validCookieName(name) || !validCookieValue(value))
                return std::nullopt;
            cookie.name = name;
            cookie.value = value;
            first = false;
        } else if (equalsIgnoringCase(name, "Domain")) {
            cookie.domain = value;
        } else if (equalsIgnoringCase(name, "Path")) {
            cookie.path = value;
        } else if (equalsIgnoringCase(name, "Max-Age")) {
            // A lifetime beyond 64 bits of seconds never ends anyway: it saturates.
            maxAge = common::parseInteger(value, common::OutOfRange::Saturated);
        } else if (equalsIgnoringCase(name, "Expires")) {
            if (const std::optional<std::int64_t> at = net::httpDate(std::string(value)))
                expires = std::max<std::int64_t>(0, *at - static_cast<std::int64_t>(std::time(nullptr)));
        } else if (equalsIgnoringCase(name, "Secure")) {
            cookie.secure = true;
        } else if (equalsIgnoringCase(name, "HttpOnly")) {
            cookie.httpOnly = true;
        }
        if (semicolon == std::string_view::npos)
            break;
        header.remove_prefix(semicolon + 1);
    }
    cookie.maxAge = maxAge ? std::max<std::int64_t>(*maxAge, 0) : expires.value_or(-1);
    return cookie;
}

namespace {

// Adds cookie in place of one of the same name, domain and path; a cookie already expired only removes.
void addToJar(std::vector<Cookie>& jar, Cookie cookie) {
    std::erase_if(jar, [&](const Cookie& held) {
        return equalsIgnoringCase(held.name, cookie.name) && equalsIgnoringCase(held.domain, cookie.domain) &&
               held.path == cookie.path;
    });
    if (cookie.maxAge != 0)
        jar.push_back(std::move(cookie));
}

std::string encodeField(std::string_view text) {
    return common::base64UrlEncode(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string decodeField(std::string_view text) {
    std::string standard(text);
    for (char& c : standard) {
        if (c == '+' || c == '/')
            throw common::FormatFailure("base64 invalide");
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
    }
    const common::Bytes bytes = common::base64Decode(standard);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string_view> splitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    while (true) {
        const std::size_t tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos)
            return fields;
        line.remove_prefix(tab + 1);
    }
}

bool redirect(long status) {
    return status >= 300 && status <= 399;
}

// The parts of a request URL that cookies are matched on; empty ones for text that is no URL.
struct CookieScope {
    std::string host;
    std::string path = "/";
    bool https = false;

    explicit CookieScope(const std::string& url) {
        if (const std::optional<net::Url> parsed = net::Url::parse(url)) {
            host = parsed->host();
            path = parsed->path();
            https = parsed->scheme() == "https";
        }
    }
};

std::string withoutTrailingSlashes(std::string origin) {
    while (origin.ends_with("/"))
        origin.pop_back();
    return origin;
}

}  // namespace

bool Cookie::expired(Clock::time_point now) const {
    // Elapsed whole seconds against the lifetime: received + maxAge in the clock's nanoseconds would
    // overflow for lifetimes beyond 292 years (a far Expires date, a huge Max-Age).
    return maxAge >= 0 && std::chrono::floor<std::chrono::seconds>(now - received).count() >= maxAge;
}

HalvoIdClient::HalvoIdClient(fs::path sessionFile, HalvoIdSettings settings)
    : sessionFile_(std::move(sessionFile)),
      origin_(withoutTrailingSlashes(std::move(settings.origin))),
      serviceDomain_(CookieScope(origin_).host),
      requestTimeout_(settings.requestTimeout),
      web_(std::make_unique<net::HttpClient>(settings.connectTimeout, settings.trust)) {
    restore();
}

HalvoIdClient::~HalvoIdClient() = default;

std::vector<Cookie> HalvoIdClient::cookies() const {
    const std::lock_guard lock(mutex_);
    return jar_;
}

Result HalvoIdClient::login(std::string_view identifier, std::string_view password) {
    {
        const std::lock_guard lock(mutex_);
        jar_.clear();
    }
    return submit(LOGIN, LOGIN_API, {{"identifier", identifier}, {"password", password}});
}

Result HalvoIdClient::registerAccount(std::string_view username, std::string_view displayName,
                                      std::string_view email, std::string_view password,
                                      std::string_view confirm) {
    if (password != confirm)
        return {false, "Les mots de passe diffèrent."};
    const bool validName = username.size() >= 3 && username.size() <= 24 &&
                           std::all_of(username.begin(), username.end(), [](char c) {
                               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                      (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
                           });
    if (!validName)
        return {false, "Le pseudo doit contenir 3 à 24 caractères valides."};
    // Counted in characters, not bytes.
    const auto characters = std::count_if(password.begin(), password.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    if (characters < 10)
        return {false, "Le mot de passe doit contenir au moins 10 caractères."};
    return submit(REGISTER, REGISTER_API,
                  {{"username", username},
                   {"display_name", displayName},
                   {"email", email},
                   {"password", password},
                   {"password_confirm", confirm},
                   {"terms", "1"}});
}

Result HalvoIdClient::submit(std::string_view page, std::string_view endpoint,
                             const std::vector<std::pair<std::string, std::string_view>>& fields) {
    const net::BufferedResponse pageAnswer = get(page);
    if (redirect(pageAnswer.status()) && sessionValid())
        return {true, "Connecté."};
    if (pageAnswer.status() != 200)
        throw IoFailure("HALVO ID indisponible (" + std::to_string(pageAnswer.status()) + ").");
    const std::string token = csrfToken(pageAnswer.body());
    if (token.empty())
        throw IoFailure("Jeton de sécurité HALVO ID introuvable.");

    std::vector<std::pair<std::string, std::string_view>> all;
    all.reserve(fields.size() + 1);
    all.emplace_back("csrf_token", token);
    all.insert(all.end(), fields.begin(), fields.end());
    std::string body = form(all);
    std::optional<net::BufferedResponse> answer;
    try {
        answer = post(endpoint, body);
    } catch (...) {
        wipeString(body);
        throw;
    }
    wipeString(body);

    if (redirect(answer->status())) {
        const std::string location = answer->head().first("Location").value_or("");
        if (!blank(location)) {
            // The location is resolved against the form's target; one that resolves to no URL is no
            // trusted destination, but the session is asked about all the same.
            const std::optional<net::Url> target = net::Url::parse(origin_ + std::string(endpoint));
            const std::optional<net::Url> destination = target ? target->resolve(location) : std::nullopt;
            const bool authenticated = sessionValid();
            if (destination && acceptedRedirect(destination->text(), authenticated))
                return {true, "Connexion HALVO ID établie."};
        }
        return {false, "Identifiant ou mot de passe incorrect."};
    }
    const std::string text = message(answer->body());
    return {false, text.empty() ? std::string("Connexion HALVO ID refusée.") : text};
}

bool HalvoIdClient::sessionValid() {
    {
        const std::lock_guard lock(mutex_);
        const Clock::time_point now = Clock::now();
        std::erase_if(jar_, [&](const Cookie& cookie) { return cookie.expired(now); });
        if (jar_.empty())
            return false;
    }
    const net::BufferedResponse page = get(LOGIN);
    if (redirect(page.status()))
        return true;
    if (page.status() != 200 || !csrfToken(page.body()).empty())
        return false;
    const std::string text = lowerText(page.body());
    return text.find("logout") != std::string::npos || text.find("déconnexion") != std::string::npos ||
           text.find("deconnexion") != std::string::npos;
}

std::string HalvoIdClient::sessionCookieHeader() const {
    return cookieHeaderFor(origin_ + LOGIN, true);
}

std::string HalvoIdClient::cookieHeaderFor(const std::string& url, bool trustedOnly) const {
    const CookieScope scope(url);
    const Clock::time_point now = Clock::now();
    std::string header;
    const std::lock_guard lock(mutex_);
    for (const Cookie& cookie : jar_) {
        if (cookie.expired(now) || !domainMatches(cookie.domain, scope.host) ||
            !pathMatches(cookie.path, scope.path) || (cookie.secure && !scope.https) ||
            (trustedOnly && !trustedDomain(cookie.domain)))
            continue;
        if (!header.empty())
            header += "; ";
        header += cookie.name + "=" + cookie.value;
    }
    return header;
}

net::BufferedResponse HalvoIdClient::get(std::string_view path) {
    net::Request request{.url = origin_ + std::string(path),
                         .headersTimeout = requestTimeout_,
                         .exchangeTimeout = requestTimeout_};
    return exchange(request);
}

net::BufferedResponse HalvoIdClient::post(std::string_view path, std::string_view body) {
    net::Request request{.method = net::Method::Post,
                         .url = origin_ + std::string(path),
                         .headers = {{"Content-Type", "application/x-www-form-urlencoded; charset=UTF-8"}},
                         .body = body,
                         .headersTimeout = requestTimeout_,
                         .exchangeTimeout = requestTimeout_};
    return exchange(request);
}

// Adds the jar's cookies to request, sends it, wipes its header values and keeps the answer's cookies.
net::BufferedResponse HalvoIdClient::exchange(net::Request& request) {
    std::string cookies = cookieHeaderFor(request.url, false);
    if (!cookies.empty())
        request.headers.emplace_back("Cookie", cookies);
    wipeString(cookies);
    std::optional<net::BufferedResponse> response;
    try {
        response = webExchange(*web_, request);
    } catch (...) {
        for (auto& [name, value] : request.headers)
            wipeString(value);
        throw;
    }
    for (auto& [name, value] : request.headers)
        wipeString(value);
    store(request.url, *response);
    return std::move(*response);
}

void HalvoIdClient::store(const std::string& url, const net::BufferedResponse& response) {
    const CookieScope scope(url);
    const Clock::time_point now = Clock::now();
    const std::lock_guard lock(mutex_);
    for (const std::string& header : response.head().all("Set-Cookie")) {
        std::optional<Cookie> cookie = parseSetCookie(header, now);
        if (!cookie)
            continue;
        if (cookie->path.empty())
            cookie->path = defaultPath(scope.path);
        if (cookie->domain.empty())
            cookie->domain = scope.host;
        // Origin-server policy: only cookies for the host that answered.
        if (!domainMatches(cookie->domain, scope.host))
            continue;
        addToJar(jar_, std::move(*cookie));
    }
}

void HalvoIdClient::persist() const {
    const std::string separator = common::lineSeparator();
    std::string text;
    {
        const Clock::time_point now = Clock::now();
        const std::lock_guard lock(mutex_);
        for (const Cookie& cookie : jar_) {
            if (cookie.expired(now) || !trustedDomain(cookie.domain))
                continue;
            text += encodeField(cookie.name) + "\t" + encodeField(cookie.value) + "\t" +
                    encodeField(cookie.domain) + "\t" + encodeField(cookie.path) + "\t" +
                    std::to_string(cookie.maxAge) + "\t" + (cookie.secure ? "true" : "false") + "\t" +
                    (cookie.httpOnly ? "true" : "false") + separator;
        }
    }
    // Written beside the file, readable by its owner alone from its creation on, then renamed over it:
    // the cookies are never open to others, and a handle on the old file never sees them.
    fs::path temporary = sessionFile_;
    temporary += ".tmp-" + common::randomUuid();
    try {
        if (sessionFile_.has_parent_path())
            fs::create_directories(sessionFile_.parent_path());
        common::writeNewFile(temporary,
                             std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                             {.ownerOnly = true, .durable = true});
        common::replaceFile(temporary, sessionFile_);
        common::syncDirectory(sessionFile_.parent_path());
    } catch (...) {
        wipeString(text);
        std::error_code ignored;
        fs::remove(temporary, ignored);
        std::throw_with_nested(IoFailure("Session HALVO ID non enregistrée : " + sessionFile_.string()));
    }
    wipeString(text);
}

void HalvoIdClient::logout() {
    {
        const std::lock_guard lock(mutex_);
        jar_.clear();
    }
    std::error_code ignored;
    fs::remove(sessionFile_, ignored);
}

void HalvoIdClient::restore() {
    try {
        // Far beyond any jar the service sets: a larger file is damage, discarded like any other.
        constexpr std::size_t SESSION_FILE_LIMIT = 1u << 20;
        common::SmallFile file = common::readSmallFile(sessionFile_, SESSION_FILE_LIMIT);
        // Anything but a regular file (a link, a directory, nothing) is left as it is: it is not a
        // session this launcher wrote, and removing it is not this launcher's call.
        if (file.kind != common::NodeKind::Regular)
            return;
        std::string text(file.bytes.begin(), file.bytes.end());
        if (!file.bytes.empty())
            OPENSSL_cleanse(file.bytes.data(), file.bytes.size());
        if (file.oversized)
            throw IoFailure("Session HALVO ID illisible");
        const Clock::time_point now = Clock::now();
        std::vector<Cookie> restored;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find_first_of("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            const std::string_view line(text.data() + start, end - start);
            start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
            const std::vector<std::string_view> fields = splitTabs(line);
            if (fields.size() != 7)
                continue;
            Cookie cookie;
            cookie.name = decodeField(fields[0]);
            cookie.value = decodeField(fields[1]);
            if (!validCookieName(cookie.name))
                throw common::FormatFailure("nom de cookie invalide");
            if (!validCookieValue(cookie.value))
                throw common::FormatFailure("valeur de cookie invalide");
            const std::string domain = decodeField(fields[2]);
            const std::string path = decodeField(fields[3]);
            if (blank(domain) || !trustedDomain(domain))
                continue;
            const std::optional<std::int64_t> maxAge =
                common::parseInteger(fields[4], common::OutOfRange::Saturated);
            if (!maxAge)
                throw common::FormatFailure("durée de cookie invalide");
            cookie.domain = domain;
            if (!blank(path))
                cookie.path = path;
            cookie.maxAge = *maxAge;
            cookie.received = now;
            cookie.secure = equalsIgnoringCase(fields[5], "true");
            cookie.httpOnly = equalsIgnoringCase(fields[6], "true");
            addToJar(restored, std::move(cookie));
        }
        wipeString(text);
        const std::lock_guard lock(mutex_);
        jar_ = std::move(restored);
    } catch (...) {
        logout();
    }
}

bool HalvoIdClient::trustedDomain(std::string_view domain) const {
    const std::string& service = serviceDomain_;
    return !service.empty() && (equalsIgnoringCase(domain, service) ||
                                (domain.starts_with(".") && equalsIgnoringCase(domain.substr(1), service)));
}

bool HalvoIdClient::trustedRedirect(std::string_view destination) const {
    const std::optional<net::Url> url = net::Url::parse(destination);
    const std::string& service = serviceDomain_;
    return url && !service.empty() && url->scheme() == "https" &&
           (url->host() == service || url->host() == "www." + service);
}

bool HalvoIdClient::acceptedRedirect(std::string_view destination, bool authenticated) const {
    return authenticated && trustedRedirect(destination);
}

std::string HalvoIdClient::form(const std::vector<std::pair<std::string, std::string_view>>& fields) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    const auto encode = [](std::string& out, std::string_view text) {
        for (const char c : text) {
            const auto u = static_cast<unsigned char>(c);
            if (std::isalnum(u) && u < 0x80) {
                out += c;
            } else if (c == '.' || c == '-' || c == '*' || c == '_') {
                out += c;
            } else if (c == ' ') {
                out += '+';
            } else {
                out += '%';
                out += HEX[u >> 4];
                out += HEX[u & 0xF];
            }
        }
    };
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty())
            out += '&';
        encode(out, name);
        out += '=';
        encode(out, value);
    }
    return out;
}

std::string HalvoIdClient::csrfToken(std::string_view html) {
    for (std::size_t at = 0; at < html.size(); ++at) {
        std::size_t i = at;
        if (!startsWithIgnoringCase(html, i, "name="))
            continue;
        i += 5;
        if (i >= html.size() || !quote(html[i]))
            continue;
        ++i;
        if (!startsWithIgnoringCase(html, i, "csrf_token"))
            continue;
        i += 10;
        if (i >= html.size() || !quote(html[i]))
            continue;
        ++i;
        const std::size_t spaces = i;
        while (i < html.size() && regexSpace(html[i]))
            ++i;
        if (i == spaces || !startsWithIgnoringCase(html, i, "value="))
            continue;
        i += 6;
        if (i >= html.size() || !quote(html[i]))
            continue;
        ++i;
        const std::size_t begin = i;
        while (i < html.size() && !quote(html[i]))
            ++i;
        if (i > begin)
            return std::string(html.substr(begin, i - begin));
    }
    return {};
}

std::string HalvoIdClient::message(std::string_view html) {
    for (std::size_t at = 0; at < html.size(); ++at) {
        if (html[at] != '<')
            continue;
        std::size_t i = at + 1;
        if (startsWithIgnoringCase(html, i, "p"))
            i += 1;
        else if (startsWithIgnoringCase(html, i, "div"))
            i += 3;
        else
            continue;
        // Every tag that starts before close ends there too, its text a part of this one's: once this one
        // fails, none of them can match, which keeps a page of many open tags from taking quadratic time.
        const std::size_t close = html.find('>', i);
        if (close == std::string_view::npos)
            return {};
        const std::string attributes = lowerText(html.substr(i, close - i));
        if (attributes.find("error") == std::string::npos && attributes.find("alert") == std::string::npos) {
            at = close;
            continue;
        }
        // Text up to the next "<"; at least 3 characters of it, leading white space given back if needed.
        const std::string_view rest = html.substr(close + 1);
        const std::string_view run = rest.substr(0, rest.find('<'));
        const auto characters = [](std::string_view text) {
            return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
                return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            }));
        };
        const std::size_t total = characters(run);
        if (total < 3)
            continue;
        std::size_t spaces = 0;
        while (spaces < run.size() && regexSpace(run[spaces]))
            ++spaces;
        spaces = std::min(spaces, total - 3);
        std::string_view captured = run.substr(spaces);
        // At most 240 characters.
        std::size_t count = 0;
        std::size_t end = 0;
        while (end < captured.size()) {
            std::size_t next = end + 1;
            while (next < captured.size() && (static_cast<unsigned char>(captured[next]) & 0xC0) == 0x80)
                ++next;
            if (++count > 240)
                break;
            end = next;
        }
        captured = trimmed(captured.substr(0, end));
        std::string out;
        bool space = false;
        for (const char c : captured) {
            if (regexSpace(c)) {
                space = true;
                continue;
            }
            if (space)
                out += ' ';
            space = false;
            out += c;
        }
        return out;
    }
    return {};
}

}  // namespace orlex::accounts
