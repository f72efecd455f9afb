#pragma once

#include <filesystem>
#include <string>

namespace orlex::test {

// A certificate authority made for one test run with OpenSSL, and a server certificate it signed for
// 127.0.0.1 and localhost. Every file is written under the given directory:
//   ca.pem           the authority's certificate (a PEM bundle of one)
//   ca.p12           the authority's certificate alone in a PKCS#12 store, protected by pkcs12Password()
//   server-cert.pem  the server's certificate
//   server-key.pem   the server's private key (unencrypted PKCS#8)
class TestCa {
public:
    explicit TestCa(const std::filesystem::path& dir, const std::string& name = "ORLEX Test CA");

    const std::filesystem::path& caPem() const { return caPem_; }
    const std::filesystem::path& caPkcs12() const { return caPkcs12_; }
    const std::string& pkcs12Password() const { return password_; }
    const std::filesystem::path& serverCertificate() const { return serverCertificate_; }
    const std::filesystem::path& serverKey() const { return serverKey_; }

private:
    std::filesystem::path caPem_;
    std::filesystem::path caPkcs12_;
    std::string password_ = "magasin-de-test";
    std::filesystem::path serverCertificate_;
    std::filesystem::path serverKey_;
};

}  // namespace orlex::test
