#include "net/trust_store.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <fstream>
#include <string_view>

#include "common/failure.h"

namespace orlex::net {
namespace {

namespace fs = std::filesystem;

// A trust store is a handful of certificates; anything larger is not one.
constexpr std::uintmax_t MAX_STORE_BYTES = 16 * 1024 * 1024;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct Pkcs12Free {
    void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

std::shared_ptr<X509> owned(X509* certificate) {
    return std::shared_ptr<X509>(certificate, X509_free);
}

[[noreturn]] void unreadable(const fs::path& file) {
    ERR_clear_error();
    throw common::IoFailure("Magasin de certificats illisible : " + file.string());
}

std::string readStore(const fs::path& file) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error || size > MAX_STORE_BYTES)
        unreadable(file);
    std::ifstream in(file, std::ios::binary);
    std::string content(static_cast<std::size_t>(size), '\0');
    if (!in.read(content.data(), static_cast<std::streamsize>(content.size())))
        unreadable(file);
    return content;
}

std::vector<std::shared_ptr<X509>> fromPem(const std::string& content) {
    std::vector<std::shared_ptr<X509>> certificates;
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    if (!bio)
        return certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        certificates.push_back(owned(certificate));
    // The loop ends on "no more blocks", which OpenSSL records as an error.
    ERR_clear_error();
    return certificates;
}

std::vector<std::shared_ptr<X509>> fromPkcs12(const std::string& content,
                                              const std::optional<std::string>& password) {
    std::vector<std::shared_ptr<X509>> certificates;
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    if (!bio)
        return certificates;
    std::unique_ptr<PKCS12, Pkcs12Free> p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12)
        return certificates;
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawChain = nullptr;
    if (PKCS12_parse(p12.get(), password ? password->c_str() : nullptr, &rawKey, &rawCertificate,
                     &rawChain) != 1)
        return certificates;
    const std::unique_ptr<EVP_PKEY, KeyFree> key(rawKey);
    const std::unique_ptr<STACK_OF(X509), X509StackFree> chain(rawChain);
    if (rawCertificate)
        certificates.push_back(owned(rawCertificate));
    for (int i = 0; chain && i < sk_X509_num(chain.get()); ++i) {
        X509* certificate = sk_X509_value(chain.get(), i);
        if (X509_up_ref(certificate) == 1)
            certificates.push_back(owned(certificate));
    }
    return certificates;
}

}  // namespace

TrustStore TrustStore::configured(const TrustConfig& config) {
    if (!config.store)
        return TrustStore();
    return load(*config.store, config.password);
}

TrustStore TrustStore::load(const fs::path& file, const std::optional<std::string>& password) {
    const std::string content = readStore(file);
    TrustStore store;
    if (content.find("-----BEGIN") != std::string::npos)
        store.certificates_ = fromPem(content);
    else
        store.certificates_ = fromPkcs12(content, password);
    if (store.certificates_.empty())
        unreadable(file);
    return store;
}

void TrustStore::addTo(X509_STORE* store) const noexcept {
    for (const auto& certificate : certificates_)
        X509_STORE_add_cert(store, certificate.get());
    ERR_clear_error();
}

}  // namespace orlex::net
