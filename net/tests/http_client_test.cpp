#include "net/http_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "net/system_trust.h"
#include "tests/support/files.h"
#include "tests/support/https_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"

namespace orlex::net {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = ExchangeFailure::Kind;
using test::Fault;

// How send failed: the kind and the message of the cause.
struct Failed {
    Kind kind;
    std::string cause;
};

template <typename Action>
Failed failureOf(Action&& action) {
    try {
        action();
    } catch (const ExchangeFailure& failure) {
        try {
            std::rethrow_exception(failure.cause());
        } catch (const std::exception& cause) {
            return {failure.kind(), cause.what()};
        }
    }
    ADD_FAILURE() << "expected an ExchangeFailure";
    return {};
}

// Files served over HTTPS on 127.0.0.1 by a CA made for the test.
class HttpClientTest : public ::testing::Test {
protected:
    HttpClientTest() { test::writeFile(files_ / "current.json", "{}"); }

    // A client trusting the test's CA through its PEM bundle, unless told otherwise.
    std::unique_ptr<HttpClient> client(const TrustConfig& trust) {
        return std::make_unique<HttpClient>(5s, trust);
    }
    std::unique_ptr<HttpClient> client() { return client(TrustConfig{ca_.caPem(), std::nullopt}); }

    Request get(const std::string& path) const {
        return Request{.url = server_.baseUrl() + path, .headersTimeout = 10s, .exchangeTimeout = 10s};
    }

    test::TempDir dir_;
    test::TestCa ca_{dir_ / "ca"};
    fs::path files_ = dir_ / "files";
    test::HttpsServer server_{files_, ca_};
};

// --- Trust ----------------------------------------------------------------------------------------

TEST_F(HttpClientTest, APkcs12StoreWithItsPasswordIsTrusted) {
    BufferedResponse response(100);

    EXPECT_EQ(client({ca_.caPkcs12(), ca_.pkcs12Password()})->send(get("current.json"), response), 200);
    EXPECT_EQ(response.body(), "{}");
}

TEST_F(HttpClientTest, AServerOfAnotherAuthorityIsRefusedBeforeAnyRequest) {
    const test::TestCa other(dir_ / "other", "Other CA");
    auto refusing = client({other.caPem(), std::nullopt});
    BufferedResponse response(100);

    EXPECT_EQ(failureOf([&] { refusing->send(get("current.json"), response); }).kind, Kind::Connection);
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(HttpClientTest, AnUnreadableStoreFailsEachExchangeWithTheReason) {
    auto unreadable = client({ca_.caPkcs12(), "not the password"});
    BufferedResponse response(100);

    for (int exchange = 0; exchange < 2; ++exchange) {
        const Failed failed = failureOf([&] { unreadable->send(get("current.json"), response); });
        EXPECT_EQ(failed.kind, Kind::Trust);
        EXPECT_EQ(failed.cause, "Magasin de certificats illisible : " + ca_.caPkcs12().string());
    }
    EXPECT_TRUE(server_.requests().empty());
}

// Every connection trusts the whole of the host's bundle, read once for all of them, and nothing more: a
// server of a private authority is refused without the configured store.
TEST_F(HttpClientTest, EachConnectionTrustsTheWholeHostBundleAndNoMore) {
    auto systemOnly = client(TrustConfig{});
    BufferedResponse response(100);
    EXPECT_EQ(failureOf([&] { systemOnly->send(get("current.json"), response); }).kind, Kind::Connection);
    EXPECT_TRUE(server_.requests().empty());

    const char* bundle = curl_version_info(CURLVERSION_NOW)->cainfo;
    if (!bundle || !fs::exists(bundle))
        GTEST_SKIP() << "this host has no certificate bundle";
    std::ifstream in(bundle);
    int certificates = 0;
    for (std::string line; std::getline(in, line);)
        certificates +=
            line == "-----BEGIN CERTIFICATE-----" || line == "-----BEGIN TRUSTED CERTIFICATE-----";
    ASSERT_GT(certificates, 0);
    for (int connection = 0; connection < 2; ++connection) {
        const std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                            X509_STORE_free);
        addSystemTrust(store.get());
        STACK_OF(X509)* added = X509_STORE_get1_all_certs(store.get());
        EXPECT_EQ(sk_X509_num(added), certificates);
        sk_X509_pop_free(added, X509_free);
    }
}

// --- Deadlines, redirects, caps -------------------------------------------------------------------

TEST_F(HttpClientTest, AHeadThatDoesNotArriveInTimeIsAConnectionFailure) {
    server_.inject("/current.json", Fault::stallFor(60s));
    Request request = get("current.json");
    request.headersTimeout = 50ms;
    BufferedResponse response(100);

    const Failed failed = failureOf([&] { client()->send(request, response); });

    EXPECT_EQ(failed.kind, Kind::Connection);
    EXPECT_EQ(failed.cause, "Aucune réponse après 50 ms");
}

TEST_F(HttpClientTest, ARedirectIsReportedWithItsLocationAndNotFollowed) {
    server_.inject("/current.json", Fault::redirect());
    BufferedResponse response(100);

    EXPECT_EQ(client()->send(get("current.json"), response), 302);
    EXPECT_EQ(response.head().first("location"), "/moved/current.json");
    EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(HttpClientTest, ABufferedResponseHoldsUpToItsCapAndRefusesMoreWhileItArrives) {
    const std::string content = test::randomBytes(300'000);
    test::writeFile(files_ / "big.bin", content);
    auto reused = client();

    BufferedResponse exact(content.size());
    EXPECT_EQ(reused->send(get("big.bin"), exact), 200);
    EXPECT_TRUE(exact.body() == content);

    BufferedResponse under(content.size() - 1);
    const Failed failed = failureOf([&] { reused->send(get("big.bin"), under); });
    EXPECT_EQ(failed.kind, Kind::Body);
    EXPECT_EQ(failed.cause, "Réponse trop grande");
    EXPECT_LT(under.body().size(), content.size());
}

}  // namespace
}  // namespace orlex::net
