#include "update/transport.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <vector>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/text.h"
#include "net/http_client.h"
#include "update/block_file.h"
#include "update/channel_url.h"
#include "update/digest.h"
#include "update/paths.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::IoFailure;
using common::raiseWithCause;
using common::SecurityFailure;

constexpr int MANIFEST_ATTEMPTS = 3;
constexpr int DOWNLOAD_ATTEMPTS = 4;
// Longer than any real wait; keeps the deadline arithmetic far from overflow.
constexpr std::int64_t MAX_TIMEOUT_SECONDS = 10LL * 365 * 24 * 3600;

// File helpers whose failures are I/O failures naming the path, so that an attempt can be retried.
bool present(const fs::path& path) {
    return common::nodeKind(path) != common::NodeKind::Missing;
}

std::int64_t length(const fs::path& path) {
    const std::optional<common::FileStamp> stamp = common::regularFileStamp(path);
    if (!stamp)
        throw IoFailure("Lecture impossible : " + path.string());
    return stamp->size;
}

void removeFile(const fs::path& path) {
    try {
        common::removeNode(path);
    } catch (const std::exception&) {
        throw IoFailure("Suppression impossible : " + path.string());
    }
}

void appendFile(const fs::path& from, const fs::path& to) {
    std::ifstream in(common::streamPath(from), std::ios::binary);
    std::ofstream out(common::streamPath(to), std::ios::binary | std::ios::app);
    if (!in || !out)
        throw IoFailure("Écriture impossible : " + to.string());
    std::vector<char> chunk(HASH_CHUNK);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        out.write(chunk.data(), in.gcount());
    }
    out.close();
    if (in.bad() || !out)
        throw IoFailure("Écriture impossible : " + to.string());
}

double secondsSince(Transport::Clock::time_point started) {
    const std::chrono::duration<double> elapsed = Transport::Clock::now() - started;
    return std::max(0.001, elapsed.count());
}

std::string expectedContentRange(std::int64_t offset, std::int64_t size) {
    return "bytes " + std::to_string(offset) + "-" + std::to_string(size - 1) + "/" + std::to_string(size);
}

// A body held in memory, refused past its cap as it arrives.
class MemoryBody : public net::ResponseBody {
public:
    explicit MemoryBody(std::size_t cap) : cap_(cap) {}

    void start(const net::ResponseHead&) override {}

    void accept(std::span<const std::uint8_t> batch) override {
        if (batch.size() > cap_ - bytes.size())
            throw IoFailure("Réponse trop grande");
        bytes.insert(bytes.end(), batch.begin(), batch.end());
    }

    Bytes bytes;

private:
    std::size_t cap_;
};

// One attempt's response body, streamed to the ".incoming" file (created or truncated when the
// response starts) behind the entry's size as cap, with a progress report for the first batch and then
// each PROGRESS_STEP bytes. Each batch is hashed as it arrives, while it is still in the processor's
// cache; handing blocks to a hashing thread cost more than it saved (see bench/README.md, installation
// through the program).
class IncomingBody : public net::ResponseBody {
public:
    struct Context {
        const VerifiedEntry& entry;
        const fs::path& incoming;
        std::int64_t resumeOffset;
        std::int64_t completed;
        std::int64_t total;
        Transport::Clock::time_point started;
        const Transport::ProgressListener& progress;
    };

    explicit IncomingBody(const Context& context) : context_(context) {}

    // The offset in the file at which the response's body starts: 0 for a 200, the resume offset for
    // a 206 that names exactly the requested range, -1 otherwise or before the response has started.
    std::int64_t responseOffset() const { return responseOffset_; }

    void start(const net::ResponseHead& head) override {
        const long status = head.status;
        const std::optional<std::string> contentRange = head.first("Content-Range");
        status_ = status;
        if (status == 200) {
            responseOffset_ = 0;
        } else if (status == 206 &&
                   contentRange == expectedContentRange(context_.resumeOffset, context_.entry.size)) {
            responseOffset_ = context_.resumeOffset;
        }
        // Only a body that can become the file goes to disk; another is counted, then dropped.
        if (status != 200 && status != 206)
            return;
        file_.open(context_.incoming, BlockFile::Mode::Truncate, context_.entry.size - context_.resumeOffset);
    }

    void accept(std::span<const std::uint8_t> batch) override {
        const std::int64_t before = received_;
        received_ += static_cast<std::int64_t>(batch.size());
        if (received_ > context_.entry.size)
            throw IoFailure("Réponse trop grande");
        if (file_.isOpen()) {
            if (status_ == 200)
                sha_.update(batch);
            file_.append(batch);
        }
        if (before > 0 && received_ - reported_ < PROGRESS_STEP)
            return;
        reported_ = received_;
        const std::int64_t resumed = status_ == 206 ? context_.resumeOffset : 0;
        context_.progress(
            Progress{context_.entry.path, std::min(context_.total, context_.completed + received_ + resumed),
                     context_.total,
                     static_cast<double>(context_.completed + received_) / secondsSince(context_.started)});
    }

