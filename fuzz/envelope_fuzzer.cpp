// The channel's current.json as the engine receives it: read as a manifest, then read as an envelope and
// verified as fresh with the fixed release key. Seeds signed with that key reach past the signature.

#include <cstddef>
#include <cstdint>

#include "common/failure.h"
#include "common/hex.h"
#include "fuzz/fuzz_support.h"
#include "update/digest.h"
#include "update/json_codec.h"
#include "update/paths.h"
#include "update/verification.h"

namespace orlex::fuzz {
namespace {

using common::FormatFailure;
using common::IoFailure;
using common::SecurityFailure;

const std::filesystem::path& root() {
    static const std::filesystem::path dir = [] {
        std::filesystem::create_directories(scratchDirectory() / "root");
        return scratchDirectory() / "root";
    }();
    return dir;
}

// What a verified release promises its users (release.h).
void checkVerified(const update::Signed& release) {
    expect(update::verifySignature(fixedPublicKey(), release.bytes, release.signature), "signature");
    expect(release.id == update::hash(release.bytes), "id");
    const update::VerifiedManifest& m = release.manifest;
    expect(m.product == PRODUCT && m.schema == 1 && m.sequence >= 1 && m.expires >= NOW, "compatibility");
    expect(!m.version.empty() && !m.files.empty() && m.files.size() <= 10'000, "counts");
    std::int64_t total = 0;
    for (const update::VerifiedEntry& e : m.files) {
        const std::filesystem::path placed = update::safe(root(), e.path);
        expect(update::isWithin(placed, root()), "entry outside the root");
        expect(common::isLowerHex(e.sha256, 64) && e.url == "blobs/" + e.sha256, "digest and url");
        expect(e.size >= 0 && e.size <= 2'000'000'000, "size");
        total += e.size;
    }
    expect(total <= 8'000'000'000, "total");
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    static const update::ManifestVerifier verifier(fixedPublicKey(), PRODUCT, root(), [] { return NOW; });
    const std::string_view text = textOf(data, size);
    // The envelope reader runs first thing in verifyEnvelope below, on the same text.
    try {
        (void)update::JSON.readManifest(text);
    } catch (const common::FormatFailure&) {
    }
    try {
        checkVerified(verifier.verifyEnvelope(text));
    } catch (const common::SecurityFailure&) {
    } catch (const common::FormatFailure&) {
    } catch (const common::IoFailure&) {
    }
    return 0;
}
