// Attacks on the account side: a service that sends the client to another host, answers that never end,
// answers that are not what they claim. The session cookie never leaves home, and every bad answer
// fails with a clear message instead of a crash, a hang or a grant.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "accounts/game_session.h"
#include "accounts/halvo_id_client.h"
#include "accounts/tests/scripted_server.h"
#include "accounts/web_exchange.h"
#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"

namespace orlex::accounts {
namespace {

using test::failureMessage;
using test::page;
using test::redirectTo;

class AccountAttack : public ::testing::Test {
protected:
    test::TempDir dir;
    test::TestCa ca{dir / "ca"};
    test::ScriptedServer home{ca};     // https://127.0.0.1:<port>
    test::ScriptedServer foreign{ca};  // reached as https://localhost:<port>: another host
    std::unique_ptr<HalvoIdClient> halvo;

    void SetUp() override {
        for (test::ScriptedServer* server : {&home, &foreign}) {
            server->on("GET", "/",
                       [](const httplib::Request&, httplib::Response& response) { page(response, ""); });
            server->on("POST", "/",
                       [](const httplib::Request&, httplib::Response& response) { page(response, ""); });
        }
        halvo = std::make_unique<HalvoIdClient>(
            dir / "account-session", HalvoIdSettings{.origin = home.origin(), .trust = {ca.caPem()}});
    }
    std::string foreignUrl(const std::string& path) const {
        return "https://localhost:" + std::to_string(foreign.port()) + path;
    }
    // The service's sign-in: its form, then the session cookie and a redirect to location.
    void signInRedirectingTo(const std::string& location) {
        home.on("GET", LOGIN, [](const httplib::Request& request, httplib::Response& response) {
            if (request.get_header_value("Cookie").find("halvo_session=") != std::string::npos)
                redirectTo(response, "/halvoid/account.php");
            else
                page(response, "<form><input type=\"hidden\" name=\"csrf_token\" value=\"t\"></form>");
        });
        home.on("POST", LOGIN_API, [location](const httplib::Request&, httplib::Response& response) {
            response.set_header("Set-Cookie", "halvo_session=s3cr3t; Path=/; Secure; HttpOnly; Max-Age=3600");
            redirectTo(response, location);
        });
    }
    SessionExchangeSettings endpoint(const std::string& path) const {
        return {.endpoint = home.origin() + path, .trust = {ca.caPem()}};
    }
};

TEST_F(AccountAttack, ARedirectToAnotherHostKeepsTheCookiesHome) {
    signInRedirectingTo(foreignUrl("/halvoid/account.php"));
    EXPECT_EQ(halvo->login("nova", "correct horse"),
              (Result{false, "Identifiant ou mot de passe incorrect."}));

    signInRedirectingTo(home.origin() + "/halvoid/account.php");
    ASSERT_TRUE(halvo->login("nova", "correct horse").ok);
    // The signed-in page and the session endpoint both send the client away.
    home.on("GET", LOGIN, [this](const httplib::Request&, httplib::Response& response) {
        redirectTo(response, foreignUrl(LOGIN));
    });
    home.on("POST", "/mmo/session", [this](const httplib::Request&, httplib::Response& response) {
        redirectTo(response, foreignUrl("/mmo/session"), 307);
    });
    (void)halvo->sessionValid();  // a redirect, followed nowhere
    EXPECT_THROW((void)exchangeSession(endpoint("/mmo/session"), halvo->sessionCookieHeader()),
                 common::IoFailure);

    for (const auto& seen : foreign.requests())
        ADD_FAILURE() << "the other host was asked " << seen.method << " " << seen.path << " with cookies \""
                      << seen.cookie << "\"";
}

TEST_F(AccountAttack, OversizedOrMalformedAnswersFailClearly) {
    const std::string endless(MAX_BODY + 1, 'x');
    home.on("GET", LOGIN,
            [&](const httplib::Request&, httplib::Response& response) { page(response, endless); });
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { (void)halvo->login("nova", "correct horse"); }),
              "Connexion impossible : réponse trop grande");

    std::string answer;
    home.on("POST", "/mmo/session", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(answer, "application/json");
    });
    answer = endless;
    EXPECT_EQ(
        failureMessage<common::IoFailure>([&] { (void)exchangeSession(endpoint("/mmo/session"), "a=b"); }),
        "Connexion impossible : réponse trop grande");
    for (const std::string& malformed :
         {std::string("{"), std::string("[]"),
          std::string(R"({"token":1,"name":"n","realtime":"r","roles":[]})"),
          std::string(R"({"token":"t","name":"n","realtime":"r","roles":[1]})"), std::string(1'000'000, '['),
          R"({"token":"t","name":"n","realtime":"r","roles":[)" + std::string(500'000, '[') + "}"}) {
        answer = malformed;
        EXPECT_THROW((void)exchangeSession(endpoint("/mmo/session"), "a=b"), common::FormatFailure)
            << malformed.substr(0, 60);
    }
}

}  // namespace
}  // namespace orlex::accounts
