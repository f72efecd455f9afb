#include "accounts/game_session.h"

#include <gtest/gtest.h>

#include "accounts/tests/scripted_server.h"
#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"

namespace orlex::accounts {
namespace {

class GameSessionTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::TestCa ca{dir / "ca"};
    test::ScriptedServer server{ca};
    SessionExchangeSettings endpoint{.endpoint = server.origin() + "/mmo/session", .trust = {ca.caPem()}};

    void answer(int status, const std::string& body = "{}") {
        server.on("POST", "/mmo/session", [=](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, "application/json");
            if (status == 302)
                response.set_header("Location", "/ailleurs");
        });
    }
};

TEST_F(GameSessionTest, TheSessionTravelsEscapedInTheBodyAndTheGrantComesBack) {
    answer(200, R"({"token":"t-1","name":"nova","realtime":"wss://rt.example/realtime",)"
                R"("roles":["worldbuilder.open","player","player"],"extra":1})");
    const GameGrant grant = exchangeSession(endpoint, "halvo_session=a=b; pref=x");
    EXPECT_EQ(grant,
              (GameGrant{"t-1", "nova", "wss://rt.example/realtime", {"player", "worldbuilder.open"}}));
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, R"({"session":"halvo_session\u003da\u003db; pref\u003dx"})");
    EXPECT_EQ(seen[0].contentType, "application/json");
    EXPECT_EQ(seen[0].cookie, "");
}

TEST_F(GameSessionTest, StatusesMapToTheirFailures) {
    EXPECT_EQ(test::failureMessage<common::SessionExpired>([&] { exchangeSession(endpoint, " \t"); }),
              "Session expirée");
    EXPECT_TRUE(server.requests().empty());
    for (const int status : {401, 403}) {
        answer(status);
        EXPECT_EQ(test::failureMessage<common::SessionExpired>([&] { exchangeSession(endpoint, "s=1"); }),
                  "Session expirée");
    }
    for (const int status : {302, 500, 503}) {
        answer(status);
        EXPECT_EQ(test::failureMessage<common::IoFailure>([&] { exchangeSession(endpoint, "s=1"); }),
                  "Échange de session temporairement indisponible (" + std::to_string(status) + ")");
    }
    for (const std::string body : {"[]", "{\"token\":\"t\",\"name\":\"n\",\"realtime\":\"r\"}", "pas du json",
                                   "{\"token\":\"t\",\"name\":\"n\",\"realtime\":\"r\",\"roles\":[1]}"}) {
        answer(200, body);
        test::failureMessage<common::FormatFailure>([&] { exchangeSession(endpoint, "s=1"); });
    }
}

TEST(PublishAddress, ReplacesOnlyWhereThePatternsMatch) {
    EXPECT_EQ(publishAddress("wss://rt.example:9/realtime"), "https://rt.example:9/mmo/world/publish");
    EXPECT_EQ(publishAddress("ws://rt.example/realtime/x"), "ws://rt.example/realtime/x");
    EXPECT_EQ(publishAddress("https://rt.example/live"), "https://rt.example/live");
}

}  // namespace
}  // namespace orlex::accounts
