#include "accounts/game_session.h"

#include <nlohmann/json.hpp>

#include <optional>

#include "accounts/secret_buffer.h"
#include "accounts/web_exchange.h"
#include "common/failure.h"
#include "common/json_writer.h"

namespace orlex::accounts {

GameGrant exchangeSession(const SessionExchangeSettings& settings, const std::string& cookieHeader) {
    if (cookieHeader.find_first_not_of(" \t\n\v\f\r") == std::string::npos)
        throw common::SessionExpired();
    net::HttpClient client(settings.connectTimeout, settings.trust);
    common::JsonWriter writer;
    writer.beginObject().key("session").string(cookieHeader).endObject();
    std::string body = writer.text();
    const net::Request request{.method = net::Method::Post,
                               .url = settings.endpoint,
                               .headers = {{"Content-Type", "application/json"}},
                               .body = body,
                               .headersTimeout = settings.requestTimeout,
                               .exchangeTimeout = settings.requestTimeout};
    std::optional<net::BufferedResponse> answer;
    try {
        answer = webExchange(client, request);
    } catch (...) {
        wipeString(body);
        throw;
    }
    wipeString(body);
    if (answer->status() == 401 || answer->status() == 403)
        throw common::SessionExpired();
    if (answer->status() != 200)
        throw common::IoFailure("Échange de session temporairement indisponible (" +
                                std::to_string(answer->status()) + ")");

    const nlohmann::json json = nlohmann::json::parse(answer->body(), nullptr, false);
    if (!json.is_object())
        throw common::FormatFailure("Réponse d’échange de session invalide");
    const auto text = [&](const char* name) {
        const auto found = json.find(name);
        if (found == json.end() || !found->is_string())
            throw common::FormatFailure("Réponse d’échange de session invalide");
        return found->get<std::string>();
    };
    GameGrant grant{text("token"), text("name"), text("realtime"), {}};
    const auto roles = json.find("roles");
    if (roles == json.end() || !roles->is_array())
        throw common::FormatFailure("Réponse d’échange de session invalide");
    for (const auto& role : *roles) {
        if (!role.is_string())
            throw common::FormatFailure("Réponse d’échange de session invalide");
        grant.roles.insert(role.get<std::string>());
    }
    return grant;
}

std::string publishAddress(const std::string& realtime) {
    std::string out = realtime;
    if (out.starts_with("wss://"))
        out = "https://" + out.substr(6);
    static constexpr std::string_view TAIL = "/realtime";
    if (out.ends_with(TAIL))
        out = out.substr(0, out.size() - TAIL.size()) + "/mmo/world/publish";
    return out;
}

}  // namespace orlex::accounts
