#include "launcher/entry.h"

#include <QCoreApplication>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "common/failure.h"
#include "common/program_path.h"
#include "common/properties.h"
#include "common/text.h"
#include "discord/presence.h"
#include "launcher/archive.h"
#include "launcher/launcher.h"
#include "launcher/launcher_log.h"

namespace orlex::launcher {
namespace {

// A mode that exists in the launcher but not yet in this build.
class ModeUnavailable : public std::runtime_error {
public:
    explicit ModeUnavailable(const std::string& mode)
        : std::runtime_error("Cette version du lanceur n’a pas encore le mode " + mode) {}
};

constexpr const char* HANDSHAKE_VARIABLE = "ORLEX_LAUNCHER_HANDSHAKE";
constexpr const char* DEFAULT_SCREENSHOT = "/tmp/orlex-launcher.png";

constexpr const char* COMMANDS[] = {"--apply-self", "--plan", "--install", "--repair",
                                    "--verify",     "--play", "--builder"};

// The failure and its nested causes, one message per line; the chain is cut at 16 levels.
std::string describe(std::exception_ptr failure) {
    std::string text;
    for (const std::string& message : common::failureMessages(failure, 16))
        text += (text.empty() ? "" : "Cause : ") + message + "\n";
    return text;
}

// Writes whole lines to one stream from any thread.
class Lines {
public:
    explicit Lines(std::ostream& out) : out_(out) {}
    void print(const std::string& line) {
        std::lock_guard lock(mutex_);
        out_ << line << '\n';
        out_.flush();
    }

private:
    std::mutex mutex_;
    std::ostream& out_;
};

// The resources of the launcher archive as text, for the presence's "/discord.properties".
discord::ResourceReader archiveText(const LauncherArchive& archive) {
    return [archive](std::string_view name) -> std::optional<std::string> {
        const std::optional<Bytes> bytes = archive.resource(name);
        if (!bytes)
            return std::nullopt;
        return std::string(bytes->begin(), bytes->end());
    };
}

void runCommands(const std::set<std::string>& flags, Launcher& launcher, Lines& lines) {
    update::Patcher& patcher = launcher.installation().engine();
    patcher.onProgress([&lines](const update::Progress& progress) {
        lines.print(progress.phase + " " + std::to_string(progress.completed) + "/" +
                    std::to_string(progress.total));
    });
    if (flags.contains("--plan") || flags.contains("--install") || flags.contains("--repair")) {
        const update::Signed remote = patcher.remote();
        const update::Plan plan = patcher.plan(remote);
        lines.print("PLAN files=" + std::to_string(plan.files) + " bytes=" + std::to_string(plan.bytes) +
                    " version=" + plan.release.manifest.version);
        if (!flags.contains("--plan"))
            patcher.install(plan);
    }
    if (flags.contains("--verify"))
        lines.print("VERIFIED " + patcher.verifiedRelease().string());
    if (flags.contains("--play")) {
        if (const int code = launcher.launch().play(flags.contains("--smoke")); code != 0)
            throw common::IoFailure("Le client a quitté avec le code " + std::to_string(code));
    }
    if (flags.contains("--builder")) {
        if (const int code = launcher.launch().openBuilder(); code != 0)
            throw common::IoFailure("World Builder interrompu : " + std::to_string(code));
    }
}

// The start confirmation: this process's id in decimal, without a line end, to the file that
// ORLEX_LAUNCHER_HANDSHAKE names (created or emptied first); nothing when it is not set.
void confirmStart() {
    const char* handshake = std::getenv(HANDSHAKE_VARIABLE);
    if (!handshake || !*handshake)
        return;
    std::ofstream file(handshake, std::ios::binary | std::ios::trunc);
    file << QCoreApplication::applicationPid();
    file.close();
    if (!file)
        throw common::IoFailure(std::string("Confirmation de démarrage impossible : ") + handshake);
}

int run(const std::vector<std::string>& args, std::ostream& out, const UserInterface& ui) {
    const std::set<std::string> flags(args.begin(), args.end());
    const LauncherConfig config = configure(args);
    const LauncherArchive archive(config.archive);
    // The windows' body face is read from the process's archive (ui/typography.cpp).
    useArchive(config.archive);
    const std::filesystem::path& root = config.root;
    bool commandMode = false;
    for (const char* command : COMMANDS)
        commandMode = commandMode || flags.contains(command);

    // Disabled in command and apply-self modes; live otherwise, its notices going to the root's launcher
    // log. The launcher owns it: it is closed, and its worker joined, when run() returns (the end of main).
    discord::DiscordRichPresence presence =
        commandMode ? discord::DiscordRichPresence::disabled()
                    : discord::DiscordRichPresence::create(
                          config.discordApplicationId,
                          [root](const std::string& notice) { appendLauncherLog(root, notice); },
                          archiveText(archive), config.presence);
    Launcher launcher(config, releaseKey(archive), std::move(presence));
    launcher.presence().launcher();

    if (flags.contains("--apply-self")) {
        const std::string waitPid = arg(args, "--wait-pid", "0");
        const std::optional<std::int64_t> pid = common::parseInteger(waitPid);
        if (!pid)
            throw common::FormatFailure("Numéro de processus invalide : " + waitPid);
        launcher.selfUpdate().applySelf(*pid);
        return 0;
    }
    if (commandMode) {
        Lines lines(out);
        const auto commands = [&] {
            runCommands(flags, launcher, lines);
            return 0;
        };
        // The intro and its holding screen need the main thread as the UI thread; the commands move off it.
        if (flags.contains("--play") && !flags.contains("--smoke") && ui.intro)
            return ui.intro(launcher, commands);
        return commands();
    }
    if (!flags.contains("--managed") && !flags.contains("--ui-smoke")) {
        launcher.selfUpdate().applySelf(0);
        return 0;
    }
    if (!ui.windows)
        throw ModeUnavailable(flags.contains("--ui-smoke") ? "--ui-smoke" : "--managed");
    const WindowStart start{.selfCheck = flags.contains("--ui-smoke"),
                            .screenshot = arg(args, "--screenshot", DEFAULT_SCREENSHOT),
                            .windowShown = confirmStart,
                            .out = &out};
    return ui.windows(launcher, start);
}

}  // namespace

std::optional<std::string> arg(const std::vector<std::string>& args, std::string_view flag) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == flag)
            return args[i + 1];
    }
    return std::nullopt;
}

