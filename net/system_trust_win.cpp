#include "net/system_trust.h"

namespace orlex::net {

void useSystemTrust(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
}

void addSystemTrust(X509_STORE*) {}

}  // namespace orlex::net
