// The game and the world builder started from an installed release whose runtime program is the fake
// game (tools/fake_game.cpp): what they receive, what the launcher does while they run and after.
#include "launcher/game_launch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <sstream>

#include "accounts/game_session.h"
#include "common/failure.h"
#include "launcher/tests/launcher_fixture.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/test_ca.h"
#include "tests/support/test_channel.h"
#include "tools/fake_services.h"

namespace orlex::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What the fake game wrote with its "record" instruction: each kind of line, in order.
struct Record {
    explicit Record(const fs::path& file) {
        std::istringstream lines(readFile(file));
        for (std::string line; std::getline(lines, line);) {
            const std::size_t space = line.find(' ');
            values[line.substr(0, space)].push_back(line.substr(space + 1));
        }
    }
    std::vector<std::string> operator[](const std::string& kind) const {
        const auto found = values.find(kind);
        return found == values.end() ? std::vector<std::string>{} : found->second;
    }
    // The value of an ORLEX_ variable, nullopt when the child did not have it.
    std::optional<std::string> env(const std::string& name) const {
        for (const std::string& entry : (*this)["env"])
            if (entry.starts_with(name + "="))
                return entry.substr(name.size() + 1);
        return std::nullopt;
    }
    std::map<std::string, std::vector<std::string>> values;
};

// The intro of a window, without the window: what it was asked, and a failure to report when told.
class RecordingIntro : public launcher::IntroScreen {
public:
    std::exception_ptr playHeld(const fs::path& film) override {
        std::lock_guard lock(mutex);
        played.push_back(film);
        return failure;
    }
    void closeHeld() override {
        std::lock_guard lock(mutex);
        ++closed;
    }
    std::mutex mutex;
    std::vector<fs::path> played;
    int closed = 0;
    std::exception_ptr failure;
};

// An installed release whose runtime program is the fake game, on a local channel, with the local
// account service; the fake game follows the script the test writes.
class GameRun : public LauncherFixture {
protected:
    TempDir certificates;
    TestCa ca{certificates / "ca"};
    tools::FakeServices services{ca.serverCertificate().string(), ca.serverKey().string()};
    TestChannel channel;
    fs::path scriptFile = certificates / "script";
    fs::path recordFile = certificates / "record";
    std::shared_ptr<RecordingIntro> intro = std::make_shared<RecordingIntro>();

    TestChannel::Files release(const std::string& version) {
        return {{"app/b.JAR", "b " + version},
                {"app/A.jar", "a " + version},
                {"app/notes.txt", "not a class archive"},
                {"assets/velkor-games-logo.mp4", "film"},
                {"+x runtime/bin/java", readFile(builtProgram("orlex-fake-game"))}};
    }

    void SetUp() override {
        services.addAccount({"tolin", "pass-tolin", {"worldbuilder.open", "worldbuilder.use"}});
        services.addAccount({"nova", "pass-nova", {"worldbuilder.open", "worldbuilder.use"}});
        services.addAccount({"pix", "pass-pix", {}});
        channel.publishUnder("client/", release("1"), 1, "client");
        launcher::LauncherConfig config = fastConfig(channel.url("client/"));
        config.engine = channel.engineSettings();
        config.account = {.origin = services.origin(), .trust = {ca.caPem()}};
        config.gameSession = {.endpoint = services.gameSession(), .trust = {ca.caPem()}};
        make(config, channel.publicKey());
        update::Patcher& engine = launcher->installation().engine();
        engine.install(engine.plan(engine.remote()));
        launch().attachIntro(intro);
        ::setenv("ORLEX_FAKE_GAME_SCRIPT", scriptFile.c_str(), 1);
        ::setenv("ORLEX_DESKTOP_API", "https://desktop.example", 1);
    }
    void TearDown() override {
        ::unsetenv("ORLEX_FAKE_GAME_SCRIPT");
        ::unsetenv("ORLEX_DESKTOP_API");
        LauncherFixture::TearDown();
    }

    launcher::GameLaunch& launch() { return launcher->launch(); }
    fs::path releaseDir() { return launcher->installation().engine().verifiedRelease(); }
    fs::path userdata() const { return root / "userdata"; }
    void script(const std::string& text) { writeFile(scriptFile, text); }

    void signIn(const std::string& name) {
        view->loginIdentifier = name;
        view->loginPassword = "pass-" + name;
        view->onUi([&] { launcher->session().submitLogin(); });
        view->waitFor("card connected");
        view->waitIdle();
        view->clear();
    }
    void signOut() {
        view->onUi([&] { launcher->session().logoutHalvo(); });
    }
    // Files of userdata whose name starts with prefix.
    std::size_t userdataFiles(const std::string& prefix) const {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(userdata()))
            count += entry.path().filename().string().starts_with(prefix);
        return count;
    }
};

