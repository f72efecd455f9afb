#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/interruption.h"
#include "net/trust_store.h"
#include "update/release.h"

namespace orlex::net {
class HttpClient;
class ResponseBody;
struct Request;
}  // namespace orlex::net

namespace orlex::update {

inline constexpr std::int64_t DEFAULT_DOWNLOAD_TIMEOUT_SECONDS = 45;

// The longest one whole exchange may take, from its configured text: an integer number of seconds
// ("+" allowed, clamped to 0 and about ten years); 45 s when there is no text or it is not such a number.
std::chrono::seconds parseDownloadTimeout(const std::optional<std::string>& text);

// Every delay of the transport, with the system's defaults, and the trust its client adds to the system
// store; tests shrink the delays or record the pauses.
struct TransportTiming {
    net::TrustConfig trust = {};
    // Pause after a failed manifest attempt i (0, 1, 2): manifestPause * 2^i, so 200, 400, 800 ms.
    std::chrono::milliseconds manifestPause{200};
    // Pause after a failed download attempt i (0 to 3): filePause * 2^i, so 250, 500, 1000, 2000 ms.
    std::chrono::milliseconds filePause{250};
    std::chrono::milliseconds connectTimeout{15'000};
    // Until a response's headers have arrived; the whole exchange is bounded by downloadTimeout.
    std::chrono::milliseconds manifestRequestTimeout{30'000};
    std::chrono::milliseconds fileRequestTimeout{45'000};
    std::chrono::seconds downloadTimeout{
        DEFAULT_DOWNLOAD_TIMEOUT_SECONDS};  // one whole exchange, body included
    // How the transport waits between attempts; throws common::Interrupted when the thread is stopped.
    std::function<void(std::chrono::milliseconds)> pause = [](std::chrono::milliseconds delay) {
        common::sleepFor(delay);
    };
};

// The network side of one release engine: fetches files of its update channel over HTTPS.
// Built once per engine; the HTTP client (net::HttpClient: one reused connection, redirects never
// followed, the connect time-out, trust in the system store plus the configured store, read at
// construction) is shared by all its requests. Calls may come from any thread and are serialised;
// each blocks its thread for the whole exchange. Stopping the calling thread's current stop token
// (common/interruption.h) cancels the exchange in progress and ends the call with common::Interrupted,
// never wrapped, never retried.
class Transport {
public:
    using Clock = std::chrono::steady_clock;
    using ProgressListener = std::function<void(const Progress&)>;

    // base: the channel base URL, already checked by the caller (https, host, ends with "/").
    explicit Transport(std::string base, TransportTiming timing = {});
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    ~Transport();

    // GETs base resolved with name, holding the body in memory, up to 3 attempts with a pause after
    // each failure. Every exchange fails with IoFailure("Délai de téléchargement dépassé") when it
    // outlasts the download time-out, and with IoFailure("Transport interrompu") when it fails itself;
    // the cause says why. An attempt fails with IoFailure("Manifeste indisponible ou trop grand : {status}")
    // when the status is not 200, with "Transport interrompu" (cause "Réponse trop grande") when the
    // body exceeds limit bytes, and with the other failures of an exchange. The third failure is
    // raised as it is.
    Bytes fetch(const std::string& name, std::size_t limit);

    // GETs base resolved with name in one attempt: nullopt for a 404, the body for a 200. Fails with
    // IoFailure("Réponse inattendue : {status}") for another status, with "Transport interrompu" (cause
    // "Réponse trop grande") past limit bytes, and with the other failures of an exchange.
    std::optional<Bytes> fetchOptional(const std::string& name, std::size_t limit);

    // One exchange for length bytes from offset of the file of size bytes at base resolved with name;
    // each batch of the body goes to sink, in order. Unless the answer is a 206 naming exactly that range,
    // fails with IoFailure("Plage refusée : {status}") before any byte reaches sink; a body of another
    // length fails as "Taille téléchargée incorrecte"; the other failures are those of an exchange.
    void fetchRange(const std::string& name, std::int64_t offset, std::int64_t length, std::int64_t size,
                    const std::function<void(std::span<const std::uint8_t>)>& sink);

    // Brings entry's file to dst, resuming from "<partial>.part" (bytes received so far) and
    // "<partial>.incoming" (the body of the response in progress, left by a crash). The caller names
    // partial so that these files can never be mistaken for files of the release; its directory exists.
    // completed: bytes of earlier files already counted in this installation; total: the plan's bytes;
    // started: when the installation started. Up to 4 attempts with a pause after each failure; then
    // IoFailure("Téléchargement interrompu ; réessayez pour reprendre") with the last failure as cause,
    // keeping the ".part" file so that a later call resumes. A complete file whose SHA-256 differs
    // fails at once with common::SecurityFailure("SHA-256 incorrect : {entry path}") and leaves no
    // ".part" file. A ".part" file already complete and valid is moved to dst without any request and
    // without a report.
    // progress is called on the calling thread: with the running byte count while a body arrives, and
    // once with completed + size when dst is in place. It must return quickly; what it throws ends
    // the attempt as a transport failure.
    void download(const VerifiedEntry& entry, const std::filesystem::path& dst,
                  const std::filesystem::path& partial, std::int64_t completed, std::int64_t total,
                  Clock::time_point started, const ProgressListener& progress);

private:
    std::string resolve(const std::string& relative) const;
    // One exchange through the client, its failures in the engine's words.
    long send(const net::Request& request, net::ResponseBody& body);

    std::string base_;
    TransportTiming timing_;
    std::unique_ptr<net::HttpClient> http_;
};

}  // namespace orlex::update
