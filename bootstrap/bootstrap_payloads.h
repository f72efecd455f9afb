#pragma once

#include <cstddef>
#include <span>

#include "bootstrap/bootstrap_flow.h"

namespace orlex::bootstrap {

// What orlex-bootstrap carries in its own program image, assembled in at build time (embed_payloads.cmake
// writes the body). Every block stays valid for the life of the process.

// The payload with this id: LAUNCHER_PAYLOAD (the launcher archive) or RUNTIME_PAYLOAD (the runtime zip);
// empty for any other id.
std::span<const std::byte> embeddedPayload(int id);

// The product icon, a PNG picture: the Linux program's counterpart of the Windows executable's icon.
std::span<const std::byte> embeddedIcon();

// The names this build gives its payloads on disk, fixed from their bytes when it was built.
BootstrapIds embeddedIds();

}  // namespace orlex::bootstrap
