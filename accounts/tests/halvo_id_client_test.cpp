#include "accounts/halvo_id_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "accounts/tests/scripted_server.h"
#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"

namespace orlex::accounts {
namespace {

namespace fs = std::filesystem;
using test::page;
using test::redirectTo;

const std::string SIGN_IN_PAGE =
    "<html><form method=post><input type=\"hidden\" name=\"csrf_token\"  value=\"tok-123\">"
    "<input name=identifier></form></html>";

class HalvoIdClientTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::TestCa ca{dir / "ca"};
    test::ScriptedServer server{ca};
    fs::path sessionFile = dir / "userdata/account-session";

    // A client of the scripted service, trusting the test's CA.
    std::unique_ptr<HalvoIdClient> client() {
        return std::make_unique<HalvoIdClient>(
            sessionFile, HalvoIdSettings{.origin = server.origin(), .trust = {ca.caPem()}});
    }

    // The sign-in page: a redirect for a request carrying the session cookie, the form otherwise.
    void serveSignInPage() {
        server.on("GET", LOGIN, [](const httplib::Request& request, httplib::Response& response) {
            if (request.get_header_value("Cookie").find("halvo_session=") != std::string::npos)
                redirectTo(response, "/halvoid/account.php");
            else
                page(response, SIGN_IN_PAGE);
        });
    }
    // The form target: sets the session cookie (and whatever else is given) and redirects to location.
    void acceptSignIn(const std::string& location, std::vector<std::string> extraCookies = {}) {
        server.on("POST", LOGIN_API, [=](const httplib::Request&, httplib::Response& response) {
            response.set_header("Set-Cookie", "halvo_session=s3cr3t; Path=/; Secure; HttpOnly; Max-Age=3600");
            for (const std::string& cookie : extraCookies)
                response.set_header("Set-Cookie", cookie);
            redirectTo(response, location);
        });
    }
    std::size_t requestCount() const { return server.requests().size(); }
};

// ---- Sign-up ----------------------------------------------------------------------------------------

TEST_F(HalvoIdClientTest, SignUpChecksRunInOrderWithoutAnyRequest) {
    auto halvo = client();
    EXPECT_EQ(halvo->registerAccount("x", "X", "x@example.org", "motdepasse-1", "motdepasse-2"),
              (Result{false, "Les mots de passe diffèrent."}));
    EXPECT_EQ(halvo->registerAccount("ab", "Ab", "a@example.org", "motdepasse", "motdepasse"),
              (Result{false, "Le pseudo doit contenir 3 à 24 caractères valides."}));
    EXPECT_EQ(halvo->registerAccount("", "Ab", "a@example.org", "motdepasse", "motdepasse"),
              (Result{false, "Le pseudo doit contenir 3 à 24 caractères valides."}));
    EXPECT_EQ(halvo->registerAccount("bad name", "B", "b@example.org", "motdepasse", "motdepasse"),
              (Result{false, "Le pseudo doit contenir 3 à 24 caractères valides."}));
    EXPECT_EQ(halvo->registerAccount(std::string(25, 'a'), "A", "a@example.org", "motdepasse", "motdepasse"),
              (Result{false, "Le pseudo doit contenir 3 à 24 caractères valides."}));
    EXPECT_EQ(halvo->registerAccount("tolin.ok_-9", "T", "t@example.org", "neufcarac", "neufcarac"),
              (Result{false, "Le mot de passe doit contenir au moins 10 caractères."}));
    // Nine characters, eleven bytes: characters count, not bytes.
    EXPECT_EQ(halvo->registerAccount("tolin", "T", "t@example.org", "éééabcdef", "éééabcdef"),
              (Result{false, "Le mot de passe doit contenir au moins 10 caractères."}));
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(HalvoIdClientTest, SignUpPostsEveryFieldAfterTheToken) {
    server.on("GET", REGISTER, [](const httplib::Request&, httplib::Response& response) {
        page(response, "<input type='hidden' NAME='csrf_token' value='t&k'>");
    });
    server.on("POST", REGISTER_API, [](const httplib::Request&, httplib::Response& response) {
        page(response, "<div class=\"alert alert-error\">\n   Ce pseudo   est\tdéjà pris.\n</div>");
    });
    const Result result = client()->registerAccount("nova", "Nova Étoile", "nova@example.org",
                                                    "correct horse", "correct horse");
    EXPECT_EQ(result, (Result{false, "Ce pseudo est déjà pris."}));
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].contentType, "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_EQ(seen[1].body,
              "csrf_token=t%26k&username=nova&display_name=Nova+%C3%89toile&email=nova%40example.org"
              "&password=correct+horse&password_confirm=correct+horse&terms=1");
}

