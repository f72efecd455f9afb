#include "tests/support/test_ca.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace orlex::test {
namespace {

namespace fs = std::filesystem;

struct Free {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(PKCS12* p12) const { PKCS12_free(p12); }
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test CA: ") + what);
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    check(extension != nullptr, "extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for key, valid from an hour ago for a day; self-signed when issuer is null.
Certificate newCertificate(const std::string& commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
    Certificate certificate(X509_new());
    check(certificate != nullptr, "certificate");
    X509_set_version(certificate.get(), 2);
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : subject);
    X509_set_pubkey(certificate.get(), key);
    X509* signer = issuer ? issuer : certificate.get();
    addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(certificate.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(certificate.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    } else {
        addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    check(X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signature");
    return certificate;
}

std::unique_ptr<BIO, Free> open(const fs::path& file) {
    std::unique_ptr<BIO, Free> bio(BIO_new_file(file.c_str(), "wb"));
    check(bio != nullptr, "cannot write a file");
    return bio;
}

}  // namespace

TestCa::TestCa(const fs::path& dir, const std::string& name)
    : caPem_(dir / "ca.pem"),
      caPkcs12_(dir / "ca.p12"),
      serverCertificate_(dir / "server-cert.pem"),
      serverKey_(dir / "server-key.pem") {
    fs::create_directories(dir);
    const Key caKey = newKey();
    const Certificate ca = newCertificate(name, caKey.get(), nullptr, nullptr);
    const Key serverKey = newKey();
    const Certificate server = newCertificate("127.0.0.1", serverKey.get(), ca.get(), caKey.get());

    check(PEM_write_bio_X509(open(caPem_).get(), ca.get()) == 1, "ca.pem");
    check(PEM_write_bio_X509(open(serverCertificate_).get(), server.get()) == 1, "server-cert.pem");
    check(PEM_write_bio_PrivateKey(open(serverKey_).get(), serverKey.get(), nullptr, nullptr, 0, nullptr,
                                   nullptr) == 1,
          "server-key.pem");

    std::unique_ptr<STACK_OF(X509), Free> trusted(sk_X509_new_null());
    check(trusted && sk_X509_push(trusted.get(), ca.get()) > 0, "certificate list");
    std::unique_ptr<PKCS12, Free> store(
        PKCS12_create(password_.c_str(), nullptr, nullptr, nullptr, trusted.get(), 0, 0, 0, 0, 0));
    check(store != nullptr, "PKCS#12 store");
    check(i2d_PKCS12_bio(open(caPkcs12_).get(), store.get()) == 1, "ca.p12");
}

}  // namespace orlex::test
