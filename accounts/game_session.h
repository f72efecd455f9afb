#pragma once

#include <chrono>
#include <set>
#include <string>

#include "net/trust_store.h"

namespace orlex::accounts {

// The game session endpoint when none is configured: on the default update channel's host.
inline constexpr const char* DEFAULT_GAME_SESSION = "https://updates.orlex.example/mmo/session";

// Where and how the game session is exchanged, with the system's defaults.
struct SessionExchangeSettings {
    std::string endpoint = DEFAULT_GAME_SESSION;  // an https URL
    net::TrustConfig trust = {};                  // besides the system store
    std::chrono::milliseconds connectTimeout{8'000};
    std::chrono::milliseconds requestTimeout{10'000};  // the whole exchange
};

// A game grant: what the game session endpoint gives for a signed-in account.
struct GameGrant {
    std::string token;
    std::string name;
    std::string realtime;
    std::set<std::string> roles;
    bool operator==(const GameGrant&) const = default;
};

inline constexpr const char* ROLE_BUILDER_OPEN = "worldbuilder.open";
inline constexpr const char* ROLE_BUILDER_USE = "worldbuilder.use";
// The account whose game runs also get the editor session broker (compared ignoring case, untrimmed).
inline constexpr const char* BUILDER_ACCOUNT = "tolin";

// Exchanges the account session (a cookie header) for a grant at the settings' endpoint, with a client
// made for this exchange alone: the settings' time-outs, no redirect followed, no cookie jar (the session
// travels in the JSON body {"session": …}, written in the system's JSON writer form).
// Fails with common::SessionExpired before any request when cookieHeader is blank, and on 401 or 403;
// with common::IoFailure("Échange de session temporairement indisponible ({})") on any other status
// but 200; with common::FormatFailure for an answer that is not an object with the four members; as
// webExchange() (web_exchange.h) when the exchange itself fails.
// Blocks; any thread; honours the calling thread's stop token.
GameGrant exchangeSession(const SessionExchangeSettings& settings, const std::string& cookieHeader);

// The world publishing address of a realtime address: a leading "wss://" becomes "https://" and a
// trailing "/realtime" becomes "/mmo/world/publish"; other addresses pass through unchanged.
std::string publishAddress(const std::string& realtime);

}  // namespace orlex::accounts
