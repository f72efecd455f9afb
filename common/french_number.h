#pragma once

#include <string>

namespace orlex::common {

// One decimal with a comma and no digit grouping, rounded half up (away from zero) from the shortest
// decimal form that reads back as the same double: 0.25 gives "0,3", 0.15 gives "0,2", 2.0 gives "2,0".
// Binary rounding (printf) would give "0,2" and "0,1" there, which is why this exists.
std::string frenchOneDecimal(double value);

}  // namespace orlex::common
