#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

namespace orlex::net {

// The trust store configured besides the system store, as the launcher's configuration names it.
struct TrustConfig {
    // A PEM bundle or a PKCS#12 store; none: the system store alone.
    std::optional<std::filesystem::path> store = {};
    // Opens a PKCS#12 store; none: the store is opened without one.
    std::optional<std::string> password = {};

    bool operator==(const TrustConfig&) const = default;
};

// Certificates that the HTTPS clients trust besides the system store. Immutable once loaded; addTo may
// run on any thread.
class TrustStore {
public:
    // The configured store; an empty store when none is configured. Fails as load() does.
    static TrustStore configured(const TrustConfig& config);

    // A PEM bundle (one or more "CERTIFICATE" blocks) or a PKCS#12 store, opened with the password
    // when one is given. Every certificate of a PKCS#12 store is trusted, those beside a key included.
    // Fails with common::IoFailure("Magasin de certificats illisible : {}") naming the file when it
    // cannot be read or holds no certificate.
    static TrustStore load(const std::filesystem::path& file, const std::optional<std::string>& password);

    bool empty() const { return certificates_.empty(); }
    std::size_t size() const { return certificates_.size(); }

    // Adds every certificate to an OpenSSL store as a trust anchor; ones already there are left alone.
    void addTo(X509_STORE* store) const noexcept;

private:
    std::vector<std::shared_ptr<X509>> certificates_;
};

}  // namespace orlex::net
