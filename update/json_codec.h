#pragma once

#include <string>
#include <string_view>

#include "update/release.h"

namespace orlex::update {

// The one JSON codec of manifests and envelopes, shared by the engine and the publishing tool.
// Writing gives the exact serialised form (common::JsonWriter; absent members are left out).
// Reading accepts standard JSON: unknown members are ignored, missing or null members stay absent
// or zero. Malformed JSON, an empty or null document, a non-object document and a member of the
// wrong JSON type or range fail with common::FormatFailure.
struct JsonCodec {
    std::string write(const Manifest& manifest) const;
    std::string write(const Envelope& envelope) const;
    Manifest readManifest(std::string_view json) const;
    Envelope readEnvelope(std::string_view json) const;
};

inline constexpr JsonCodec JSON{};

}  // namespace orlex::update
