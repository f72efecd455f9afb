#pragma once

#include <curl/curl.h>

namespace orlex::net {

// Points a libcurl handle at the host's own certificate store, beside which the configured trust store
// adds its certificates. Bodies: system_trust_posix.cpp (the bundle or directory libcurl was built to
// use, when this host has it) and system_trust_win.cpp (the Windows certificate store).
void useSystemTrust(CURL* easy);

}  // namespace orlex::net
