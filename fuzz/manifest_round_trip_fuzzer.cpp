// Whatever the manifest reader accepts, the writer's form reads back as the same manifest, and writing
// that again gives the same bytes: the signed form never drifts.

#include <cstddef>
#include <cstdint>

#include "common/failure.h"
#include "fuzz/fuzz_support.h"
#include "update/json_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    update::Manifest manifest;
    try {
        manifest = update::JSON.readManifest(textOf(data, size));
    } catch (const common::FormatFailure&) {
        return 0;
    }
    const std::string written = update::JSON.write(manifest);
    update::Manifest again;
    try {
        again = update::JSON.readManifest(written);
    } catch (const common::FormatFailure&) {
        broken("the writer's form is refused by the reader");
    }
    expect(again == manifest, "manifest changed by a write and a read");
    expect(update::JSON.write(again) == written, "written form changed");

    // The envelope the same way.
    try {
        const update::Envelope envelope = update::JSON.readEnvelope(textOf(data, size));
        const update::Envelope back = update::JSON.readEnvelope(update::JSON.write(envelope));
        expect(back.manifest == envelope.manifest && back.signature == envelope.signature,
               "envelope changed");
    } catch (const common::FormatFailure&) {
        // A member the manifest reader ignores may have the wrong type for an envelope.
    }
    return 0;
}
