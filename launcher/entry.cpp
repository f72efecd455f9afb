#include "launcher/entry.h"

#include <QCoreApplication>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <span>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/host.h"
#include "common/program_path.h"
#include "common/properties.h"
#include "common/terminal.h"
#include "common/terminal_progress.h"
#include "common/text.h"
#include "common/thread_name.h"
#include "common/utf8.h"
#include "common/uuid.h"
#include "discord/presence.h"
#include "launcher/archive.h"
#include "launcher/launcher.h"
#include "launcher/launcher_log.h"
#include "launcher/progress_text.h"

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

// Writes whole lines to one stream from any thread. Buffered, the lines printed go out together, in one
// write, at least every 100 ms (from the "orlex-output" thread), at flush() and when Lines ends; else
// each line goes out at once.
class Lines {
public:
    Lines(std::ostream& out, bool buffered) : out_(out), buffered_(buffered) {
        if (buffered_)
            flusher_ = std::jthread([this](std::stop_token stop) { flushEvery(stop); });
    }
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;
    // Also on the way out of a failure: its text, on the other stream, comes after these lines.
    ~Lines() {
        if (flusher_.joinable()) {
            flusher_.request_stop();
            flusher_.join();
        }
        flush();
    }

    void print(const std::string& line) {
        if (!buffered_) {
            const std::lock_guard writing(writing_);
            out_ << line << '\n';
            out_.flush();
            return;
        }
        const std::lock_guard lock(mutex_);
        pending_ += line;
        pending_ += '\n';
    }

    void flush() {
        const std::lock_guard writing(writing_);
        std::string text;
        {
            const std::lock_guard lock(mutex_);
            text.swap(pending_);
        }
        if (!text.empty())
            out_.write(text.data(), static_cast<std::streamsize>(text.size()));
        out_.flush();
    }

private:
    static constexpr std::chrono::milliseconds FLUSH_EVERY{100};

    void flushEvery(std::stop_token stop) {
        common::nameCurrentThread("orlex-output");
        while (!stop.stop_requested()) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait_for(lock, stop, FLUSH_EVERY, [] { return false; });
            }
            flush();
        }
    }

    std::ostream& out_;
    const bool buffered_;
    std::mutex writing_;  // held while text goes to out_, so that writes keep the order of their lines
    std::mutex mutex_;    // guards pending_
    std::string pending_;
    std::condition_variable_any wake_;
    std::jthread flusher_;  // last: stopped and joined before the state above goes
};

// What a terminal's live line shows of an engine event: the window's status for the phase, and the file
// the phase names ("<path>" while it downloads, "Préparation · <path>" while it is placed).
common::ProgressFigures figuresOf(const update::Progress& progress) {
    constexpr std::string_view PREPARING = "Préparation · ";
    std::string file;
    if (progress.phase.starts_with(PREPARING))
        file = progress.phase.substr(PREPARING.size());
    else if (progress.phase != "Prêt")
        file = progress.phase;
    return {progressStatus(progress.phase), std::move(file), progress.completed, progress.total};
}

// The resources of the launcher archive as text, for the presence's "/discord.properties".
discord::ResourceReader archiveText(const LauncherArchive& archive) {
    return [archive](std::string_view name) -> std::optional<std::string> {
        const std::optional<Bytes> bytes = archive.resource(name);
        if (!bytes)
            return std::nullopt;
        return std::string(bytes->begin(), bytes->end());
    };
}

// live: the terminal's live line when standard output is a terminal; the progress events go there
// instead of to lines.
void runCommands(const std::set<std::string>& flags, Launcher& launcher, Lines& lines,
                 common::TerminalProgress* live) {
    update::Patcher& patcher = launcher.installation().engine();
    patcher.onProgress([&lines, live](const update::Progress& progress) {
        if (live)
            live->show(figuresOf(progress));
        else
            lines.print(progress.phase + " " + std::to_string(progress.completed) + "/" +
                        std::to_string(progress.total));
    });
    if (flags.contains("--plan") || flags.contains("--install") || flags.contains("--repair")) {
        const update::Signed remote = patcher.remote();
        const update::Plan plan = patcher.plan(remote);
        lines.print("PLAN files=" + std::to_string(plan.files) + " bytes=" + std::to_string(plan.fetchBytes) +
                    " version=" + plan.release.manifest.version);
        if (!flags.contains("--plan"))
            patcher.install(plan);
        if (live)
            live->finish();
    }
    if (flags.contains("--verify")) {
        // The engine reports nothing while it verifies: the line names the phase until it is over.
        if (live)
            live->show({"Vérification…", "", 0, -1});
        const std::filesystem::path verified = patcher.verifiedRelease();
        if (live)
            live->finish();
        lines.print("VERIFIED " + verified.string());
    }
    // The game and the builder write to the same output: what was printed goes out before they start.
    lines.flush();
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
// ORLEX_LAUNCHER_HANDSHAKE names; nothing when it is not set. The process waiting for it takes the file's
// mere existence for a confirmed start, so the file appears whole, by a rename, or not at all.
void confirmStart() {
    const std::optional<std::string> handshake = common::environmentValue(HANDSHAKE_VARIABLE);
    if (!handshake || handshake->empty())
        return;
    const std::filesystem::path confirmation = common::pathFromUtf8(*handshake);
    std::filesystem::path written = confirmation;
    written += ".tmp-" + common::randomUuid();
    const std::string pid = std::to_string(QCoreApplication::applicationPid());
    try {
        common::writeNewFile(written,
                             std::span(reinterpret_cast<const std::uint8_t*>(pid.data()), pid.size()), {});
        common::replaceFile(written, confirmation);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(written, ignored);
        common::raiseWithCause(common::IoFailure("Confirmation de démarrage impossible : " + *handshake),
                               std::current_exception());
    }
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
        // A terminal gets a live line while the engine works; anything else gets every event as a line.
        const std::optional<common::TerminalOutput> terminal =
            &out == &std::cout ? common::terminalOutput() : std::nullopt;
        std::optional<common::TerminalProgress> live;
        if (terminal &&
            (flags.contains("--install") || flags.contains("--repair") || flags.contains("--verify")))
            live.emplace(out, terminal->columns);
        Lines lines(out, !terminal);
        const auto commands = [&] {
            runCommands(flags, launcher, lines, live ? &*live : nullptr);
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
                            .screenshot = common::pathFromUtf8(arg(args, "--screenshot", DEFAULT_SCREENSHOT)),
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
    if (const std::optional<std::string> options = common::environmentValue(OPTIONS_VARIABLE)) {
        std::istringstream words(*options);
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
    config.archive = archive ? common::pathFromUtf8(*archive) : defaultArchivePath();
    const std::optional<std::string> root = arg(arguments, "--root");
    config.root = root ? common::pathFromUtf8(*root) : defaultRoot();
    config.channel =
        arg(arguments, "--channel", common::property(CHANNEL_PROPERTY).value_or(DEFAULT_CHANNEL));
    config.discordApplicationId = common::property(DISCORD_APPLICATION_ID_PROPERTY).value_or("");

    net::TrustConfig trust;
    if (const std::optional<std::string> store = common::property(TRUST_STORE_PROPERTY);
        store && !store->empty())
        trust = {common::pathFromUtf8(*store), common::property(TRUST_STORE_PASSWORD_PROPERTY)};
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
