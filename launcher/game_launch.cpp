#include "launcher/game_launch.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <system_error>
#include <typeinfo>

#include "accounts/editor_session_broker.h"
#include "accounts/game_session.h"
#include "common/failure.h"
#include "common/process.h"
#include "common/text.h"
#include "common/type_name.h"
#include "common/utf8.h"
#include "common/uuid.h"
#include "discord/presence.h"
#include "launcher/account_session.h"
#include "launcher/game_installation.h"
#include "launcher/operation_runner.h"

namespace orlex::launcher {
namespace fs = std::filesystem;
namespace {

constexpr const char* UPDATE_REQUESTED = "Mise à jour demandée · fermer le WorldBuilder s’il est ouvert…";
constexpr const char* APPLYING_UPDATE = "Application de la mise à jour…";
constexpr const char* NO_BUILDER_RIGHT = "Ce compte ne dispose pas du droit World Builder.";
constexpr const char* INTRO_UNREADABLE = "Impossible de lire l’intro Velkor Games";

// A failure's kind and message ("orlex::common::IoFailure: Intro sans images"), as the log records
// what stopped the intro.
std::string kindAndMessage(const std::exception_ptr& failure) {
    std::string kind = "unknown";
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        kind = common::typeName(typeid(e));
    } catch (...) {
    }
    return kind + ": " + common::failureMessages(failure, 1).front();
}

// The variables the launcher hands its children. Whichever a start does not set is removed from what
// the child inherits, so a value the launcher itself was started with never passes for this run's.
constexpr const char* PLAYER_NAME = "ORLEX_PLAYER_NAME";
constexpr const char* GAME_TOKEN = "ORLEX_GAME_TOKEN";
constexpr const char* REALTIME_URL = "ORLEX_REALTIME_URL";
constexpr const char* WORLD_PUBLISH_URL = "ORLEX_WORLD_PUBLISH_URL";
constexpr const char* SESSION_URL = "ORLEX_BUILDER_SESSION_URL";
constexpr const char* SESSION_KEY = "ORLEX_BUILDER_SESSION_KEY";
constexpr const char* CLIENT_READY = "ORLEX_CLIENT_READY";
constexpr const char* UPDATE_RETURN = "ORLEX_UPDATE_RETURN";
constexpr const char* PERMISSIONS = "ORLEX_BUILDER_PERMISSIONS";
// Passed on to the game as the launcher has them; never to the builder.
constexpr const char* DESKTOP_API = "ORLEX_DESKTOP_API";
constexpr const char* DESKTOP_TEST_TOKEN = "ORLEX_DESKTOP_TEST_TOKEN";

bool blank(const std::string& text) {
    return common::trimmed(text).empty();
}

// One start's environment edits: each variable set, or removed when the start has no value for it.
class Environment {
public:
    void set(const char* name, std::optional<std::string> value) {
        edits_.push_back({name, std::move(value)});
    }
    std::vector<common::EnvironmentEdit> edits() && { return std::move(edits_); }

private:
    std::vector<common::EnvironmentEdit> edits_;
};

// A marker the child signals with: present once it is a regular file (a link is not followed).
bool signalled(const fs::path& marker) {
    std::error_code error;
    return fs::is_regular_file(fs::symlink_status(marker, error));
}

// What ends every game run from the lock on, however it ends.
class RunCleanup {
public:
    RunCleanup(std::shared_ptr<IntroScreen> intro, std::vector<fs::path> markers,
               discord::DiscordRichPresence& presence)
        : intro_(std::move(intro)), markers_(std::move(markers)), presence_(presence) {}
    RunCleanup(const RunCleanup&) = delete;
    RunCleanup& operator=(const RunCleanup&) = delete;
    ~RunCleanup() {
        if (intro_)
            intro_->closeHeld();
        for (const fs::path& marker : markers_) {
            std::error_code ignored;  // a marker the game never made, or one it made undeletable
            fs::remove(marker, ignored);
        }
        presence_.launcher();
    }

private:
    std::shared_ptr<IntroScreen> intro_;
    std::vector<fs::path> markers_;
    discord::DiscordRichPresence& presence_;
};

std::string joined(const std::set<std::string>& roles) {
    std::string text;
    for (const std::string& role : roles)
        text += (text.empty() ? "" : ",") + role;
    return text;
}

// The grant and the broker as both children get them: token and realtime address only together, the
// world publishing address only for the builder, the broker's address and key when this run has one.
void setSessionVariables(Environment& environment, const std::string& token, const std::string& realtime,
                         bool publish, const accounts::EditorSessionBroker* broker) {
    const bool granted = !blank(token) && !blank(realtime);
    environment.set(GAME_TOKEN, granted ? std::optional(token) : std::nullopt);
    environment.set(REALTIME_URL, granted ? std::optional(realtime) : std::nullopt);
    environment.set(WORLD_PUBLISH_URL,
                    granted && publish ? std::optional(accounts::publishAddress(realtime)) : std::nullopt);
    environment.set(SESSION_URL, broker ? std::optional(broker->url()) : std::nullopt);
    environment.set(SESSION_KEY, broker ? std::optional(broker->key()) : std::nullopt);
}

}  // namespace

