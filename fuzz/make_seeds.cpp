// Writes the seeds that need the fixed release key or the writer's exact form into the corpus
// directory given as the only argument (fuzz/corpus): envelopes signed with the fixed key, manifests,
// and the local state target's pointers and manifests.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/base64.h"
#include "fuzz/fuzz_support.h"
#include "update/digest.h"
#include "update/json_codec.h"
#include "update/platform.h"

namespace orlex::fuzz {
namespace {

namespace fs = std::filesystem;
using update::Bytes;
using update::Entry;
using update::Manifest;

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

Entry entry(const std::string& path, const std::string& content, bool executable = false) {
    const std::string digest = update::hash(bytesOf(content));
    return Entry{path, digest, "blobs/" + digest, static_cast<std::int64_t>(content.size()), executable};
}

Manifest manifest(std::int64_t sequence, std::int64_t expires, std::vector<Entry> files) {
    Manifest m;
    m.schema = 1;
    m.minLauncher = 1;
    m.restartRequired = sequence % 2 == 0;
    m.sequence = sequence;
    m.expires = expires;
    m.version = "1." + std::to_string(sequence) + ".0";
    m.platform = update::platform();
    m.product = PRODUCT;
    m.files = std::move(files);
    return m;
}

std::string envelope(const std::string& text, bool forged = false) {
    Bytes signature = update::sign(fixedPrivateKey(), bytesOf(text));
    if (forged)
        signature[0] ^= 1;
    update::Envelope e;
    e.manifest = common::base64Encode(bytesOf(text));
    e.signature = common::base64Encode(signature);
    return update::JSON.write(e);
}

void put(const fs::path& dir, const std::string& name, std::string_view content) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << content;
}

}  // namespace
}  // namespace orlex::fuzz

int main(int argc, char** argv) {
    using namespace orlex::fuzz;
    if (argc != 2) {
        std::fprintf(stderr, "usage: orlex-fuzz-seeds CORPUS_DIRECTORY\n");
        return 2;
    }
    const fs::path corpus = argv[1];
    const Manifest game = manifest(3, NOW + 86'400,
                                   {entry("app/game.jar", "jar"), entry("assets/logo.png", ""),
                                    entry("runtime/bin/java", "java", true)});
    const Manifest expired = manifest(4, NOW - 1, {entry("app/game.jar", "old")});
    Manifest outside =
        manifest(5, NOW + 60, {entry("app/../../etc/passwd", "x"), entry("APP/Game.jar", "y")});
    Manifest odd = manifest(6, NOW + 60, {entry("app/a<b>&c='d'", "\u2028"), Entry{}});
    odd.files->at(0).url = "blobs/../current";
    const std::string gameText = orlex::update::JSON.write(game);
    const std::string expiredText = orlex::update::JSON.write(expired);
    const std::string outsideText = orlex::update::JSON.write(outside);
    const std::string oddText = orlex::update::JSON.write(odd);

    put(corpus / "envelope", "signed", envelope(gameText));
    put(corpus / "envelope", "signed-expired", envelope(expiredText));
    put(corpus / "envelope", "signed-outside", envelope(outsideText));
    put(corpus / "envelope", "forged", envelope(gameText, true));

    put(corpus / "signed_manifest", "game", gameText);
    put(corpus / "signed_manifest", "expired", expiredText);
    put(corpus / "signed_manifest", "outside", outsideText);
    put(corpus / "signed_manifest", "odd", oddText);

    put(corpus / "manifest_round_trip", "game", gameText);
    put(corpus / "manifest_round_trip", "odd", oddText);

    // The local state target installs this release itself; its pointer names it.
    const std::string intactText = intactManifestText();
    const std::string intact = orlex::update::hash(bytesOf(intactText));
    put(corpus / "local_state", "pointer", std::string(1, '\0') + intact + "\n");
    put(corpus / "local_state", "pointer-staged",
        std::string(1, '\0') + intact + "-0123456789abcdef0123456789abcdef");
    put(corpus / "local_state", "manifest", std::string(1, '\1') + gameText);
    put(corpus / "local_state", "manifest-intact", std::string(1, '\1') + intactText);
    return 0;
}
