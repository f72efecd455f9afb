#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "update/release.h"
#include "update/signature.h"

namespace orlex::update {

// Verifies manifests for one engine: its release key, its product and its root. Stateless and
// side-effect free apart from the file-system reads of the path checks; safe on any thread.
class ManifestVerifier {
public:
    using Clock = std::function<std::int64_t()>;  // current Unix time in whole seconds

    ManifestVerifier(Ed25519Key key, std::string product, std::filesystem::path root,
                     Clock now = systemSeconds);

    // Signature first ("Signature invalide"), then parsing (ordinary failure), compatibility
    // ("Manifeste incompatible"), expiry when fresh ("Manifeste expiré"), version and file count
    // ("Manifeste invalide"), then each entry in order: safe() under the root, scope ("Périmètre non
    // géré"), uniqueness ignoring case, digest and size ("Entrée invalide"), url ("URL non autorisée")
    // and the running total ("Distribution trop grande"). Refusals are common::SecurityFailure.
    Signed verify(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> signature,
                  bool fresh) const;

    // Decodes the channel's current.json (base64 members) and verifies it as fresh.
    Signed verifyEnvelope(std::string_view json) const;

    static std::int64_t systemSeconds();

private:
    Ed25519Key key_;
    std::string product_;
    std::filesystem::path root_;
    Clock now_;
};

// Refuses a candidate whose sequence is below the installed one's, or equal with another id, with
// "Rollback non autorisé ; publier une nouvelle séquence signée". Nothing installed: every candidate passes.
void checkSequence(const Signed& candidate, const std::optional<Signed>& installed);

// True when both manifests are present, share product and platform, and list the same files (path,
// size, executable and digest) regardless of order. Other members do not take part.
bool samePayload(const std::optional<Manifest>& a, const std::optional<Manifest>& b);

inline constexpr std::string_view ROLLBACK_REFUSED =
    "Rollback non autorisé ; publier une nouvelle séquence signée";

}  // namespace orlex::update