    // The SHA-256 of a whole 200 body as it was written, so a complete file need not be read again;
    // nullopt for a partial (206) body, whose file must be hashed from its start.
    std::optional<std::string> wholeBodyDigest() {
        if (status_ != 200)
            return std::nullopt;
        return sha_.hexDigest();
    }

    // Writes what is still gathered and closes the file after a failed exchange; what could not be
    // written shows in its length.
    void abandon() noexcept { file_.abandon(); }

    // Writes what is still gathered and closes the file once the exchange is over.
    void finish() { file_.close(); }

private:
    const Context& context_;
    BlockFile file_;
    Sha256 sha_;
    long status_ = 0;
    std::int64_t received_ = 0;
    std::int64_t reported_ = 0;  // received_ at the last report
    std::int64_t responseOffset_ = -1;
};

// After a failed attempt: bytes that arrived at a known offset and fit the entry join ".part", when
// ".part" ends at that offset; anything else in ".incoming" is of no use and goes. A body already merged
// (its ".incoming" left behind by a removal that failed) is thus never merged twice.
void keepWhatArrived(const fs::path& incoming, const fs::path& part, std::int64_t responseOffset,
                     std::int64_t size) {
    if (!present(incoming))
        return;
    const std::int64_t arrived = length(incoming);
    const bool follows = responseOffset == 0 || (present(part) && length(part) == responseOffset);
    if (arrived > 0 && responseOffset >= 0 && responseOffset + arrived <= size && follows) {
        if (responseOffset == 0) {
            common::replaceFile(incoming, part);
        } else {
            appendFile(incoming, part);
            removeFile(incoming);
        }
        return;
    }
    try {
        common::removeNode(incoming);
    } catch (const std::exception&) {
    }
}

}  // namespace

std::chrono::seconds parseDownloadTimeout(const std::optional<std::string>& text) {
    const std::optional<std::int64_t> seconds = text ? common::parseInteger(*text) : std::nullopt;
    if (!seconds)
        return std::chrono::seconds(DEFAULT_DOWNLOAD_TIMEOUT_SECONDS);
    return std::chrono::seconds(std::clamp<std::int64_t>(*seconds, 0, MAX_TIMEOUT_SECONDS));
}

Transport::Transport(std::string base, TransportTiming timing)
    : base_(std::move(base)),
      timing_(std::move(timing)),
      http_(std::make_unique<net::HttpClient>(timing_.connectTimeout, timing_.trust)) {}

Transport::~Transport() = default;

std::string Transport::resolve(const std::string& relative) const {
    return resolveUrl(base_, relative);
}

long Transport::send(const net::Request& request, net::ResponseBody& body) {
    try {
        return http_->send(request, body);
    } catch (const net::ExchangeFailure& failure) {
        raiseWithCause(IoFailure(failure.kind() == net::ExchangeFailure::Kind::Deadline
                                     ? "Délai de téléchargement dépassé"
                                     : "Transport interrompu"),
                       failure.cause());
    }
}

Bytes Transport::fetch(const std::string& name, std::size_t limit) {
    const net::Request request{.url = resolve(name),
                               .headersTimeout = timing_.manifestRequestTimeout,
                               .exchangeTimeout = timing_.downloadTimeout};
    std::exception_ptr last;
    for (int attempt = 0; attempt < MANIFEST_ATTEMPTS; ++attempt) {
        try {
            MemoryBody body(limit);
            const long status = send(request, body);
            if (status != 200)
                throw IoFailure("Manifeste indisponible ou trop grand : " + std::to_string(status));
            return std::move(body.bytes);
        } catch (const IoFailure&) {
            last = std::current_exception();
        }
        timing_.pause(timing_.manifestPause * (1 << attempt));
    }
    std::rethrow_exception(last);
}

std::optional<Bytes> Transport::fetchOptional(const std::string& name, std::size_t limit) {
    const net::Request request{.url = resolve(name),
                               .headersTimeout = timing_.manifestRequestTimeout,
                               .exchangeTimeout = timing_.downloadTimeout};
    MemoryBody body(limit);
    const long status = send(request, body);
    if (status == 404)
        return std::nullopt;
    if (status != 200)
        throw IoFailure("Réponse inattendue : " + std::to_string(status));
    return std::move(body.bytes);
}