// ---- Form submission -------------------------------------------------------------------------------

TEST_F(HalvoIdClientTest, UnavailablePageAndMissingTokenAreFailures) {
    server.on("GET", LOGIN, [](const httplib::Request&, httplib::Response& response) {
        page(response, "maintenance", 503);
    });
    EXPECT_EQ(test::failureMessage<common::IoFailure>([&] { client()->login("nova", "correct horse"); }),
              "HALVO ID indisponible (503).");

    server.on("GET", LOGIN, [](const httplib::Request&, httplib::Response& response) {
        page(response, "<form><input name=\"identifier\"></form>");
    });
    EXPECT_EQ(test::failureMessage<common::IoFailure>([&] { client()->login("nova", "correct horse"); }),
              "Jeton de sécurité HALVO ID introuvable.");
    for (const auto& seen : server.requests())
        EXPECT_EQ(seen.method, "GET");
}

TEST_F(HalvoIdClientTest, RedirectToTheServiceAfterWhichThePageRedirectsSignsIn) {
    serveSignInPage();
    acceptSignIn(server.origin() + "/halvoid/account.php");
    auto halvo = client();

    EXPECT_EQ(halvo->login("nova", "pa ss&wörd"), (Result{true, "Connexion HALVO ID établie."}));

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].body, "csrf_token=tok-123&identifier=nova&password=pa+ss%26w%C3%B6rd");
    EXPECT_EQ(seen[1].contentType, "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_EQ(seen[2].cookie, "halvo_session=s3cr3t");  // the probe carries the new session
    EXPECT_EQ(halvo->sessionCookieHeader(), "halvo_session=s3cr3t");
}

TEST_F(HalvoIdClientTest, RedirectElsewhereOrWithoutLocationIsAWrongPassword) {
    serveSignInPage();
    const std::string port = std::to_string(server.port());
    for (const std::string& location :
         std::vector<std::string>{"https://localhost:" + port + "/halvoid/account.php",
                                  "http://127.0.0.1:" + port + "/account.php", std::string()}) {
        SCOPED_TRACE(location);
        acceptSignIn(location);
        EXPECT_EQ(client()->login("nova", "correct horse"),
                  (Result{false, "Identifiant ou mot de passe incorrect."}));
    }
}

TEST_F(HalvoIdClientTest, RedirectWithoutASessionIsAWrongPassword) {
    serveSignInPage();
    server.on("POST", LOGIN_API, [](const httplib::Request&, httplib::Response& response) {
        redirectTo(response, "/halvoid/login.php?erreur=1");
    });
    EXPECT_EQ(client()->login("nova", "wrong"), (Result{false, "Identifiant ou mot de passe incorrect."}));
}

TEST_F(HalvoIdClientTest, AnswerWithoutRedirectGivesTheServiceText) {
    serveSignInPage();
    server.on("POST", LOGIN_API, [](const httplib::Request&, httplib::Response& response) {
        page(response, "<main><div class=\"alert-error\">Mot de passe invalide</div></main>");
    });
    EXPECT_EQ(client()->login("nova", "wrong"), (Result{false, "Mot de passe invalide"}));

    server.on("POST", LOGIN_API, [](const httplib::Request&, httplib::Response& response) {
        page(response, "<main><div class=\"notice\">Bienvenue</div></main>");
    });
    EXPECT_EQ(client()->login("nova", "wrong"), (Result{false, "Connexion HALVO ID refusée."}));
}

TEST_F(HalvoIdClientTest, APageThatRedirectsASignedInAccountAnswersConnected) {
    serveSignInPage();
    acceptSignIn(server.origin() + "/halvoid/account.php");
    auto halvo = client();
    ASSERT_TRUE(halvo->login("nova", "correct horse").ok);
    server.on("GET", REGISTER, [](const httplib::Request&, httplib::Response& response) {
        redirectTo(response, "/halvoid/account.php");
    });
    EXPECT_EQ(halvo->registerAccount("nova", "Nova", "n@example.org", "correct horse", "correct horse"),
              (Result{true, "Connecté."}));
}

