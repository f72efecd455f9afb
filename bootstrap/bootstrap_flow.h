#pragma once

#include <string>

#include "bootstrap/bootstrap_platform.h"

namespace orlex::bootstrap {

// Resource ids of the two payloads the installer carries (type RT_RCDATA).
inline constexpr int LAUNCHER_PAYLOAD = 101;  // the launcher archive
inline constexpr int RUNTIME_PAYLOAD = 102;   // the launcher runtime zip

// The names one build of the installer gives its payloads on disk, fixed when it is built.
struct BootstrapIds {
    // The first 16 lower-case hex digits of the SHA-256 of the launcher payload: names the launcher archive.
    std::u16string launcherId;
    // The build id of the runtime payload: names the runtime directory and its zip.
    std::u16string runtimeId;
};

// The whole installer, on the calling thread: claims the single-instance mutex, lays out the install root
// under the local application data folder, unpacks the runtime with the system's tar when its program is
// missing, rewrites the launcher archive, copies the running executable into the install root, places the
// desktop shortcut when none exists, then starts the launcher on the runtime and waits for it to end.
//
// Returns the installer's exit status: 0 when another installer holds the mutex; 1 after any failure
// before the launch (each shown in one error box); otherwise the launcher's exit status, or -1 when it
// could not start (a non-zero result is also shown in an error box). The mutex is released only after the
// launcher has ended; after an earlier failure it is left to the end of the process.
int runBootstrap(BootstrapPlatform& platform, const BootstrapIds& ids);

}  // namespace orlex::bootstrap
