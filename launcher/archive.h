#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "update/signature.h"

namespace orlex::launcher {

using Bytes = std::vector<std::uint8_t>;

// No resource of the launcher archive is larger; a bigger entry fails with IoFailure.
inline constexpr std::uint64_t MAX_RESOURCE_BYTES = 64ull << 20;

// The per-user preference node of the launcher's own keys (installation, account.*).
inline constexpr const char* PREFS = "com/orlex/desktop-preview";

// The launcher archive: a zip whose root entries are the launcher's resources, "/name" being the root
// entry "name". Each call opens the zip afresh, so an archive object is cheap, immutable and usable
// from any thread.
class LauncherArchive {
public:
    explicit LauncherArchive(std::filesystem::path path) : path_(std::move(path)) {}

    const std::filesystem::path& path() const { return path_; }

    // The bytes of resource name ("/release-public.der"), or nullopt when the archive has no such
    // file entry or does not exist. An archive that exists but cannot be read as a zip, or an entry
    // that cannot be read whole, fails with IoFailure.
    std::optional<Bytes> resource(std::string_view name) const;

private:
    std::filesystem::path path_;
};

// "../app/launcher.zip" relative to the running program's own directory.
std::filesystem::path defaultArchivePath();

// The launcher archive of this process for the windows, which read their body face from it: the one
// given to useArchive (the entry gives the configured archive), else the one at defaultArchivePath().
// Thread-safe.
void useArchive(std::filesystem::path path);
LauncherArchive launcherArchive();

// The release public key from the archive's resource "/release-public.der".
// Fails with SecurityFailure("Clé de signature absente") when the resource is missing, and with
// FormatFailure when it is not a 44-byte Ed25519 SubjectPublicKeyInfo.
update::Ed25519Key releaseKey(const LauncherArchive& archive);

// The install root when none is given: the preference "installation" of PREFS, else the user's home
// directory joined with "OrlexTessaline".
std::filesystem::path defaultRoot();

}  // namespace orlex::launcher
