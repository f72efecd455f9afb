#pragma once

#include "bootstrap/bootstrap_flow.h"

namespace orlex::bootstrap {

// The ids of the two payloads this executable carries, fixed when it was built: its build_ids.cpp is
// written from the payloads themselves by write_build_ids.cmake, so they always name these exact bytes.
BootstrapIds buildIds();

}  // namespace orlex::bootstrap
