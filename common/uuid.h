#pragma once

#include <string>

namespace orlex::common {

// A random (version 4, RFC 4122 variant) UUID from the system's secure random source, in its canonical
// lower-case text form: 8-4-4-4-12 hexadecimal digits joined by "-".
std::string randomUuid();

}  // namespace orlex::common