TEST_F(GameRun, NobodySignedInStartsBothProgramsWithoutSessionDataAndOnlyTheirStandardStreams) {
    script("print first run\nrecord " + recordFile.string() + "\n");
    EXPECT_EQ(launch().play(true), 0);
    const fs::path release = releaseDir();
    {
        const Record game(recordFile);
        EXPECT_EQ(game["argv"],
                  (std::vector<std::string>{
                      (release / "runtime/bin/java").string(), "--enable-native-access=ALL-UNNAMED",
                      "-Dorlex.userdata=" + userdata().string(), "-cp",
                      (release / "app/A.jar").string() + ":" + (release / "app/b.JAR").string(),
                      "com.orlex.client.Desktop", "--smoke"}));
        EXPECT_EQ(game["cwd"], std::vector<std::string>{release.string()});
        EXPECT_EQ(game["fd"], std::vector<std::string>{})
            << "the lock, the log, sockets stay with the launcher";
        for (const char* absent : {"ORLEX_PLAYER_NAME", "ORLEX_GAME_TOKEN", "ORLEX_REALTIME_URL",
                                   "ORLEX_BUILDER_SESSION_URL", "ORLEX_BUILDER_SESSION_KEY"})
            EXPECT_FALSE(game.env(absent)) << absent;
        EXPECT_TRUE(game.env("ORLEX_CLIENT_READY")->starts_with((userdata() / "client-ready-").string()));
        EXPECT_TRUE(game.env("ORLEX_UPDATE_RETURN")->starts_with((userdata() / "update-return-").string()));
        EXPECT_EQ(game.env("ORLEX_DESKTOP_API"), "https://desktop.example");
    }
    EXPECT_EQ(intro->played.size(), 0u) << "a smoke start has no intro";

    // The log holds the latest run only.
    script("print second run\n");
    EXPECT_EQ(launch().play(true), 0);
    const std::string log = readFile(userdata() / "client.log");
    EXPECT_EQ(log.find("first run"), std::string::npos);
    EXPECT_NE(log.find("second run"), std::string::npos);

    script("record " + recordFile.string() + "\n");
    EXPECT_EQ(launch().openBuilder(), 0);
    const Record builder(recordFile);
    const fs::path viewer = userdata() / "world-builder-viewer";
    EXPECT_EQ(builder["argv"],
              (std::vector<std::string>{
                  (release / "runtime/bin/java").string(), "--enable-native-access=ALL-UNNAMED",
                  "-Dorlex.userdata=" + userdata().string(), "-cp",
                  (release / "app/A.jar").string() + ":" + (release / "app/b.JAR").string(),
                  "com.orlex.builder.WorldBuilder", "--workspace", viewer.string()}));
    EXPECT_TRUE(fs::is_directory(viewer));
    EXPECT_EQ(builder.env("ORLEX_BUILDER_PERMISSIONS"), "");
    for (const char* absent : {"ORLEX_GAME_TOKEN", "ORLEX_BUILDER_SESSION_URL", "ORLEX_DESKTOP_API",
                               "ORLEX_CLIENT_READY", "ORLEX_UPDATE_RETURN"})
        EXPECT_FALSE(builder.env(absent)) << absent;
    EXPECT_TRUE(fs::exists(userdata() / "builder.log"));
    EXPECT_EQ(userdataFiles("client-ready-") + userdataFiles("update-return-"), 0u);
}

