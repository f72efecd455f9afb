#include "net/curl_handles.h"

#include "common/failure.h"

namespace orlex::net {

void initialiseCurl() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK)
        throw common::IoFailure("libcurl indisponible");
}

}  // namespace orlex::net
