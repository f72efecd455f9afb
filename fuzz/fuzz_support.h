#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "update/signature.h"

// What the fuzz targets share: a fixed release key, a fixed clock and a scratch directory.
namespace orlex::fuzz {

// The product and the clock the seeds and the targets agree on.
inline constexpr const char* PRODUCT = "tessaline";
inline constexpr std::int64_t NOW = 1'750'000'000;

// An Ed25519 key pair made from a fixed seed, the same in every run: seeds signed by the generator
// verify in the targets. It signs nothing but fuzz inputs.
const update::KeyPair& fixedKeyPair();
const update::Ed25519Key& fixedPrivateKey();
const update::Ed25519Key& fixedPublicKey();

// The one intact release the local state target installs before it starts: its manifest text, and the
// content of its one file, app/game.jar.
inline constexpr std::string_view INTACT_CONTENT = "intact";
std::string intactManifestText();

// A directory of this process's own under the system's temporary directory, made on first use and
// deleted at exit.
const std::filesystem::path& scratchDirectory();

// The input as text.
inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Stops the process the way the fuzzer reports a crash: a broken contract is a finding.
[[noreturn]] void broken(std::string_view what);

// Each check that holds nothing but a contract: broken() unless condition.
inline void expect(bool condition, std::string_view what) {
    if (!condition)
        broken(what);
}

}  // namespace orlex::fuzz