// ---- Session probe ---------------------------------------------------------------------------------

TEST_F(HalvoIdClientTest, SessionProbeWithAnEmptyJarSendsNothing) {
    EXPECT_FALSE(client()->sessionValid());
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(HalvoIdClientTest, SessionProbeReadsTheSignedInMarkers) {
    serveSignInPage();
    acceptSignIn(server.origin() + "/halvoid/account.php");
    auto halvo = client();
    ASSERT_TRUE(halvo->login("nova", "correct horse").ok);
    server.on("GET", LOGIN, [](const httplib::Request&, httplib::Response& response) {
        page(response, "<a href=/out>DÉCONNEXION</a>");
    });
    EXPECT_TRUE(halvo->sessionValid());
    server.on("GET", LOGIN, [](const httplib::Request&, httplib::Response& response) {
        page(response, "<a href=/out>Logout</a>" + SIGN_IN_PAGE);  // a token means signed out
    });
    EXPECT_FALSE(halvo->sessionValid());
    server.on("GET", LOGIN,
              [](const httplib::Request&, httplib::Response& response) { page(response, "<p>Bonjour</p>"); });
    EXPECT_FALSE(halvo->sessionValid());
}

// ---- Cookie jar and session file -------------------------------------------------------------------

TEST_F(HalvoIdClientTest, SessionFileRoundTrip) {
    serveSignInPage();
    acceptSignIn(server.origin() + "/halvoid/account.php", {"pref=a b; Domain=127.0.0.1; Path=/halvoid"});
    {
        auto halvo = client();
        ASSERT_TRUE(halvo->login("nova", "correct horse").ok);
        halvo->persist();
    }
    const std::string text = test::readFile(sessionFile);
    EXPECT_EQ(text,
              "aGFsdm9fc2Vzc2lvbg\tczNjcjN0\tMTI3LjAuMC4x\tLw\t3600\ttrue\ttrue\n"
              "cHJlZg\tYSBi\tMTI3LjAuMC4x\tL2hhbHZvaWQ\t-1\tfalse\tfalse\n");
    EXPECT_EQ(fs::status(sessionFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    auto restored = client();
    EXPECT_EQ(restored->sessionCookieHeader(), "halvo_session=s3cr3t; pref=a b");
    EXPECT_TRUE(restored->sessionValid());
    restored->persist();
    EXPECT_EQ(test::readFile(sessionFile), text);
}

TEST_F(HalvoIdClientTest, SavingReplacesTheFileInsteadOfRewritingIt) {
    // A session file left readable by an older launcher, held open by someone else.
    test::writeFile(sessionFile, "b2xk\tMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n");
    fs::permissions(sessionFile, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    std::ifstream heldOpen(sessionFile, std::ios::binary);
    serveSignInPage();
    acceptSignIn(server.origin() + "/halvoid/account.php");
    auto halvo = client();
    ASSERT_TRUE(halvo->login("nova", "correct horse").ok);

    halvo->persist();

    const std::string seenThroughOldHandle{std::istreambuf_iterator<char>(heldOpen), {}};
    EXPECT_EQ(seenThroughOldHandle.find("czNjcjN0"), std::string::npos);  // the new session never reached it
    EXPECT_EQ(test::readFile(sessionFile),
              "aGFsdm9fc2Vzc2lvbg\tczNjcjN0\tMTI3LjAuMC4x\tLw\t3600\ttrue\ttrue\n");
    EXPECT_EQ(fs::status(sessionFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(test::listFiles(sessionFile.parent_path()), std::vector<std::string>{"account-session"});
}

TEST_F(HalvoIdClientTest, AnUntrustedLineIsSkippedBeforeItsMaxAgeIsRead) {
    test::writeFile(sessionFile,
                    "YQ\tMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n"
                    "Yg\tMg\tZWxzZXdoZXJlLmV4YW1wbGU\tLw\tsoon\tfalse\tfalse\n"  // foreign domain
                    "Yw\tMw\t\tLw\tsoon\tfalse\tfalse\n");                       // no domain
    auto halvo = client();
    EXPECT_EQ(halvo->sessionCookieHeader(), "a=1");
    EXPECT_TRUE(fs::exists(sessionFile));
}

TEST_F(HalvoIdClientTest, ALineWithSixFieldsIsSkipped) {
    test::writeFile(sessionFile,
                    "YQ\tMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\n"
                    "Yg\tMg\tMTI3LjAuMC4x\tLw\t-1\tTRUE\tfalse\n"
                    "Yw\tMw\tMTI3LjAuMC4x\t\t60\tfalse\tfalse\n");
    auto halvo = client();
    EXPECT_EQ(halvo->sessionCookieHeader(), "b=2; c=3");
    const auto cookies = halvo->cookies();
    ASSERT_EQ(cookies.size(), 2u);
    EXPECT_TRUE(cookies[0].secure);
    EXPECT_EQ(cookies[1].path, "/");
    EXPECT_EQ(cookies[1].maxAge, 60);
    EXPECT_TRUE(fs::exists(sessionFile));
}

TEST_F(HalvoIdClientTest, ADamagedFileIsDiscardedWhole) {
    for (const std::string& line :
         std::vector<std::string>{"Yg\tMg\tMTI3LjAuMC4x\tLw\tsoon\tfalse\tfalse\n",  // max-age not a number
                                  "Y+\tMg\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n",    // not URL-safe base64
                                  "JGI\tMg\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n",   // "$b": not a name
                                  // "x\r\nX-Injected: 1": a value that would add a line to the request head
                                  "Yg\teA0KWC1JbmplY3RlZDogMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n",
                                  std::string(1u << 20, '\n')}) {  // beyond any real jar
        SCOPED_TRACE(line.substr(0, 40));
        test::writeFile(sessionFile, "YQ\tMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n" + line);
        auto halvo = client();
        EXPECT_TRUE(halvo->cookies().empty());
        EXPECT_FALSE(fs::exists(sessionFile));
    }
}

TEST_F(HalvoIdClientTest, ASessionFileThatIsALinkIsNeitherFollowedNorRemoved) {
    const fs::path elsewhere = sessionFile.parent_path() / "moved-session";
    test::writeFile(elsewhere, "YQ\tMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n");
    fs::create_symlink(elsewhere, sessionFile);
    auto halvo = client();
    EXPECT_TRUE(halvo->cookies().empty());
    EXPECT_TRUE(fs::is_symlink(sessionFile));
    EXPECT_EQ(test::readFile(elsewhere), "YQ\tMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n");
}

TEST_F(HalvoIdClientTest, AForeignCookieIsNeverKeptSavedNorSent) {
    serveSignInPage();
    acceptSignIn(server.origin() + "/halvoid/account.php", {"tracker=1; Domain=elsewhere.example; Path=/"});
    // A foreign line in the file is not restored either.
    test::writeFile(sessionFile, "Zm9yZWlnbg\tMQ\tZWxzZXdoZXJlLmV4YW1wbGU\tLw\t-1\tfalse\tfalse\n");
    auto halvo = client();
    EXPECT_TRUE(halvo->cookies().empty());
    ASSERT_TRUE(halvo->login("nova", "correct horse").ok);
    halvo->persist();
    EXPECT_EQ(test::readFile(sessionFile).find("dHJhY2tlcg"), std::string::npos);
    EXPECT_EQ(halvo->sessionCookieHeader(), "halvo_session=s3cr3t");
    for (const auto& seen : server.requests())
        EXPECT_EQ(seen.cookie.find("tracker"), std::string::npos);
}

TEST_F(HalvoIdClientTest, ASessionCookieWithAFarExpirySignsIn) {
    serveSignInPage();
    for (const std::string lifetime :
         {"Expires=Fri, 31 Dec 9999 23:59:59 GMT", "Max-Age=9300000000", "Max-Age=99999999999999999999999"}) {
        SCOPED_TRACE(lifetime);
        server.on("POST", LOGIN_API, [&](const httplib::Request&, httplib::Response& response) {
            response.set_header("Set-Cookie", "halvo_session=s3cr3t; Path=/; Secure; " + lifetime);
            redirectTo(response, "/halvoid/account.php");
        });
        auto halvo = client();
        EXPECT_EQ(halvo->login("nova", "correct horse"), (Result{true, "Connexion HALVO ID établie."}));
        halvo->persist();
        EXPECT_EQ(client()->sessionCookieHeader(), "halvo_session=s3cr3t");
    }
}

TEST_F(HalvoIdClientTest, ExpiredCookiesAreDroppedAndSignInStartsAfresh) {
    serveSignInPage();
    acceptSignIn(server.origin() + "/halvoid/account.php", {"gone=1; Max-Age=0; Path=/"});
    test::writeFile(sessionFile, "b2xk\tMQ\tMTI3LjAuMC4x\tLw\t-1\tfalse\tfalse\n");
    auto halvo = client();
    ASSERT_EQ(halvo->sessionCookieHeader(), "old=1");
    ASSERT_TRUE(halvo->login("nova", "correct horse").ok);
    EXPECT_EQ(halvo->sessionCookieHeader(), "halvo_session=s3cr3t");  // "old" was dropped by the sign-in
    EXPECT_EQ(server.requests().front().cookie, "");

    halvo->logout();
    EXPECT_TRUE(halvo->cookies().empty());
    EXPECT_FALSE(fs::exists(sessionFile));
}

// ---- Static rules ----------------------------------------------------------------------------------

TEST_F(HalvoIdClientTest, TrustRulesFollowTheConfiguredService) {
    const HalvoIdClient halvo(sessionFile, HalvoIdSettings{.origin = "https://Halvo.example:8443/"});
    EXPECT_EQ(halvo.origin(), "https://Halvo.example:8443");
    EXPECT_TRUE(halvo.trustedDomain("halvo.example"));
    EXPECT_TRUE(halvo.trustedDomain(".HALVO.example"));
    EXPECT_FALSE(halvo.trustedDomain("id.halvo.example"));
    EXPECT_FALSE(halvo.trustedDomain(""));
    EXPECT_TRUE(halvo.trustedRedirect("HTTPS://www.halvo.example/compte"));
    EXPECT_TRUE(halvo.trustedRedirect("https://halvo.example:8443/"));
    EXPECT_FALSE(halvo.trustedRedirect("http://halvo.example/"));
    EXPECT_FALSE(halvo.trustedRedirect("https://id.halvo.example/"));
    EXPECT_FALSE(halvo.trustedRedirect("https://halvo.example.evil.example/"));
    EXPECT_FALSE(halvo.trustedRedirect("/relative"));
    EXPECT_TRUE(halvo.acceptedRedirect("https://halvo.example/", true));
    EXPECT_FALSE(halvo.acceptedRedirect("https://halvo.example/", false));
}

TEST_F(HalvoIdClientTest, FormAndMessageFollowTheirPatterns) {
    EXPECT_EQ(HalvoIdClient::form({{"a b", "x.y-z*_~"}, {"é", "1+1=2"}}), "a+b=x.y-z*_%7E&%C3%A9=1%2B1%3D2");
    EXPECT_EQ(HalvoIdClient::message("<P data-kind=\"ALERT\">  ok  </P>"), "ok");
    EXPECT_EQ(HalvoIdClient::message("<div class=error>ab</div><p class=error>\n\n  Trois  mots\nici</p>"),
              "Trois mots ici");
    EXPECT_EQ(HalvoIdClient::message("<span class=error>Rien</span>"), "");
    EXPECT_EQ(HalvoIdClient::message("<div class=alert>" + std::string(300, 'x')), std::string(240, 'x'));
    EXPECT_EQ(HalvoIdClient::message("<p <div class=alert>Texte</div>"), "Texte");
    // Pages of a megabyte of open tags, as large as an answer may be: read in one pass, not one per tag.
    std::string openTags;
    for (int i = 0; i < 500'000; ++i)
        openTags += "<p";
    EXPECT_EQ(HalvoIdClient::message(openTags), "");
    EXPECT_EQ(HalvoIdClient::message(openTags + ">"), "");
    EXPECT_EQ(HalvoIdClient::csrfToken("<input name='CSRF_TOKEN'\tvalue=\"abc\">"), "abc");
    EXPECT_EQ(HalvoIdClient::csrfToken("<input name='csrf_token' value=''>"), "");
}

}  // namespace
}  // namespace orlex::accounts
