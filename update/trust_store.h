#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

namespace orlex::update {

// Certificates that the launcher's HTTPS clients trust besides the system store: those of the store
// named by the process properties javax.net.ssl.trustStore and javax.net.ssl.trustStorePassword.
// Immutable once loaded; addTo may run on any thread.
class TrustStore {
public:
    // The store named by the properties; an empty store when javax.net.ssl.trustStore is not set.
    // Fails with common::IoFailure("Magasin de certificats illisible : {}") naming the file when it
    // cannot be read or holds no certificate.
    static TrustStore fromProperties();

    // A PEM bundle (one or more "CERTIFICATE" blocks) or a PKCS#12 store, opened with the password
    // when one is given. Every certificate of a PKCS#12 store is trusted, those beside a key included.
    static TrustStore load(const std::filesystem::path& file, const std::optional<std::string>& password);

    bool empty() const { return certificates_.empty(); }
    std::size_t size() const { return certificates_.size(); }

    // Adds every certificate to an OpenSSL store as a trust anchor; ones already there are left alone.
    void addTo(X509_STORE* store) const noexcept;

private:
    std::vector<std::shared_ptr<X509>> certificates_;
};

inline constexpr const char* TRUST_STORE_PROPERTY = "javax.net.ssl.trustStore";
inline constexpr const char* TRUST_STORE_PASSWORD_PROPERTY = "javax.net.ssl.trustStorePassword";

}  // namespace orlex::update
