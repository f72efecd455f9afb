// A manifest text signed with the fixed release key inside the target, then verified as the engine
// verifies a fresh release and a stored one: every input reaches the rules behind the signature.

#include <cstddef>
#include <cstdint>

#include "common/failure.h"
#include "common/hex.h"
#include "fuzz/fuzz_support.h"
#include "update/digest.h"
#include "update/paths.h"
#include "update/verification.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    static const std::filesystem::path root = [] {
        std::filesystem::create_directories(scratchDirectory() / "root");
        return scratchDirectory() / "root";
    }();
    static const update::ManifestVerifier verifier(fixedPublicKey(), PRODUCT, root, [] { return NOW; });
    const std::span<const std::uint8_t> bytes(data, size);
    const update::Bytes signature = update::sign(fixedPrivateKey(), bytes);
    for (const bool fresh : {true, false}) {
        try {
            const update::Signed release = verifier.verify(bytes, signature, fresh);
            expect(release.bytes == update::Bytes(bytes.begin(), bytes.end()), "bytes kept");
            expect(release.id == update::hash(bytes), "id");
            expect(!fresh || release.manifest.expires >= NOW, "expired release accepted");
            expect(!release.manifest.files.empty() && release.manifest.files.size() <= 10'000, "counts");
            for (const update::VerifiedEntry& e : release.manifest.files) {
                expect(update::isWithin(update::safe(root, e.path), root), "entry outside the root");
                expect(common::isLowerHex(e.sha256, 64) && e.url == "blobs/" + e.sha256, "digest and url");
            }
        } catch (const common::SecurityFailure&) {
        } catch (const common::FormatFailure&) {
        } catch (const common::IoFailure&) {
        }
    }
    // A single flipped bit of the signature must be refused.
    update::Bytes forged = signature;
    forged[size % forged.size()] ^= static_cast<std::uint8_t>(1u << (size % 8));
    try {
        (void)verifier.verify(bytes, forged, false);
        broken("forged signature accepted");
    } catch (const common::SecurityFailure&) {
    }
    return 0;
}
