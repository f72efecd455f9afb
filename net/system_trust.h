#pragma once

#include <curl/curl.h>

typedef struct x509_store_st X509_STORE;

namespace orlex::net {

// Points a libcurl handle at the host's own certificate store, beside which the configured trust store
// adds its certificates. Bodies: system_trust_posix.cpp and system_trust_win.cpp.
void useSystemTrust(CURL* easy);

// Adds to a new connection's store the certificates useSystemTrust left to the caller. On POSIX hosts
// that is the bundle libcurl was built to use (when this host has it), read once per process: libcurl
// would read and parse it again for every connection of every client, which costs more than a small
// download. Its directory of certificates, read lazily, stays libcurl's. On Windows libcurl imports the
// Windows certificate store itself and nothing is added.
void addSystemTrust(X509_STORE* store);

}  // namespace orlex::net
