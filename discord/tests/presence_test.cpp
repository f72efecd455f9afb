#include "discord/presence.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "discord/local_ipc.h"
#include "discord/tests/fake_discord.h"
#include "tests/support/temp_dir.h"

namespace orlex::discord {
namespace {

using orlex::test::TempDir;
using test::FakeDiscord;
using test::Notices;
using test::PeerConnection;

constexpr const char* ID = "123456789012345678";
constexpr PresenceTiming FAST{std::chrono::milliseconds(1), std::chrono::milliseconds(30000)};

// The exact SET_ACTIVITY body for this process, with the nonce the message carried.
std::string expectedActivity(const std::string& details, const std::string& state, const std::string& body) {
    static const std::regex NONCE(
        R"re("nonce":"([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})"\}$)re");
    std::smatch match;
    const std::string nonce = std::regex_search(body, match, NONCE) ? match[1].str() : "<no v4 nonce>";
    return setActivityMessage(details, state, processId(), started(), nonce);
}

// A presence connected to a fake Discord in a temporary directory, handshake done.
class Connected : public ::testing::Test {
protected:
    void SetUp() override {
        presence = DiscordRichPresence(ID, test::socketsIn(dir.path()), notices.logger(), FAST);
        peer = discord.accept();
        ASSERT_NE(peer, nullptr);
        peer->handshake();
        notices.waitFor("Discord Rich Presence · connecté à Discord");
    }

    // Reads the next SET_ACTIVITY, answers it and returns its body.
    std::string published() {
        const Frame frame = peer->readFrame();
        EXPECT_EQ(frame.opcode, FRAME);
        peer->replyActivity();
        return frame.body;
    }

