#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/game_session.h"
#include "accounts/halvo_id_client.h"
#include "discord/presence.h"
#include "update/patcher.h"
#include "update/platform.h"

namespace orlex::launcher {

// The update channel used when neither --channel nor the property orlex.channel names one. Game
// releases live here; the launcher's own releases at the sibling path "../launcher/".
inline constexpr const char* DEFAULT_CHANNEL = "https://updates.orlex.example/client/";

// The "-D" properties the entry reads into the configuration. The two trust store properties are also
// passed on to child processes as they stand.
inline constexpr const char* CHANNEL_PROPERTY = "orlex.channel";
inline constexpr const char* TRUST_STORE_PROPERTY = "javax.net.ssl.trustStore";
inline constexpr const char* TRUST_STORE_PASSWORD_PROPERTY = "javax.net.ssl.trustStorePassword";
inline constexpr const char* DOWNLOAD_TIMEOUT_PROPERTY = "orlex.downloadTimeoutSeconds";
inline constexpr const char* HALVO_ORIGIN_PROPERTY = "orlex.halvoOrigin";
inline constexpr const char* GAME_SESSION_PROPERTY = "orlex.gameSession";
inline constexpr const char* DISCORD_APPLICATION_ID_PROPERTY = "orlex.discord.applicationId";
inline constexpr const char* SCREENSHOTS_PROPERTY = "orlex.screenshots";

// The self-update's waits.
struct SelfUpdateTiming {
    std::chrono::milliseconds oldLauncherWait{30000};  // for the window's process to end
    int confirmPolls = 100;                            // looks for the new launcher's confirmation …
    std::chrono::milliseconds confirmPoll{100};        // … this far apart
    std::chrono::milliseconds terminateGrace{5000};    // for an unconfirmed launcher to end when asked
};

// Monotonic time in nanoseconds, from an arbitrary origin.
std::int64_t monotonicNanos();

// Everything one launcher process is configured with: where its parts are and every delay, time-out and
// clock they wait for or read, with the system's defaults. Built once by the entry (configure(), entry.h)
// from the "-D" properties and the arguments and handed down in slices; tests build their own and shrink
// the delays. The three HTTPS clients (engine, account service, session exchange) each carry the trust
// store: the entry gives them all the configured one.
struct LauncherConfig {
    std::string channel = DEFAULT_CHANNEL;  // the update channel's base URL (game releases)
    std::filesystem::path root;             // the install root
    std::filesystem::path archive;          // the launcher archive
    // The release platform of this host ("linux-x64", "windows-x64", "macos-arm64", …): the game's
    // runtime program and its start options follow it.
    std::string platform = update::platform();
    // The "-D" properties passed on to the game as the launcher process has them, in order: the trust
    // store, its password, orlex.screenshots.
    std::vector<std::pair<std::string, std::string>> gameProperties;
    // The "-D" properties this launcher was configured with, as it has them: the trust store and its
    // password, then orlex.halvoOrigin, orlex.gameSession, orlex.downloadTimeoutSeconds and
    // orlex.discord.applicationId. Passed on to the launchers it starts, so that a self-update keeps the
    // services a launcher was pointed at.
    std::vector<std::pair<std::string, std::string>> launcherProperties;
    // The program this process runs from (the entry: its own executable); the self-update starts it again.
    std::filesystem::path program;
    // The presence's application id as configured; blank: the presence looks further (presence.h).
    std::string discordApplicationId;

    update::PatcherSettings engine;                 // every release engine: trust, download time-out, pauses
    accounts::HalvoIdSettings account;              // the account service: origin, trust, time-outs
    accounts::SessionExchangeSettings gameSession;  // the game session endpoint: URL, trust, time-outs
    discord::PresenceTiming presence;

    std::chrono::milliseconds probeFirst{2000};    // first update probe after startUpdateProbe()
    std::chrono::milliseconds probeEvery{10000};   // between the end of one probe and the next
    std::chrono::milliseconds restoreRetry{3000};  // between failed attempts to restore a session
    std::chrono::nanoseconds progressThrottle{80'000'000};
    SelfUpdateTiming selfUpdate;
    std::function<std::int64_t()> progressClock = monotonicNanos;  // the throttle's clock, nanoseconds
};

}  // namespace orlex::launcher
