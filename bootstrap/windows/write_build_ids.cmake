# cmake -DLAUNCHER=<payload 101> -DRUNTIME=<payload 102> -DOUTPUT=<build_ids.cpp> -P write_build_ids.cmake
# Writes the definition of buildIds() (build_ids.h): the launcher id is the first 16 lower-case hex digits
# of the SHA-256 of the launcher archive; the runtime id, a build id of the runtime zip, is the same digest
# of that zip. The file is rewritten only when its text changes.
foreach(input LAUNCHER RUNTIME OUTPUT)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "write_build_ids.cmake: -D${input}=... is missing")
  endif()
endforeach()

file(SHA256 ${LAUNCHER} launcher_digest)
file(SHA256 ${RUNTIME} runtime_digest)
string(SUBSTRING ${launcher_digest} 0 16 launcher_id)
string(SUBSTRING ${runtime_digest} 0 16 runtime_id)

file(CONFIGURE OUTPUT ${OUTPUT} @ONLY CONTENT [[
// Written by bootstrap/windows/write_build_ids.cmake from the payloads of this build.
#include "bootstrap/windows/build_ids.h"

namespace orlex::bootstrap {

BootstrapIds buildIds() {
    return {.launcherId = u"@launcher_id@", .runtimeId = u"@runtime_id@"};
}

}  // namespace orlex::bootstrap
]])