    TempDir dir;
    FakeDiscord discord{dir / "discord-ipc-0"};
    Notices notices;
    DiscordRichPresence presence = DiscordRichPresence::disabled();
    std::unique_ptr<PeerConnection> peer;
};

TEST(Presence, AnIdOutsideFifteenToTwentyFourDigitsDisablesEverything) {
    int opened = 0;
    for (const char* id :
         {"12345678901234", "1234567890123456789012345", "12345678901234a", "", " 123456789012345"}) {
        DiscordRichPresence presence(
            id, [&](const IpcWake&, std::chrono::milliseconds) -> std::shared_ptr<Connection> {
                ++opened;
                throw common::IoFailure("never");
            });
        EXPECT_FALSE(presence.enabled()) << id;
        presence.launcher();
        presence.close();
    }
    EXPECT_EQ(opened, 0);
    const Connector refusing = [](const IpcWake&, std::chrono::milliseconds) -> std::shared_ptr<Connection> {
        throw common::IoFailure("absent");
    };
    EXPECT_TRUE(DiscordRichPresence("123456789012345", refusing).enabled());
    EXPECT_TRUE(DiscordRichPresence("123456789012345678901234", refusing).enabled());
    EXPECT_FALSE(DiscordRichPresence::disabled().enabled());
}

TEST_F(Connected, HandshakesThenPublishesTheLauncherActivityWithExactBytes) {
    presence.launcher();
    const std::string body = published();
    EXPECT_EQ(body, expectedActivity("Dans le launcher", "Prépare son aventure", body));
    EXPECT_TRUE(notices.waitFor(
        "Discord Rich Presence · activité publiée : Dans le launcher — Prépare son aventure"));
}

TEST_F(Connected, ForcedPostsRepeatAndUnforcedEqualOnesDoNot) {
    presence.launcher();
    published();
    presence.launcher();
    EXPECT_EQ(peer->readFrame().body.find("Dans le launcher") != std::string::npos, true);
    peer->replyActivity();

    presence.online("Aldric", "Forêt  d'Ambre", "Kerval-1");
    std::string body = published();
    EXPECT_EQ(body, expectedActivity("En ligne · Aldric", "Forêt d'Ambre (Kerval-1)", body));
    presence.online(" Aldric\n", "Forêt d'Ambre", "Kerval-1");  // same once cleaned: ignored
    presence.selectingServer("");
    body = published();
    EXPECT_EQ(body, expectedActivity("Choisit un serveur", "Kerval", body));
}

TEST_F(Connected, CleansTextsBeforePublishing) {
    presence.set({std::string(100, 'd'), "\x01\t \x1f  "}, false);
    std::string body = published();
    EXPECT_EQ(body, expectedActivity(std::string(95, 'd') + "…", "Kerval", body));
    presence.online("", std::string(80, 'z'), " ");
    body = published();
    EXPECT_EQ(body, expectedActivity("En ligne · Voyageur", std::string(71, 'z') + "… (Kerval)", body));
    presence.set({"", ""}, false);
    body = published();
    EXPECT_EQ(body, expectedActivity("ORLEX Tessaline", "Kerval", body));
}

TEST(PresenceWorker, OnlyTheLatestOfSeveralPostsIsSent) {
    TempDir dir;
    FakeDiscord discord(dir / "discord-ipc-0");
    DiscordRichPresence presence(ID, test::socketsIn(dir.path()), {}, FAST);
    const auto peer = discord.accept();
    ASSERT_NE(peer, nullptr);
    peer->readFrame();  // the worker now waits for the handshake reply
    presence.selectingServer("Premier");
    presence.selectingServer("Second");
    peer->replyReady();
    std::string body = peer->readFrame().body;
    peer->replyActivity();
    EXPECT_EQ(body, expectedActivity("Choisit un serveur", "Second", body));
    presence.selectingServer("Troisième");
    body = peer->readFrame().body;
    EXPECT_EQ(body, expectedActivity("Choisit un serveur", "Troisième", body));
}

TEST(PresenceWorker, AnErrorReplyIsNoticedAndTheWorkerConnectsAgain) {
    TempDir dir;
    FakeDiscord discord(dir / "discord-ipc-0");
    Notices notices;
    DiscordRichPresence presence(ID, test::socketsIn(dir.path()), notices.logger(), FAST);
    auto peer = discord.accept();
    ASSERT_NE(peer, nullptr);
    peer->readFrame();
    peer->reply(R"({"cmd":"DISPATCH","evt":"ERROR","data":{"code":4000,"message":"Invalid Client ID"}})");
    EXPECT_TRUE(
        notices.waitFor("Discord Rich Presence · connexion impossible : orlex::common::IoFailure · "
                        "Discord refuse la commande [4000] Invalid Client ID"));
    EXPECT_TRUE(peer->waitForClientClose());

    peer = discord.accept();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->readFrame().opcode, HANDSHAKE);
}

TEST(PresenceWorker, AnOversizedReplyDropsTheConnectionWithoutReadingItsBody) {
    TempDir dir;
    FakeDiscord discord(dir / "discord-ipc-0");
    Notices notices;
    DiscordRichPresence presence(ID, test::socketsIn(dir.path()), notices.logger(), FAST);
    auto peer = discord.accept();
    ASSERT_NE(peer, nullptr);
    peer->readFrame();
    // Only the header: a client waiting for the announced body would never close.
    peer->writeRaw(std::string("\1\0\0\0\x01\0\x10\0", 8));
    EXPECT_TRUE(peer->waitForClientClose());
    EXPECT_TRUE(
        notices.waitFor("Discord Rich Presence · connexion impossible : orlex::common::IoFailure · "
                        "Réponse Discord IPC invalide"));
}

TEST(PresenceWorker, AfterDiscordRestartsTheCurrentActivityIsSentAgainWithoutANewPost) {
    TempDir dir;
    Notices notices;
    DiscordRichPresence presence(ID, test::socketsIn(dir.path()), notices.logger(), FAST);
    {
        FakeDiscord discord(dir / "discord-ipc-0");
        const auto peer = discord.accept();
        ASSERT_NE(peer, nullptr);
        peer->handshake();
        presence.launcher();
        peer->readFrame();  // Discord goes away before answering
    }
    EXPECT_TRUE(
        notices.waitFor("Discord Rich Presence · connexion impossible : orlex::common::IoFailure · "
                        "Discord IPC fermé"));
    FakeDiscord restarted(dir / "discord-ipc-0");
    const auto peer = restarted.accept();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->handshake().opcode, HANDSHAKE);
    const std::string body = peer->readFrame().body;
    EXPECT_EQ(body, expectedActivity("Dans le launcher", "Prépare son aventure", body));
}

TEST(PresenceWorker, RepeatedIdenticalFailuresGiveOneNotice) {
    TempDir dir;
    Notices notices;
    test::CountingConnector connector(test::socketsIn(dir.path()));
    DiscordRichPresence presence(ID, connector.connector(), notices.logger(), FAST);
    connector.waitForCalls(5);
    presence.close();
    const std::vector<std::string> lines = notices.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Discord Rich Presence · connexion impossible : orlex::common::IoFailure · " +
                            (dir / "discord-ipc-0").string() + " : No such file or directory");
}

TEST(PresenceWorker, ALoggerThatThrowsIsIgnored) {
    TempDir dir;
    FakeDiscord discord(dir / "discord-ipc-0");
    DiscordRichPresence presence(
        ID, test::socketsIn(dir.path()), [](const std::string&) { throw std::runtime_error("log full"); },
        FAST);
    const auto peer = discord.accept();
    ASSERT_NE(peer, nullptr);
    peer->handshake();
    presence.launcher();
    EXPECT_EQ(peer->readFrame().opcode, FRAME);
}

TEST_F(Connected, CloseSendsTheCloseFrameAndEndsTheConnectionOnce) {
    presence.launcher();
    published();
    notices.waitFor("Discord Rich Presence · activité publiée : Dans le launcher — Prépare son aventure");
    presence.close();
    const Frame frame = peer->readFrame();
    EXPECT_EQ(frame.opcode, CLOSE);
    EXPECT_EQ(frame.body, "{}");
    EXPECT_TRUE(peer->waitForClientClose());
    presence.close();
    presence.launcher();  // closed: nothing more
}