GameLaunch::GameLaunch(const LauncherConfig& config, OperationRunner& runner, GameInstallation& installation,
                       AccountSession& session, discord::DiscordRichPresence& presence)
    : root_(config.root),
      platform_(config.platform),
      gameProperties_(config.gameProperties),
      runner_(runner),
      installation_(installation),
      session_(session),
      presence_(presence) {}

int GameLaunch::play(bool smoke) {
    runner_.setOperationStep("game_session");
    if (session_.signedIn())
        renewGrant();
    const fs::path updateReturn = userdata() / ("update-return-" + common::randomUuid());
    const fs::path clientReady = userdata() / ("client-ready-" + common::randomUuid());

    int code = 0;
    {
        const update::Lock lock = installation_.engine().lock();
        const std::shared_ptr<IntroScreen> intro = intro_.load();
        const RunCleanup cleanup(intro, {updateReturn, clientReady}, presence_);
        std::unique_ptr<accounts::EditorSessionBroker> broker;
        if (common::equalsIgnoringCase(session_.identity(), accounts::BUILDER_ACCOUNT) &&
            session_.gameRoles().contains(accounts::ROLE_BUILDER_OPEN))
            broker = std::make_unique<accounts::EditorSessionBroker>(session_.builderSessionProvider());

        runner_.setOperationStep("installation_verify");
        const fs::path release = installation_.engine().verifiedRelease();

        if (!smoke) {
            runner_.setOperationStep("intro_video");
            std::exception_ptr failure =
                intro ? intro->playHeld(release / INTRO_FILM)
                      : std::make_exception_ptr(common::IoFailure("Aucun écran pour l’intro"));
            if (failure) {
                runner_.log("Intro : " + kindAndMessage(failure));
                common::raiseWithCause(common::IoFailure(INTRO_UNREADABLE), failure);
            }
        }

        common::ProcessSpec spec{.program = runtimeProgram(release), .workingDirectory = release};
        if (platform_.starts_with("macos"))
            spec.arguments.push_back("-XstartOnFirstThread");
        spec.arguments.push_back("--enable-native-access=ALL-UNNAMED");
        for (const auto& [name, value] : gameProperties_)
            spec.arguments.push_back("-D" + name + "=" + value);
        spec.arguments.push_back("-Dorlex.userdata=" + common::utf8Of(userdata()));
        spec.arguments.push_back("-cp");
        spec.arguments.push_back(classpath(release / "app", platform_.starts_with("windows")));
        spec.arguments.push_back(GAME_MAIN);
        if (smoke)
            spec.arguments.push_back("--smoke");

        Environment environment;
        const std::string identity = session_.identity();
        environment.set(PLAYER_NAME, blank(identity) ? std::nullopt : std::optional(identity));
        setSessionVariables(environment, session_.gameToken(), session_.realtimeUrl(), false, broker.get());
        environment.set(CLIENT_READY, common::utf8Of(clientReady));
        environment.set(UPDATE_RETURN, common::utf8Of(updateReturn));
        environment.set(PERMISSIONS, std::nullopt);
        spec.environment = std::move(environment).edits();
        fs::create_directories(userdata());
        spec.outputFile = userdata() / "client.log";

        runner_.setOperationStep("client_start");
        common::ChildProcess game = common::ChildProcess::start(spec);
        runner_.setOperationStep("client_wait");
        bool ready = false, updateRequested = false;
        for (;;) {
            if (const std::optional<int> exit = game.waitFor(POLL)) {
                code = *exit;
                break;
            }
            if (!ready && signalled(clientReady)) {
                ready = true;
                if (intro)
                    intro->closeHeld();
            }
            if (!updateRequested && signalled(updateReturn)) {
                updateRequested = true;
                foregroundForUpdate();
                runner_.status(UPDATE_REQUESTED);
            }
        }
        if (broker)
            broker->close();
    }
    if (code != UPDATE_REQUEST)
        return code;
    installRequestedUpdate();
    return 0;
}

