#pragma once

#include <curl/curl.h>

#include <memory>

namespace orlex::net {

// Owners of libcurl's handles, for the bodies of this module; each frees its handle once and never throws.
struct EasyFree {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct MultiFree {
    void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct ListFree {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct TextFree {
    void operator()(char* text) const noexcept { curl_free(text); }
};

using EasyHandle = std::unique_ptr<CURL, EasyFree>;
using MultiHandle = std::unique_ptr<CURLM, MultiFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;
using CurlText = std::unique_ptr<char, TextFree>;

// libcurl's process-wide set-up, done by the first call only and never undone. Thread-safe. Fails with
// common::IoFailure("libcurl indisponible") when libcurl cannot start.
void initialiseCurl();

}  // namespace orlex::net
