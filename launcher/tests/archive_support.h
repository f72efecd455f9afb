#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace orlex::launcher::test {

// A launcher archive made by the build's own archive tool, with the given root resources
// (name → content) after its manifest.
inline std::filesystem::path makeArchive(const std::filesystem::path& dir,
                                         const std::map<std::string, std::string>& resources) {
    std::vector<std::string> arguments{(dir / "launcher.zip").string(), "9.9.9"};
    for (const auto& [name, content] : resources)
        arguments.push_back(orlex::test::writeFile(dir / "resources" / name, content).string());
    const orlex::test::ProcessResult made =
        orlex::test::runProcess(orlex::test::builtProgram("orlex-archive"), arguments);
    if (made.status != 0)
        throw std::runtime_error("orlex-archive: " + made.err);
    return dir / "launcher.zip";
}

// The 44-byte public half of a PKCS#8 Ed25519 private key file.
inline std::string publicDerOf(const std::filesystem::path& privateKeyFile) {
    const std::vector<std::uint8_t> der = orlex::test::readBytes(privateKeyFile);
    const unsigned char* cursor = der.data();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size())), &EVP_PKEY_free);
    if (!key)
        throw std::runtime_error("unreadable private key");
    std::string out(static_cast<std::size_t>(i2d_PUBKEY(key.get(), nullptr)), '\0');
    auto* write = reinterpret_cast<unsigned char*>(out.data());
    i2d_PUBKEY(key.get(), &write);
    return out;
}

}  // namespace orlex::launcher::test
