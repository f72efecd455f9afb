#include "update/verification.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "common/base64.h"
#include "common/failure.h"
#include "common/hex.h"
#include "common/utf8.h"
#include "update/digest.h"
#include "update/json_codec.h"
#include "update/paths.h"
#include "update/platform.h"

namespace orlex::update {
namespace {

using common::SecurityFailure;

constexpr std::int64_t MAX_FILE_SIZE = 2'000'000'000;
constexpr std::int64_t MAX_TOTAL_SIZE = 8'000'000'000;
constexpr std::size_t MAX_FILES = 10'000;
constexpr std::size_t MAX_VERSION = 80;

bool validVersion(const std::optional<std::string>& version) {
    if (!version || version->empty() || version->size() > MAX_VERSION)
        return false;
    return std::all_of(version->begin(), version->end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '_' || c == '-';
    });
}

bool inScope(std::string_view path) {
    return path.starts_with("app/") || path.starts_with("assets/") || path.starts_with("runtime/");
}

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

ManifestVerifier::ManifestVerifier(Ed25519Key key, std::string product, std::filesystem::path root, Clock now)
    : key_(std::move(key)), product_(std::move(product)), root_(normalised(root)), now_(std::move(now)) {}

std::int64_t ManifestVerifier::systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Signed ManifestVerifier::verify(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> signature,
                                bool fresh) const {
    if (!verifySignature(key_, bytes, signature))
        throw SecurityFailure("Signature invalide");

    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!common::isValidUtf8(text))
        throw common::FormatFailure("Manifeste : UTF-8 invalide");
    Manifest manifest = JSON.readManifest(text);

    if (manifest.schema != 1 || manifest.minLauncher > 1 || manifest.product != product_ ||
        manifest.platform != platform() || manifest.sequence < 1) {
        throw SecurityFailure("Manifeste incompatible");
    }
    if (fresh && manifest.expires < now_())
        throw SecurityFailure("Manifeste expiré");
    if (!validVersion(manifest.version) || !manifest.files || manifest.files->empty() ||
        manifest.files->size() > MAX_FILES) {
        throw SecurityFailure("Manifeste invalide");
    }

    VerifiedManifest verified{.schema = manifest.schema,
                              .minLauncher = manifest.minLauncher,
                              .restartRequired = manifest.restartRequired,
                              .sequence = manifest.sequence,
                              .expires = manifest.expires,
                              .version = std::move(*manifest.version),
                              .platform = std::move(*manifest.platform),
                              .product = std::move(*manifest.product),
                              .files = {}};
    verified.files.reserve(manifest.files->size());
    std::unordered_set<std::string> seen;
    seen.reserve(manifest.files->size());
    std::int64_t total = 0;
    for (Entry& entry : *manifest.files) {
        safe(root_, entry.path);
        if (!inScope(*entry.path))
            throw SecurityFailure("Périmètre non géré");
        if (!seen.insert(lowerAscii(*entry.path)).second || !entry.sha256 ||
            !common::isLowerHex(*entry.sha256, 64) || entry.size < 0 || entry.size > MAX_FILE_SIZE) {
            throw SecurityFailure("Entrée invalide");
        }
        if (entry.url != "blobs/" + *entry.sha256)
            throw SecurityFailure("URL non autorisée");
        total += entry.size;
        if (total > MAX_TOTAL_SIZE)
            throw SecurityFailure("Distribution trop grande");
        verified.files.push_back(VerifiedEntry{.path = std::move(*entry.path),
                                               .sha256 = std::move(*entry.sha256),
                                               .url = std::move(*entry.url),
                                               .size = entry.size,
                                               .executable = entry.executable});
    }

    return Signed{std::move(verified), Bytes(bytes.begin(), bytes.end()),
                  Bytes(signature.begin(), signature.end()), hash(bytes)};
}

Signed ManifestVerifier::verifyEnvelope(std::string_view json) const {
    const Envelope envelope = JSON.readEnvelope(json);
    if (!envelope.manifest || !envelope.signature)
        throw common::FormatFailure("Enveloppe incomplète");
    const Bytes manifest = common::base64Decode(*envelope.manifest);
    const Bytes signature = common::base64Decode(*envelope.signature);
    return verify(manifest, signature, true);
}

void checkSequence(const Signed& candidate, const std::optional<Signed>& installed) {
    if (!installed)
        return;
    const std::int64_t have = installed->manifest.sequence;
    const std::int64_t want = candidate.manifest.sequence;
    if (want < have || (want == have && candidate.id != installed->id)) {
        throw SecurityFailure(std::string(ROLLBACK_REFUSED));
    }
}

bool samePayload(const std::optional<Manifest>& a, const std::optional<Manifest>& b) {
    if (!a || !b || a->product != b->product || a->platform != b->platform)
        return false;
    const auto count = [](const Manifest& m) { return m.files ? m.files->size() : 0; };
    if (count(*a) != count(*b))
        return false;
    // Equal counts: either both list no file (absent or empty) or both lists are present.
    if (count(*b) == 0)
        return true;
    std::unordered_multimap<std::string, const Entry*> byPath;
    for (const Entry& e : *a->files)
        byPath.emplace(e.path.value_or(""), &e);
    return std::all_of(b->files->begin(), b->files->end(), [&](const Entry& wanted) {
        const auto [first, last] = byPath.equal_range(wanted.path.value_or(""));
        return std::any_of(first, last, [&](const auto& item) {
            const Entry& have = *item.second;
            return have.path == wanted.path && have.size == wanted.size &&
                   have.executable == wanted.executable && have.sha256 == wanted.sha256;
        });
    });
}

}  // namespace orlex::update