TEST(PresenceWorker, CloseDuringAnExchangeEndsTheWorkerWithoutANotice) {
    TempDir dir;
    FakeDiscord discord(dir / "discord-ipc-0");
    Notices notices;
    auto presence =
        std::make_unique<DiscordRichPresence>(ID, test::socketsIn(dir.path()), notices.logger(), FAST);
    const auto peer = discord.accept();
    ASSERT_NE(peer, nullptr);
    peer->readFrame();  // the worker is blocked reading the handshake reply
    presence->close();
    EXPECT_TRUE(peer->waitForClientClose());
    presence.reset();  // joins the worker
    EXPECT_TRUE(notices.lines().empty());
}

TEST(PresenceWorker, ClosingEndsTheWorkerWhileItsConnectWaitsOnADiscordThatNeverAccepts) {
    TempDir dir;
    auto stalled = std::make_unique<test::StalledDiscord>(dir / "discord-ipc-0");
    PresenceTiming patient = FAST;
    patient.connect = std::chrono::hours(1);  // only closing can end this connect
    test::CountingConnector connector(test::socketsIn(dir.path()));
    auto presence = std::make_unique<DiscordRichPresence>(ID, connector.connector(), Logger{}, patient);
    connector.waitForCalls(1);
    // As at the launcher's exit: close(), then the end of the presence, which joins its worker.
    auto ending = std::async(std::launch::async, [&] {
        presence->close();
        presence.reset();
    });
    if (ending.wait_for(test::HANG_GUARD) != std::future_status::ready) {
        ADD_FAILURE() << "the presence waited for the connect to end";
        stalled.reset();  // Discord goes away: the connect fails and the test can end
    }
}

// Sets an environment variable for one scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            previous_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedVariable() {
        if (previous_)
            ::setenv(name_, previous_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

TEST(PresenceCreate, TakesTheConfiguredIdThenTheEnvironmentThenTheArchiveFile) {
    TempDir dir;
    ScopedVariable runtime("XDG_RUNTIME_DIR", dir.path().c_str());  // no Discord there: nothing connects
    const ResourceReader archive = [](std::string_view name) -> std::optional<std::string> {
        if (name == "/discord.properties")
            return "# presence\napplicationId = 333333333333333\n";
        return std::nullopt;
    };
    {
        ScopedVariable variable(APPLICATION_ID_VARIABLE, "222222222222222");
        EXPECT_EQ(DiscordRichPresence::create(" 111111111111111 ", {}, archive).applicationId(),
                  "111111111111111");
    }
    {
        ScopedVariable variable(APPLICATION_ID_VARIABLE, "222222222222222 ");
        EXPECT_EQ(DiscordRichPresence::create(" \t ", {}, archive).applicationId(), "222222222222222");
    }
    {
        ScopedVariable variable(APPLICATION_ID_VARIABLE, "  ");
        const DiscordRichPresence presence = DiscordRichPresence::create("", {}, archive);
        EXPECT_EQ(presence.applicationId(), "333333333333333");
        EXPECT_TRUE(presence.enabled());
    }
    {
        ScopedVariable variable(APPLICATION_ID_VARIABLE, nullptr);
        EXPECT_EQ(DiscordRichPresence::create("", {},
                                              [](std::string_view) -> std::optional<std::string> {
                                                  throw common::IoFailure("archive illisible");
                                              })
                      .applicationId(),
                  "");
        EXPECT_FALSE(
            DiscordRichPresence::create("", {}, [](std::string_view) { return std::nullopt; }).enabled());
        EXPECT_FALSE(DiscordRichPresence::create("").enabled());
    }
}

// A launcher starting with an application id configured shows "Dans le launcher" to the Discord
// listening at $XDG_RUNTIME_DIR/discord-ipc-0, through the platform connector.
TEST(PresenceCreate, ALauncherWithAnIdPublishesDansLeLauncherToTheRuntimeDirectorySocket) {
    TempDir dir;
    ScopedVariable runtime("XDG_RUNTIME_DIR", dir.path().c_str());
    ScopedVariable variable(APPLICATION_ID_VARIABLE, nullptr);
    FakeDiscord discord(dir / "discord-ipc-0");
    Notices notices;

    DiscordRichPresence presence = DiscordRichPresence::create(ID, notices.logger());
    presence.launcher();

    const auto peer = discord.accept();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->handshake().body, R"({"v":1,"client_id":"123456789012345678"})");
    const std::string body = peer->readFrame().body;
    peer->replyActivity();
    EXPECT_EQ(body, expectedActivity("Dans le launcher", "Prépare son aventure", body));
    EXPECT_TRUE(notices.waitFor(
        "Discord Rich Presence · activité publiée : Dans le launcher — Prépare son aventure"));
}

}  // namespace
}  // namespace orlex::discord
