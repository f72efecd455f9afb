#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "discord/local_ipc.h"

namespace orlex::discord {

// What the player's Discord profile shows: two cleaned texts.
struct Activity {
    std::string details;
    std::string state;
    friend bool operator==(const Activity&, const Activity&) = default;
};

// Every delay of the presence worker; tests shrink them.
struct PresenceTiming {
    std::chrono::milliseconds retry{5000};    // after a failed connection or exchange
    std::chrono::milliseconds wake{30000};    // the idle wait wakes by itself this often (sends nothing)
    std::chrono::milliseconds connect{3000};  // a connect not taken by then is a failed try
};

// Receives one notice line; called on the presence worker (or on a caller of set()/close()) with the
// instance lock held, so it must return quickly and must not call back into the presence. What it
// throws is ignored.
using Logger = std::function<void(const std::string&)>;

// Reads a resource of the launcher archive by name ("/discord.properties"): its bytes, or nullopt when
// it is missing. May throw; a failure counts as missing.
using ResourceReader = std::function<std::optional<std::string>(std::string_view name)>;

// The environment variable that names the Discord application when the configuration does not, before the
// archive's "/discord.properties" (key applicationId).
inline constexpr const char* APPLICATION_ID_VARIABLE = "ORLEX_DISCORD_APPLICATION_ID";
inline constexpr const char* THREAD_NAME = "discord-rich-presence";
inline constexpr const char* NOTICE_PREFIX = "Discord Rich Presence · ";

// Unix time in whole seconds taken once per process, when the presence is first used; sent as every
// activity's start time.
std::int64_t started();

// The player's activity shown in Discord through the desktop client's local IPC. One per process.
//
// Disabled (no valid application id, or disabled()): no thread, no connection, every call does nothing.
// Enabled: the worker thread "discord-rich-presence" connects, handshakes, then publishes the latest
// posted activity each time a new one is posted, resending the current one on every new connection.
// Any failure ends the connection, gives the notice "connexion impossible : {reason}" and a new
// attempt after PresenceTiming::retry; nothing ever reaches the caller. Notices go to the logger as
// "Discord Rich Presence · {notice}", a notice equal to the previous one being dropped.
//
// Callers never wait for the connection: posting only stores the activity and wakes the worker. All
// public functions are thread-safe. The destructor closes the presence; a moved-from instance is
// disabled.
class DiscordRichPresence {
public:
    // The application id from, in this order and each trimmed of blanks, the first non-empty of: the
    // configured id, the environment variable ORLEX_DISCORD_APPLICATION_ID, the key applicationId of the
    // resource "/discord.properties" read by resources (a properties text); a missing resource or a
    // failure reading it leaves the id empty. The connector is the platform's (local_ipc.h).
    static DiscordRichPresence create(std::string_view configuredId, Logger logger = {},
                                      ResourceReader resources = {}, PresenceTiming timing = {});
    // An instance with an empty id: no worker, every operation does nothing.
    static DiscordRichPresence disabled();

    // Enabled, with its worker started, when applicationId is 15 to 24 decimal digits; a missing
    // logger does nothing. The connector is called on the worker. Fails with IoFailure only when the
    // system has no handle left for the wake that close() uses.
    DiscordRichPresence(std::string applicationId, Connector connector, Logger logger = {},
                        PresenceTiming timing = {});
    DiscordRichPresence(DiscordRichPresence&&) noexcept;
    DiscordRichPresence& operator=(DiscordRichPresence&&) noexcept;
    ~DiscordRichPresence();

    bool enabled() const;
    const std::string& applicationId() const;

    // details "Dans le launcher", state "Prépare son aventure"; published again even when unchanged.
    void launcher();
    // details "Choisit un serveur", state server (limit 64, fallback "Kerval").
    void selectingServer(std::string_view server);
    // details "En ligne · {character}" (limit 48, fallback "Voyageur"), state "{zone} ({server})" (zone
    // limit 72, server limit 48, both with fallback "Kerval").
    void online(std::string_view character, std::string_view zone, std::string_view server);

    // Posts an activity: details and state are cleaned (limit 96, fallbacks "ORLEX Tessaline" and
    // "Kerval"); unless forced, an activity equal to the one already posted is ignored. Does nothing
    // when disabled or closed.
    void set(const Activity& activity, bool force);

    // Ends the presence: the worker sends the close frame when it is connected and idle, leaves any
    // connect or exchange in progress without a notice, and ends. Only the first call acts; every call
    // returns once the worker has ended, so none may come from the logger.
    void close();

    struct State;

private:
    std::string applicationId_;
    std::shared_ptr<State> state_;  // none when disabled
};

}  // namespace orlex::discord