TEST_F(GameRun, TheGrantTravelsInTheEnvironmentOnlyAndOnlyTolinGetsABrokerForTheGame) {
    const fs::path answer = certificates / "answer";
    signIn("tolin");
    script("record " + recordFile.string() + "\nbroker " + answer.string() + "\n");
    EXPECT_EQ(launch().play(true), 0);
    {
        const Record game(recordFile);
        EXPECT_EQ(game.env("ORLEX_PLAYER_NAME"), "tolin");
        const std::string token = game.env("ORLEX_GAME_TOKEN").value_or("");
        ASSERT_FALSE(token.empty());
        for (const std::string& word : game["argv"])
            EXPECT_EQ(word.find(token), std::string::npos)
                << "the command line is readable by any local user";
        EXPECT_TRUE(game.env("ORLEX_BUILDER_SESSION_KEY"));
        EXPECT_EQ(game["fd"], std::vector<std::string>{}) << "the broker's socket stays with the launcher";
        EXPECT_TRUE(readFile(answer).starts_with("status 200\n")) << readFile(answer);
    }

    script("record " + recordFile.string() + "\n");
    EXPECT_EQ(launch().openBuilder(), 0);
    {
        const Record builder(recordFile);
        const std::string realtime = builder.env("ORLEX_REALTIME_URL").value_or("");
        EXPECT_EQ(builder.env("ORLEX_WORLD_PUBLISH_URL"), accounts::publishAddress(realtime));
        EXPECT_EQ(builder["argv"].back(), (userdata() / "world-builder").string());
        const std::string permissions = builder.env("ORLEX_BUILDER_PERMISSIONS").value_or("");
        EXPECT_NE(permissions.find("worldbuilder.open"), std::string::npos);
        EXPECT_NE(permissions.find("worldbuilder.use"), std::string::npos);
        EXPECT_TRUE(builder.env("ORLEX_BUILDER_SESSION_URL"));
        EXPECT_FALSE(builder.env("ORLEX_PLAYER_NAME"));
    }

    // Another player with the same roles: no broker for the game, one for the builder.
    signOut();
    signIn("nova");
    EXPECT_EQ(launch().play(true), 0);
    EXPECT_FALSE(Record(recordFile).env("ORLEX_BUILDER_SESSION_URL"));

    // A player without the builder right starts nothing.
    signOut();
    signIn("pix");
    fs::remove(recordFile);
    EXPECT_EQ(failureMessage<common::SecurityFailure>([&] { (void)launch().openBuilder(); }),
              "Ce compte ne dispose pas du droit World Builder.");
    EXPECT_FALSE(fs::exists(recordFile));
}

TEST_F(GameRun, TheIntroHoldsUntilTheGameIsReadyAndAnUpdateRequestRaisesTheWindowOnce) {
    script(
        "touch-env ORLEX_UPDATE_RETURN\nsleep 250\ntouch-env ORLEX_UPDATE_RETURN\nsleep 250\n"
        "touch-env ORLEX_CLIENT_READY\nsleep 250\nrecord " +
        recordFile.string() + "\nsleep 150\n");
    EXPECT_EQ(launch().play(false), 0);
    view->waitIdle();
    EXPECT_EQ(intro->played, std::vector<fs::path>{releaseDir() / "assets/velkor-games-logo.mp4"});
    EXPECT_EQ(view->occurrences("front"), 1u);
    EXPECT_EQ(view->occurrences("status Mise à jour demandée · fermer le WorldBuilder s’il est ouvert…"), 1u);
    EXPECT_EQ(intro->closed, 2) << "once at the client-ready marker, once at the end";
    EXPECT_EQ(Record(recordFile)["arg"], std::vector<std::string>{}) << "no --smoke after an intro";
    EXPECT_EQ(userdataFiles("client-ready-") + userdataFiles("update-return-"), 0u);

    intro->failure = std::make_exception_ptr(common::IoFailure("Intro sans images"));
    fs::remove(recordFile);
    script("record " + recordFile.string() + "\n");
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { (void)launch().play(false); }),
              "Impossible de lire l’intro Velkor Games");
    EXPECT_EQ(logReports("Intro : orlex::common::IoFailure: Intro sans images"), 1u);
    EXPECT_FALSE(fs::exists(recordFile)) << "the game does not start without its intro";
}

TEST_F(GameRun, TheLockIsHeldForTheWholeRunAndExitCode42InstallsTheNewRelease) {
    script("record " + recordFile.string() + "\nsleep 1500\nexit 42\n");
    channel.publishUnder("launcher/", {{"app/launcher.zip", "launcher"}}, 1, "launcher");
    std::future<int> run = std::async(std::launch::async, [&] { return launch().play(true); });
    view->waitUntil([&] { return fs::exists(recordFile); });
    const std::unique_ptr<update::Patcher> other = channel.engineUnder("client/", root.path(), "client");
    const std::string published = channel.publishUnder("client/", release("2"), 2, "client");
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { (void)other->plan(other->remote()); }),
              "Installation déjà utilisée");

    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(other->installed()->id, published);
    view->waitIdle();
    EXPECT_EQ(view->occurrences("status Application de la mise à jour…"), 1u);
    EXPECT_EQ(view->occurrences("launcherUpdate " + view->last("launcherUpdate")), 1u)
        << "the launcher's own update is offered";
}

}  // namespace
}  // namespace orlex::test
