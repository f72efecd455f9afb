#include "accounts/editor_session_broker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "accounts/game_session.h"
#include "common/failure.h"
#include "common/interruption.h"
#include "tests/support/tcp_client.h"

namespace orlex::accounts {
namespace {

using namespace std::chrono_literals;

using Client = test::TcpClient;

std::string request(const std::string& head, const std::string& url) {
    Client client(url);
    client.send(head);
    return client.answer();
}

std::string response(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

const std::string UNAUTHORIZED = response("403 Forbidden", R"({"error":"unauthorized"})");

class BrokerTest : public ::testing::Test {
protected:
    std::atomic<int> calls{0};
    std::function<EditorSessionBroker::Grant()> next = [] {
        const std::string realtime = "wss://play.orlex.example/realtime";
        return EditorSessionBroker::Grant{
            "jeton", realtime, publishAddress(realtime), {"worldbuilder.open", "player"}};
    };
    std::unique_ptr<EditorSessionBroker> broker;

    void make(std::chrono::milliseconds readTimeout = EditorSessionBroker::READ_TIMEOUT) {
        broker = std::make_unique<EditorSessionBroker>(
            [this] {
                ++calls;
                return next();
            },
            readTimeout);
    }
    std::string grantRequest(const std::string& authorization) const {
        return "POST /grant HTTP/1.1\r\nHost: 127.0.0.1\r\n" + authorization + "\r\n\r\n";
    }
    std::string bearer() const { return "Authorization: Bearer " + broker->key(); }
};

TEST_F(BrokerTest, AnAuthorisedRequestGetsTheGrantWithItsPublishAddress) {
    make();
    EXPECT_TRUE(broker->url().starts_with("http://127.0.0.1:"));
    EXPECT_TRUE(broker->url().ends_with("/grant"));
    ASSERT_EQ(broker->key().size(), 43u);
    EXPECT_EQ(
        broker->key().find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos);

    EXPECT_EQ(request(grantRequest(bearer()), broker->url()),
              response("200 OK",
                       "{\"token\":\"jeton\",\"realtime\":\"wss://play.orlex.example/realtime\","
                       "\"publish\":\"https://play.orlex.example/mmo/world/publish\","
                       "\"roles\":[\"player\",\"worldbuilder.open\"]}"));
    EXPECT_EQ(calls.load(), 1);
    EditorSessionBroker other([] { return EditorSessionBroker::Grant{}; });
    EXPECT_NE(other.key(), broker->key());
}

TEST_F(BrokerTest, HeaderNameCaseAndSurroundingSpacesAreAccepted) {
    make();
    EXPECT_TRUE(
        request("POST /grant HTTP/1.0\nX-Note: a:b\nauthorization:   Bearer " + broker->key() + "  \r\n\r\n",
                broker->url())
            .starts_with("HTTP/1.1 200 OK\r\n"));
    // The last Authorization header counts.
    EXPECT_TRUE(request(grantRequest("Authorization: Bearer faux\r\n" + bearer()), broker->url())
                    .starts_with("HTTP/1.1 200 OK\r\n"));
}

TEST_F(BrokerTest, RequestsThatAreNotExactlyAuthorisedAreRefused) {
    make();
    const std::string key = broker->key();
    std::string fortyHeaders;
    for (int i = 0; i < 40; ++i)
        fortyHeaders += "X-Filler-" + std::to_string(i) + ": x\r\n";
    for (const std::string& head : std::vector<std::string>{
             "GET /grant HTTP/1.1\r\nAuthorization: Bearer " + key + "\r\n\r\n",
             "post /grant HTTP/1.1\r\nAuthorization: Bearer " + key + "\r\n\r\n",
             "POST /grant?renew=1 HTTP/1.1\r\nAuthorization: Bearer " + key + "\r\n\r\n",
             "POST /grant HTTP/1.1\r\nAuthorization: bearer " + key + "\r\n\r\n",
             "POST /grant HTTP/1.1\r\nAuthorization: Bearer " + key + "x\r\n\r\n",
             "POST /grant HTTP/1.1\r\nAuthorization: Bearer " + key.substr(0, 42) + "\r\n\r\n",
             "POST /grant HTTP/1.1\r\nAuthorization : Bearer " + key + "\r\n\r\n",
             std::string("POST /grant HTTP/1.1\r\n\r\n"),
             "POST /grant HTTP/1.1\r\n" + fortyHeaders + "Authorization: Bearer " + key + "\r\n\r\n",
         }) {
        SCOPED_TRACE(head.substr(0, 40));
        EXPECT_EQ(request(head, broker->url()), UNAUTHORIZED);
    }
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(BrokerTest, AGrantWithoutTheBuilderRoleOrAFailingProviderIsNotServed) {
    next = [] {
        return EditorSessionBroker::Grant{
            "jeton", "wss://x/realtime", "https://x/mmo/world/publish", {"player"}};
    };
    make();
    EXPECT_EQ(request(grantRequest(bearer()), broker->url()),
              response("403 Forbidden", R"({"error":"admin_required"})"));
    next = []() -> EditorSessionBroker::Grant { throw common::SessionExpired(); };
    EXPECT_EQ(request(grantRequest(bearer()), broker->url()),
              response("503 Unavailable", R"({"error":"session_refresh_failed"})"));
}

TEST_F(BrokerTest, OverlongOrSilentRequestsAreClosedWithoutAnswer) {
    make(50ms);
    EXPECT_EQ(request("POST /grant HTTP/1.1\r\nX-Long: " + std::string(4096, 'a'), broker->url()), "");
    // A 4,095-byte line with its line feed is still a line.
    EXPECT_EQ(request("POST /grant HTTP/1.1\r\nX: " + std::string(4091, 'a') + "\n\r\n", broker->url()),
              UNAUTHORIZED);
    std::string heavy = "POST /grant HTTP/1.1\r\n";
    for (int i = 0; i < 3; ++i)
        heavy += "X-Part: " + std::string(3000, 'b') + "\r\n";
    EXPECT_EQ(request(heavy + bearer() + "\r\n\r\n", broker->url()), "");  // beyond 8,192 characters
    EXPECT_EQ(request("", broker->url()), "");                             // silent
    EXPECT_EQ(request("POST /grant HTTP/1.1\r\n" + bearer() + "\r\n", broker->url()), "");  // head never ends
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(BrokerTest, ASecondClientWaitsForTheFirst) {
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    int served = 0;
    next = [&] {
        std::unique_lock lock(mutex);
        const int number = ++served;
        changed.notify_all();
        if (number == 1)
            changed.wait(lock, [&] { return release; });
        return EditorSessionBroker::Grant{"grant-" + std::to_string(number), "r", "p", {"worldbuilder.open"}};
    };
    make();
    Client first(broker->url());
    first.send(grantRequest(bearer()));
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return served == 1; });
    }
    Client second(broker->url());
    second.send(grantRequest(bearer()));
    {
        const std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    }
    EXPECT_NE(first.answer().find("\"token\":\"grant-1\""), std::string::npos);
    EXPECT_NE(second.answer().find("\"token\":\"grant-2\""), std::string::npos);
}

TEST_F(BrokerTest, CloseStopsTheServedRequestAndDropsWaitingOnes) {
    std::promise<void> entered;
    next = [&]() -> EditorSessionBroker::Grant {
        entered.set_value();
        common::sleepFor(10min);  // ends only when the broker asks it to stop
        return {};
    };
    make();
    const std::string url = broker->url();
    Client first(url);
    first.send(grantRequest(bearer()));
    entered.get_future().wait();
    Client second(url);
    second.send(grantRequest(bearer()));

    broker->close();
    EXPECT_EQ(first.answer(), "");
    EXPECT_EQ(second.answer(), "");
    broker->close();
    EXPECT_EQ(broker->url(), url);
    EXPECT_FALSE(Client(url).connected());
}

TEST_F(BrokerTest, IdleAndSlowClientsNeitherStallACorrectRequestNorPileUp) {
    make();
    const std::chrono::seconds patience{3};  // well within the broker's 5 s for a whole request head
    std::vector<std::unique_ptr<Client>> idle;
    for (std::size_t i = 0; i + 2 < EditorSessionBroker::CONNECTION_LIMIT; ++i)
        idle.push_back(std::make_unique<Client>(broker->url()));
    Client dripping(broker->url());
    std::jthread drip([&](std::stop_token stop) {
        const common::ScopedStopToken current(stop);
        try {
            for (const char byte : "POST /grant HTTP/1.1\r\nX-Slow: " + std::string(1000, 'a')) {
                if (!dripping.send(std::string(1, byte)))
                    return;
                common::sleepFor(100ms);
            }
        } catch (const common::Interrupted&) {
        }
    });
    Client correct(broker->url(), patience);  // the last one within the limit

    std::vector<std::unique_ptr<Client>> beyond;  // each pushes out the oldest idle one
    for (int i = 0; i < 4; ++i)
        beyond.push_back(std::make_unique<Client>(broker->url(), patience));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(idle[static_cast<std::size_t>(i)]->answer(), "") << "idle client " << i;
    ASSERT_TRUE(correct.send(grantRequest(bearer())));
    EXPECT_TRUE(correct.answer().starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(dripping.answer(), "");  // closed when its head was still unfinished after 5 s
    EXPECT_EQ(calls.load(), 1);
}

TEST(ConstantTimeEquals, ComparesWholeStrings) {
    EXPECT_TRUE(constantTimeEquals("Bearer abc", "Bearer abc"));
    EXPECT_FALSE(constantTimeEquals("Bearer abd", "Bearer abc"));
    EXPECT_FALSE(constantTimeEquals("Xearer abc", "Bearer abc"));
    EXPECT_FALSE(constantTimeEquals("Bearer ab", "Bearer abc"));
    EXPECT_FALSE(constantTimeEquals("Bearer abcd", "Bearer abc"));
    EXPECT_FALSE(constantTimeEquals("", "Bearer abc"));
    EXPECT_FALSE(constantTimeEquals(std::string("Bearer abc\0", 11), "Bearer abc"));
}

}  // namespace
}  // namespace orlex::accounts