int GameLaunch::openBuilder() {
    runner_.setOperationStep("builder_session");
    const bool signedIn = session_.signedIn();
    if (signedIn) {
        renewGrant();
        if (!session_.gameRoles().contains(accounts::ROLE_BUILDER_OPEN))
            throw common::SecurityFailure(NO_BUILDER_RIGHT);
    }
    const update::Lock lock = installation_.engine().lock();
    std::unique_ptr<accounts::EditorSessionBroker> broker;
    if (signedIn)
        broker = std::make_unique<accounts::EditorSessionBroker>(session_.builderSessionProvider());

    runner_.setOperationStep("installation_verify");
    const fs::path release = installation_.engine().verifiedRelease();
    const std::set<std::string> roles = session_.gameRoles();
    const fs::path workspace = fs::absolute(
        userdata() / (roles.contains(accounts::ROLE_BUILDER_USE) ? "world-builder" : "world-builder-viewer"));
    fs::create_directories(workspace);

    common::ProcessSpec spec{.program = runtimeProgram(release), .workingDirectory = release};
    spec.arguments = {"--enable-native-access=ALL-UNNAMED",
                      "-Dorlex.userdata=" + common::utf8Of(userdata()),
                      "-cp",
                      classpath(release / "app", platform_.starts_with("windows")),
                      BUILDER_MAIN,
                      "--workspace",
                      common::utf8Of(workspace)};
    Environment environment;
    environment.set(PLAYER_NAME, std::nullopt);
    setSessionVariables(environment, session_.gameToken(), session_.realtimeUrl(), true, broker.get());
    environment.set(CLIENT_READY, std::nullopt);
    environment.set(UPDATE_RETURN, std::nullopt);
    environment.set(PERMISSIONS, joined(roles));
    environment.set(DESKTOP_API, std::nullopt);
    environment.set(DESKTOP_TEST_TOKEN, std::nullopt);
    spec.environment = std::move(environment).edits();
    spec.outputFile = userdata() / "builder.log";

    common::ChildProcess builder = common::ChildProcess::start(spec);
    std::optional<int> code;
    while (!code)
        code = builder.waitFor(POLL);
    if (broker)
        broker->close();
    return *code;
}

std::string GameLaunch::classpath(const fs::path& app, bool windows) {
    std::vector<fs::path> archives;
    std::error_code error;
    for (fs::directory_iterator it(app, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const bool jar = name.size() >= 4 &&
                         common::equalsIgnoringCase(std::string_view(name).substr(name.size() - 4), ".jar");
        std::error_code typeError;
        if (jar && it->is_regular_file(typeError))
            archives.push_back(it->path());
    }
    if (error)
        throw common::IoFailure("Lecture impossible : " + app.string() + " (" + error.message() + ")");
    if (archives.empty())
        throw common::IoFailure("Aucun fichier JAR client dans " + app.string());
    std::sort(archives.begin(), archives.end(), [](const fs::path& a, const fs::path& b) {
        const std::string x = a.filename().string(), y = b.filename().string();
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), [](char p, char q) {
            return std::tolower(static_cast<unsigned char>(p)) < std::tolower(static_cast<unsigned char>(q));
        });
    });
    std::string text;
    for (const fs::path& archive : archives)
        text += (text.empty() ? "" : (windows ? ";" : ":")) + common::utf8Of(archive);
    return text;
}

void GameLaunch::foregroundForUpdate() {
    runner_.post([](LauncherView& view) { view.bringToFront(); });
}

fs::path GameLaunch::runtimeProgram(const fs::path& release) const {
    return release / "runtime" / "bin" / (platform_.starts_with("windows") ? "java.exe" : "java");
}

void GameLaunch::renewGrant() {
    session_.keepGrant(session_.exchangeGameToken());
}

void GameLaunch::installRequestedUpdate() {
    foregroundForUpdate();
    runner_.status(APPLYING_UPDATE);
    installation_.installGame();
    update::Patcher& launcher = installation_.launcherEngine();
    const update::Plan plan = launcher.plan(launcher.remote());
    if (GameInstallation::needsUpdate(launcher, plan))
        runner_.post([plan](LauncherView& view) { view.showLauncherUpdate(plan); });
}

}  // namespace orlex::launcher
