#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "net/trust_store.h"
#include "tests/support/https_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"
#include "update/patcher.h"
#include "update/signature.h"

namespace orlex::test {

// A signing key pair, a CA, a channel directory written by the publishing tool and an HTTPS server
// serving it on 127.0.0.1. Engines made here trust the CA and use pauses that do not wait, so retries
// cost no time.
class TestChannel {
public:
    using Files = std::map<std::string, std::string>;  // release path → content

    TestChannel();

    // Publishes files as the channel's current release (product "client" unless given) and returns its
    // id. A path starting with "+x " marks an executable file ("+x runtime/bin/java").
    std::string publish(const Files& files, std::int64_t sequence, const std::string& product = "client");

    // Publishes into the sub-directory `under` of the channel directory ("client/", "launcher/"), which
    // the server offers at url(under), so several channels can sit side by side as siblings.
    std::string publishUnder(const std::string& under, const Files& files, std::int64_t sequence,
                             const std::string& product);

    // An engine on this channel for the given root (product "client" unless given).
    std::unique_ptr<update::Patcher> engine(const std::filesystem::path& root,
                                            const std::string& product = "client");
    // The same on the channel published under `under`.
    std::unique_ptr<update::Patcher> engineUnder(const std::string& under, const std::filesystem::path& root,
                                                 const std::string& product);
    // Engine settings that trust the CA, with pauses that do not wait.
    update::PatcherSettings engineSettings() const;
    // The CA's certificate as a configured trust store.
    net::TrustConfig trust() const;

    HttpsServer& server() { return *server_; }
    const update::Ed25519Key& publicKey() const { return publicKey_; }
    std::string baseUrl() const { return server_->baseUrl(); }
    // baseUrl() + under: the base of the channel published under `under` ("https://…/client/").
    std::string url(const std::string& under) const { return baseUrl() + under; }
    const std::filesystem::path& channelDir() const { return channel_; }
    const std::filesystem::path& privateKeyFile() const { return privateKey_; }
    const TestCa& ca() const { return *ca_; }
    // Request path of the blob holding content ("/blobs/<sha256>").
    static std::string blobPath(const std::string& content);
    // Request path of the blob holding content in the channel under `under` ("/client/blobs/<sha256>").
    static std::string blobPath(const std::string& under, const std::string& content);

private:
    std::string publishInto(const std::filesystem::path& channel, const Files& files, std::int64_t sequence,
                            const std::string& product);

    TempDir dir_;
    std::filesystem::path channel_;
    std::filesystem::path privateKey_;
    update::Ed25519Key publicKey_;
    std::unique_ptr<TestCa> ca_;
    std::unique_ptr<HttpsServer> server_;
    int published_ = 0;
};

}  // namespace orlex::test
