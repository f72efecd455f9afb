#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace orlex::update {

// The release publishing tool: makes the signing key pair, checks payloads and publishes signed
// releases into a local channel directory (current.json, blobs/, history/).

inline constexpr std::string_view PUBLISH_USAGE =
    "publish PAYLOAD CHANNEL KEY PRODUCT VERSION SEQUENCE PLATFORM";

struct PayloadFile {
    std::filesystem::path absolute;
    std::string relative;  // "/"-separated path inside the payload
};

// Every regular file of the payload in byte order of its path, after the link, path and scope checks
// ("Symlink dans le payload : {}", "Chemin de publication refusé : {}", "Payload hors périmètre : {}").
std::vector<PayloadFile> validatedFiles(const std::filesystem::path& payload);

// Makes a new Ed25519 pair: the PKCS#8 private key (owner-only) and the 44-byte public key.
// Fails with "Clés déjà présentes" and writes nothing when either file exists.
void keygen(const std::filesystem::path& privateKeyFile, const std::filesystem::path& publicKeyFile);

struct Publication {
    std::filesystem::path payload;
    std::filesystem::path channel;
    std::filesystem::path privateKey;
    std::string product;
    std::string version;
    std::string sequence;  // decimal, as given on the command line
    std::string platform;
};

struct Published {
    std::string id;
    std::size_t files = 0;
};

// After each file of the payload is hashed and its blob stored: the file's path in the payload, the
// bytes of the files done so far and of all files. Called from the storing threads, one call at a time.
using PublishProgress = std::function<void(const std::string& file, std::int64_t done, std::int64_t total)>;

// Publishes one release: blobs first (an intact blob is left alone; one of CHUNKED_BLOB_MIN bytes or more
// also gets its chunk index "<digest>.chunks", kept when present), then history/<sequence>-<id>.json
// and current.json, each written atomically. Under the channel's "publish.lock": a second publication into
// the channel meanwhile fails with IoFailure "Publication déjà en cours : <channel>".
Published publish(const Publication& publication, const PublishProgress& progress = {});

// The command line: "validate", "keygen" or "publish". Returns the exit status; success prints only its
// one line on out, a failure prints its message on err. When out is the process's standard output and
// that is a terminal, "publish" also keeps a live line of its progress there, ended before anything else
// is printed.
int publishMain(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

}  // namespace orlex::update