std::string arg(const std::vector<std::string>& args, std::string_view flag, std::string fallback) {
    return arg(args, flag).value_or(std::move(fallback));
}

std::vector<std::string> takeProperties(const std::vector<std::string>& arguments) {
    std::size_t first = 0;
    for (; first < arguments.size() && arguments[first].starts_with("-D"); ++first) {
        const std::string definition = arguments[first].substr(2);
        const std::size_t equals = definition.find('=');
        const std::string name = definition.substr(0, equals);
        if (name.empty())
            throw common::FormatFailure("Propriété sans nom : " + arguments[first]);
        common::setProperty(name, equals == std::string::npos ? "" : definition.substr(equals + 1));
    }
    return std::vector<std::string>(arguments.begin() + static_cast<std::ptrdiff_t>(first), arguments.end());
}

std::vector<std::string> withEnvironmentOptions(const std::vector<std::string>& arguments) {
    std::vector<std::string> all;
    if (const char* options = std::getenv(OPTIONS_VARIABLE)) {
        std::istringstream words(options);
        for (std::string word; words >> word;) {
            if (!word.starts_with("-D"))
                throw common::FormatFailure(std::string("Option invalide dans ") + OPTIONS_VARIABLE + " : " +
                                            word);
            all.push_back(std::move(word));
        }
    }
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
}

LauncherConfig configure(const std::vector<std::string>& arguments) {
    LauncherConfig config;
    const std::optional<std::string> archive = arg(arguments, "--archive");
    config.archive = archive ? std::filesystem::path(*archive) : defaultArchivePath();
    const std::optional<std::string> root = arg(arguments, "--root");
    config.root = root ? std::filesystem::path(*root) : defaultRoot();
    config.channel =
        arg(arguments, "--channel", common::property(CHANNEL_PROPERTY).value_or(DEFAULT_CHANNEL));
    config.discordApplicationId = common::property(DISCORD_APPLICATION_ID_PROPERTY).value_or("");

    net::TrustConfig trust;
    if (const std::optional<std::string> store = common::property(TRUST_STORE_PROPERTY);
        store && !store->empty())
        trust = {*store, common::property(TRUST_STORE_PASSWORD_PROPERTY)};
    config.engine.transport.trust = trust;
    config.engine.transport.downloadTimeout =
        update::parseDownloadTimeout(common::property(DOWNLOAD_TIMEOUT_PROPERTY));
    config.account.origin = common::property(HALVO_ORIGIN_PROPERTY).value_or(accounts::DEFAULT_HALVO_ORIGIN);
    config.account.trust = trust;
    config.gameSession.endpoint =
        common::property(GAME_SESSION_PROPERTY).value_or(accounts::DEFAULT_GAME_SESSION);
    config.gameSession.trust = trust;
    for (const char* name : {TRUST_STORE_PROPERTY, TRUST_STORE_PASSWORD_PROPERTY, SCREENSHOTS_PROPERTY}) {
        if (const std::optional<std::string> value = common::property(name))
            config.gameProperties.emplace_back(name, *value);
    }
    for (const char* name :
         {TRUST_STORE_PROPERTY, TRUST_STORE_PASSWORD_PROPERTY, HALVO_ORIGIN_PROPERTY, GAME_SESSION_PROPERTY,
          DOWNLOAD_TIMEOUT_PROPERTY, DISCORD_APPLICATION_ID_PROPERTY}) {
        if (const std::optional<std::string> value = common::property(name))
            config.launcherProperties.emplace_back(name, *value);
    }
    config.program = common::programPath();
    return config;
}

int launcherMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                 const UserInterface& ui) {
    try {
        return run(takeProperties(withEnvironmentOptions(arguments)), out, ui);
    } catch (...) {
        err << describe(std::current_exception());
        err.flush();
        return 1;
    }
}

}  // namespace orlex::launcher
