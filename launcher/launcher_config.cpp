#include "launcher/launcher_config.h"

namespace orlex::launcher {

std::int64_t monotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace orlex::launcher
