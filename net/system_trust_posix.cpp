#include <openssl/err.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>

#include "net/system_trust.h"

namespace orlex::net {
namespace {

struct CertificatesFree {
    void operator()(STACK_OF(X509) * certificates) const { sk_X509_pop_free(certificates, X509_free); }
};
using Certificates = std::unique_ptr<STACK_OF(X509), CertificatesFree>;

bool present(const char* path) {
    std::error_code error;
    return path && std::filesystem::exists(path, error);
}

// The bundle's certificates, read the way libcurl reads it (OpenSSL's own file loader, trust settings
// of "TRUSTED CERTIFICATE" blocks included). A bundle that does not read in full trusts what did read:
// never more than the bundle.
Certificates readBundle(const char* path) {
    if (!path)
        return nullptr;
    struct StoreFree {
        void operator()(X509_STORE* store) const { X509_STORE_free(store); }
    };
    const std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    if (!store)
        return nullptr;
    X509_STORE_load_file(store.get(), path);
    ERR_clear_error();
    return Certificates(X509_STORE_get1_all_certs(store.get()));
}

const char* bundlePath() {
    const char* path = curl_version_info(CURLVERSION_NOW)->cainfo;
    return present(path) ? path : nullptr;
}

}  // namespace

// A default bundle or directory that this host lacks is left out instead of failing every connection;
// the bundle itself comes through addSystemTrust.
void useSystemTrust(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    if (!present(curl_version_info(CURLVERSION_NOW)->capath))
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
}

void addSystemTrust(X509_STORE* store) {
    static const Certificates bundle = readBundle(bundlePath());
    if (!bundle)
        return;
    for (int i = 0; i < sk_X509_num(bundle.get()); ++i) {
        // A certificate already in the store is not an error worth a failed connection.
        X509_STORE_add_cert(store, sk_X509_value(bundle.get(), i));
    }
    ERR_clear_error();
}

}  // namespace orlex::net