void Transport::fetchRange(const std::string& name, std::int64_t offset, std::int64_t length,
                           std::int64_t size,
                           const std::function<void(std::span<const std::uint8_t>)>& sink) {
    // Passes on the body of a 206 for exactly the range asked; anything else stops at its head.
    class RangeBody : public net::ResponseBody {
    public:
        RangeBody(std::string expected, std::int64_t length,
                  const std::function<void(std::span<const std::uint8_t>)>& sink)
            : expected_(std::move(expected)), length_(length), sink_(sink) {}
        void start(const net::ResponseHead& head) override {
            if (head.status != 206 || head.first("Content-Range") != expected_)
                throw IoFailure("Plage refusée : " + std::to_string(head.status));
        }
        void accept(std::span<const std::uint8_t> batch) override {
            received += static_cast<std::int64_t>(batch.size());
            if (received > length_)
                throw IoFailure("Réponse trop grande");
            sink_(batch);
        }
        std::int64_t received = 0;

    private:
        std::string expected_;
        std::int64_t length_;
        const std::function<void(std::span<const std::uint8_t>)>& sink_;
    };

    net::Request request{.url = resolve(name),
                         .headersTimeout = timing_.fileRequestTimeout,
                         .exchangeTimeout = timing_.downloadTimeout};
    const std::int64_t last = offset + length - 1;
    request.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-" + std::to_string(last));
    RangeBody body(
        "bytes " + std::to_string(offset) + "-" + std::to_string(last) + "/" + std::to_string(size), length,
        sink);
    send(request, body);
    if (body.received != length)
        throw IoFailure("Taille téléchargée incorrecte");
}

void Transport::download(const VerifiedEntry& entry, const fs::path& dst, const fs::path& partial,
                         std::int64_t completed, std::int64_t total, Clock::time_point started,
                         const ProgressListener& progress) {
    fs::path part = partial;
    part += ".part";
    fs::path incoming = partial;
    incoming += ".incoming";
    rejectLinks(part);
    rejectLinks(incoming);
    const std::int64_t size = entry.size;
    const std::string& path = entry.path;
    const std::string& digest = entry.sha256;
    const std::string url = resolve(entry.url);

    // A body that a crash interrupted before it was merged is worth keeping.
    if (!present(part) && present(incoming) && length(incoming) <= size)
        common::replaceFile(incoming, part);

    std::exception_ptr last;
    for (int attempt = 0; attempt < DOWNLOAD_ATTEMPTS; ++attempt) {
        common::throwIfInterrupted();
        std::int64_t responseOffset = -1;
        try {
            std::int64_t offset = present(part) ? length(part) : 0;
            if (offset > size) {
                removeFile(part);
                offset = 0;
            }
            if (offset == size && present(part)) {
                if (hash(part) == digest) {
                    common::replaceFile(part, dst);
                    return;
                }
                removeFile(part);
                offset = 0;
            }

            const IncomingBody::Context context{entry, incoming, offset, completed, total, started, progress};
            IncomingBody body(context);
            long status = 0;
            try {
                net::Request request{.url = url,
                                     .headersTimeout = timing_.fileRequestTimeout,
                                     .exchangeTimeout = timing_.downloadTimeout};
                if (offset > 0)
                    request.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-");
                status = send(request, body);
            } catch (...) {
                responseOffset = body.responseOffset();
                body.abandon();
                throw;
            }
            responseOffset = body.responseOffset();
            body.finish();

            const bool appends = status == 206 && offset > 0;
            if (status != 200 && !appends)
                throw IoFailure("Téléchargement HTTP " + std::to_string(status));
            if (appends && responseOffset != offset)
                throw IoFailure("Reprise incohérente");
            if (status == 200)
                offset = 0;
            if (length(incoming) != size - offset)
                throw IoFailure("Taille téléchargée incorrecte");
            if (appends) {
                appendFile(incoming, part);
                removeFile(incoming);
            } else {
                common::replaceFile(incoming, part);
            }
            const std::optional<std::string> streamed = body.wholeBodyDigest();
            if ((streamed ? *streamed : hash(part)) != digest) {
                removeFile(part);
                // A resumed file joins bytes kept from before (an interrupted attempt, a chunk assembly
                // that gave up on an index it cannot prove) to the server's: the next attempt fetches it
                // whole. Only a whole body that is not the entry's is refused.
                if (appends)
                    throw IoFailure("Reprise invalide : " + path);
                throw SecurityFailure("SHA-256 incorrect : " + path);
            }
            common::replaceFile(part, dst);
            progress(Progress{path, completed + size, total,
                              static_cast<double>(completed + size) / secondsSince(started)});
            return;
        } catch (const IoFailure&) {
            last = std::current_exception();
            keepWhatArrived(incoming, part, responseOffset, size);
        } catch (const common::Interrupted&) {
            // Not an attempt's failure, but what arrived is still worth the next installation's while.
            try {
                keepWhatArrived(incoming, part, responseOffset, size);
            } catch (const IoFailure&) {
            }
            throw;
        }
        timing_.pause(timing_.filePause * (1 << attempt));
    }
    raiseWithCause(IoFailure("Téléchargement interrompu ; réessayez pour reprendre"), last);
}

}  // namespace orlex::update
