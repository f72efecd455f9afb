#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/base64.h"

namespace orlex::update {

using common::Bytes;

// One file of a release. Members absent from the JSON stay absent (strings) or zero/false.
struct Entry {
    std::optional<std::string> path;    // "/"-separated, under app/, assets/ or runtime/
    std::optional<std::string> sha256;  // 64 lower-case hexadecimal digits
    std::optional<std::string> url;     // "blobs/" + sha256, relative to the channel base
    std::int64_t size = 0;
    bool executable = false;

    bool operator==(const Entry&) const = default;
};

// A release manifest, in the member order of its serialised form.
struct Manifest {
    std::int32_t schema = 0;
    std::int32_t minLauncher = 0;
    bool restartRequired = false;
    std::int64_t sequence = 0;
    std::int64_t expires = 0;  // Unix time, whole seconds, UTC
    std::optional<std::string> version;
    std::optional<std::string> platform;
    std::optional<std::string> product;
    std::optional<std::vector<Entry>> files;

    bool operator==(const Manifest&) const = default;
};

// The channel's current.json: the manifest bytes and their signature, both in standard base64.
struct Envelope {
    std::optional<std::string> manifest;
    std::optional<std::string> signature;
};

// A file of a verified release. Its path obeys the path grammar, begins with "app/", "assets/" or
// "runtime/" and differs, ignoring case, from every other path of the release; sha256 is 64 lower-case
// hexadecimal digits, url is "blobs/" + sha256 and size lies between 0 and 2,000,000,000.
struct VerifiedEntry {
    std::string path;
    std::string sha256;
    std::string url;
    std::int64_t size = 0;
    bool executable = false;

    bool operator==(const VerifiedEntry&) const = default;
};

// A manifest that passed verification: compatible with the reader, with a valid version and between 1
// and 10,000 verified files of at most 8,000,000,000 bytes in all.
struct VerifiedManifest {
    std::int32_t schema = 0;
    std::int32_t minLauncher = 0;
    bool restartRequired = false;
    std::int64_t sequence = 0;
    std::int64_t expires = 0;  // Unix time, whole seconds, UTC
    std::string version;
    std::string platform;
    std::string product;
    std::vector<VerifiedEntry> files;

    bool operator==(const VerifiedManifest&) const = default;
};

// A release whose signature and rules have been verified. Immutable once made.
struct Signed {
    VerifiedManifest manifest;
    Bytes bytes;      // the exact manifest bytes the signature covers
    Bytes signature;  // 64 raw bytes
    std::string id;   // SHA-256 of bytes, 64 lower-case hexadecimal digits
};

// One report of an installation's progress. phase is an entry path while that file is downloaded or
// has just been, "Préparation · " + entry path while an unchanged file is copied, or "Prêt" at the end.
// completed and total are bytes; bytesPerSecond is the average since the installation started.
struct Progress {
    std::string phase;
    std::int64_t completed = 0;
    std::int64_t total = 0;
    double bytesPerSecond = 0;

    bool operator==(const Progress&) const = default;
};

}  // namespace orlex::update
