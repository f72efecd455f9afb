#include <filesystem>

#include "net/system_trust.h"

namespace orlex::net {

// A default bundle or directory that this host lacks is left out instead of failing every connection.
void useSystemTrust(CURL* easy) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    std::error_code error;
    if (!info->cainfo || !std::filesystem::exists(info->cainfo, error))
        curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    if (!info->capath || !std::filesystem::exists(info->capath, error))
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
}

}  // namespace orlex::net
