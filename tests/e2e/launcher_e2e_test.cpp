// The real programs together: orlex-publish writes a channel with the build's development key pair,
// nginx serves it over HTTPS on 127.0.0.1 with a CA made for the run (tools/serve-channel), and
// orlex-launcher, finding the build's launcher archive beside it, plans, installs and verifies from it;
// orlex-bootstrap, the installer for Linux, sets a player up from its payloads and starts that launcher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/uuid.h"
#include "common/zip_reader.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "update/digest.h"
#include "update/platform.h"

namespace orlex::test {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const fs::path SERVE_CHANNEL = fs::path(ORLEX_SOURCE_DIR) / "tools" / "serve-channel";

// Whether this process can take the lock that the installer holds while it runs (then let go at once).
bool installerLockFree(const fs::path& lockFile) {
    const int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const bool taken = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        close(fd);
    return taken;
}

std::size_t countLines(const std::string& text, const std::string& part) {
    std::istringstream lines(text);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
}

class LauncherEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ORLEX_DEV_ARCHIVE)
            GTEST_SKIP() << "the launcher archive carries a configured release key, not the development one";
        // No preference store of the user is ever read or written by these runs.
        setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);

        writeFile(payload_ / "app/client.txt", "ORLEX Tessaline\n");
        writeFile(payload_ / "app/lib/game.bin", randomBytes(2'000'000, 7));
        writeFile(payload_ / "assets/intro.bin", randomBytes(30'000, 8));
        writeFile(payload_ / "runtime/bin/java", "#!/bin/sh\necho runtime\n");
        fs::permissions(payload_ / "runtime/bin/java", fs::perms::owner_exec, fs::perm_options::add);
        const ProcessResult published = runProcess(
            builtProgram("orlex-publish"), {"publish", payload_.string(), channel_.string(),
                                            (fs::path(ORLEX_DEV_KEYS_DIR) / "release-private.der").string(),
                                            "client", "2.0.0-e2e", "1", update::platform()});
        ASSERT_EQ(published.status, 0) << published.err;

        // The server's root holds the game channel "client/" and, beside it, the launcher's "launcher/".
        const ProcessResult started =
            runProcess(SERVE_CHANNEL, {"start", channel_.parent_path().string(), state_.string()});
        serving_ = true;
        ASSERT_EQ(started.status, 0) << started.err;
        url_ = started.out.substr(0, started.out.find('\n')) + "client/";
        ASSERT_TRUE(url_.starts_with("https://127.0.0.1:")) << started.out;
    }

    void TearDown() override {
        if (serving_)
            runProcess(SERVE_CHANNEL, {"stop", state_.string()});
        std::error_code ignored;
        fs::remove_all(state_, ignored);
    }

    ProcessResult launcher(const Args& args) {
        Args all{"-Djavax.net.ssl.trustStore=" + (state_ / "ca.pem").string()};
        all.insert(all.end(), args.begin(), args.end());
        return runProcess(builtProgram("orlex-launcher"), all);
    }
    ProcessResult launcherOn(const Args& args) {
        Args all{"--root", root_.string(), "--channel", url_};
        all.insert(all.end(), args.begin(), args.end());
        return launcher(all);
    }

    // nginx's access log once every request made so far is in it: the single worker logs a request
    // before it turns to the next, so a marker request of ours, once logged, comes after all of them.
    std::string accessLog() {
        const std::string marker = "e2e-marker-" + common::randomUuid();
        runProcess("curl",
                   {"-s", "-o", "/dev/null", "--cacert", (state_ / "ca.pem").string(), url_ + marker});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::string log;
        while ((log = readFile(state_ / "logs/access.log")).find(marker) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_NE(log.find(marker), std::string::npos) << "marker request never logged";
        return log;
    }

    std::string installedId() { return readFile(root_ / "current"); }

    // A launcher release of this build on the launcher channel: its archive and program (whose window
    // confirms its start without a display on Qt's offscreen platform).
    void publishLauncherRelease() {
        const fs::path program = builtProgram("orlex-launcher");
        const fs::path release = dir_ / "launcher-payload";
        fs::create_directories(release / "app");
        fs::create_directories(release / "runtime/bin");
        fs::copy_file(program.parent_path().parent_path() / "app/launcher.zip", release / "app/launcher.zip");
        fs::copy_file(program, release / "runtime/bin/orlex-launcher");
        const ProcessResult published = runProcess(
            builtProgram("orlex-publish"), {"publish", release.string(), launcherChannel_.string(),
                                            (fs::path(ORLEX_DEV_KEYS_DIR) / "release-private.der").string(),
                                            "launcher", "0.3.0-e2e", "1", update::platform()});
        ASSERT_EQ(published.status, 0) << published.err;
    }

    // The process ids of the launchers that confirmed their start under root, oldest first.
    static std::vector<pid_t> confirmedLaunchers(const fs::path& root) {
        std::vector<std::pair<fs::file_time_type, pid_t>> found;
        for (const auto& entry : fs::directory_iterator(root / "userdata"))
            if (entry.path().filename().string().starts_with("launcher-ready-"))
                found.emplace_back(entry.last_write_time(), std::stoi(readFile(entry.path())));
        std::sort(found.begin(), found.end());
        std::vector<pid_t> pids;
        for (const auto& [time, pid] : found)
            pids.push_back(pid);
        return pids;
    }

    TempDir dir_;
    fs::path payload_ = dir_ / "payload";
    fs::path channel_ = dir_ / "channel/client";
    fs::path launcherChannel_ = dir_ / "channel/launcher";
    fs::path root_ = dir_ / "Orlex Tessaline";
    fs::path state_ = fs::path(ORLEX_E2E_SERVERS) / common::randomUuid();
    bool serving_ = false;
    std::string url_;
};

TEST_F(LauncherEndToEnd, PlansInstallsAndVerifiesThePublishedRelease) {
    const ProcessResult planned =
        launcher({"-Dorlex.channel=" + url_, "--root", root_.string(), "--plan", "--install"});
    ASSERT_EQ(planned.status, 0) << planned.err;
    EXPECT_EQ(planned.out, "PLAN files=4 bytes=2030039 version=2.0.0-e2e\n");
    EXPECT_FALSE(fs::exists(root_ / "current"));

    const ProcessResult installed = launcherOn({"--install"});
    ASSERT_EQ(installed.status, 0) << installed.err;
    EXPECT_TRUE(installed.out.starts_with("PLAN files=4 bytes=2030039 version=2.0.0-e2e\n")) << installed.out;
    EXPECT_TRUE(installed.out.ends_with("\nPrêt 2030039/2030039\n")) << installed.out;
    // Every line after the plan is one progress event of the whole installation.
    EXPECT_EQ(countLines(installed.out, "/2030039"), countLines(installed.out, "") - 1) << installed.out;

    const ProcessResult verified = launcherOn({"--verify"});
    ASSERT_EQ(verified.status, 0) << verified.err;
    ASSERT_TRUE(verified.out.starts_with("VERIFIED ")) << verified.out;
    const fs::path release = verified.out.substr(9, verified.out.size() - 10);
    EXPECT_EQ(release.parent_path().filename(), "releases");
    EXPECT_TRUE(fs::equivalent(release.parent_path().parent_path(), root_));
    for (const std::string& file : listFiles(payload_))
        EXPECT_EQ(readFile(release / file), readFile(payload_ / file)) << file;
    EXPECT_NE(fs::status(release / "runtime/bin/java").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_EQ(verified.err, "");
}

TEST_F(LauncherEndToEnd, ASecondInstallFetchesNothing) {
    ASSERT_EQ(launcherOn({"--install"}).status, 0);
    const std::size_t blobs = countLines(accessLog(), "GET /client/blobs/");
    EXPECT_EQ(blobs, 4u);

    const ProcessResult again = launcherOn({"--install"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(again.out.starts_with("PLAN files=0 bytes=0 version=2.0.0-e2e\n")) << again.out;
    EXPECT_EQ(countLines(again.out, "app/"), 0u) << again.out;
    EXPECT_EQ(countLines(accessLog(), "GET /client/blobs/"), blobs);
}

TEST_F(LauncherEndToEnd, AChannelWithoutItsTrailingSlashStopsBeforeAnyRequest) {
    const std::size_t before = countLines(accessLog(), "GET /");
    std::string unslashed = url_;
    unslashed.pop_back();

    const ProcessResult run = launcher({"--root", root_.string(), "--channel", unslashed, "--install"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "URL de canal invalide\n");
    EXPECT_EQ(run.out, "");
    // Only the marker request of accessLog() itself was added.
    EXPECT_EQ(countLines(accessLog(), "GET /"), before + 1);
}

TEST_F(LauncherEndToEnd, ATamperedCurrentJsonInstallsNothing) {
    std::string envelope = readFile(channel_ / "current.json");
    const std::size_t signature = envelope.find("\"signature\":\"");
    ASSERT_NE(signature, std::string::npos) << envelope;
    char& first = envelope[signature + 13];
    first = first == 'A' ? 'B' : 'A';
    writeFile(channel_ / "current.json", envelope);

    const ProcessResult run = launcherOn({"--install"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err, "");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists(root_ / "current"));
    EXPECT_TRUE(!fs::exists(root_ / "releases") || fs::is_empty(root_ / "releases"));
    EXPECT_FALSE(fs::exists(root_ / "userdata"));
    EXPECT_EQ(countLines(accessLog(), "GET /client/blobs/"), 0u);
}

TEST_F(LauncherEndToEnd, StartsTheGameAndTheBuilderFromTheCommandLine) {
    // A release whose runtime program is the fake game, which follows the script named in its
    // environment (the launcher passes its own on).
    writeFile(payload_ / "app/game.jar", "classes");
    fs::copy_file(builtProgram("orlex-fake-game"), payload_ / "runtime/bin/java",
                  fs::copy_options::overwrite_existing);
    const ProcessResult published = runProcess(
        builtProgram("orlex-publish"), {"publish", payload_.string(), channel_.string(),
                                        (fs::path(ORLEX_DEV_KEYS_DIR) / "release-private.der").string(),
                                        "client", "2.1.0-e2e", "2", update::platform()});
    ASSERT_EQ(published.status, 0) << published.err;
    ASSERT_EQ(launcherOn({"--install"}).status, 0);
    const fs::path script = dir_ / "script", record = dir_ / "record";
    setenv("ORLEX_FAKE_GAME_SCRIPT", script.c_str(), 1);

    writeFile(script, "record " + record.string() + "\n");
    const ProcessResult played = launcherOn({"--play", "--smoke"});
    EXPECT_EQ(played.status, 0) << played.err;
    const std::string game = readFile(record);
    EXPECT_NE(game.find("argv -Djavax.net.ssl.trustStore=" + (state_ / "ca.pem").string() + "\n"),
              std::string::npos)
        << game;
    EXPECT_NE(game.find("arg --smoke\n"), std::string::npos) << game;
    EXPECT_NE(readFile(root_ / "userdata/client.log").find("fake game: com.orlex.client.Desktop --smoke"),
              std::string::npos);

    writeFile(script, "exit 3\n");
    const ProcessResult failed = launcherOn({"--play", "--smoke"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "Le client a quitté avec le code 3\n");

    writeFile(script, "print building\n");
    const ProcessResult built = launcherOn({"--builder"});
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_NE(readFile(root_ / "userdata/builder.log")
                  .find("fake game: com.orlex.builder.WorldBuilder --workspace"),
              std::string::npos);
    unsetenv("ORLEX_FAKE_GAME_SCRIPT");
}

TEST_F(LauncherEndToEnd, APlainStartInstallsTheLauncherReleaseAndHandsOverToIt) {
    const fs::path program = builtProgram("orlex-launcher");
    ASSERT_NO_FATAL_FAILURE(publishLauncherRelease());
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // As a shortcut starts it: no mode. Its output goes to files: the new launcher shares it and lives on.
    const fs::path out = dir_ / "out", err = dir_ / "err";
    const ProcessResult run = runProcess(
        "/bin/sh", {"-c", "exec \"$0\" \"$@\" >\"" + out.string() + "\" 2>\"" + err.string() + "\"",
                    program.string(), "-Djavax.net.ssl.trustStore=" + (state_ / "ca.pem").string(), "--root",
                    root_.string(), "--channel", url_});
    unsetenv("QT_QPA_PLATFORM");
    EXPECT_EQ(run.status, 0) << readFile(err);

    const std::vector<pid_t> confirmed = confirmedLaunchers(root_);
    ASSERT_EQ(confirmed.size(), 1u);
    const pid_t launcher = confirmed[0];
    EXPECT_EQ(kill(launcher, 0), 0) << "the new launcher runs on after the hand-off";
    kill(launcher, SIGKILL);
    EXPECT_TRUE(fs::exists(root_ / "launcher/current"));
    EXPECT_FALSE(fs::exists(root_ / "userdata/launcher-failed-manifest"));
}

TEST_F(LauncherEndToEnd, TheInstallerSetsUpAFirstTimePlayerAndEndsOnceTheLauncherItInstalledHasConfirmed) {
    ASSERT_NO_FATAL_FAILURE(publishLauncherRelease());
    // A player's session with folders of its own. The installer passes the launcher no settings: the
    // channel and its CA reach it through the launcher options of the environment.
    const fs::path data = dir_ / "data", session = dir_ / "session", home = dir_ / "home";
    fs::create_directories(session);
    fs::permissions(session, fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directories(home / "Desktop");
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
    const std::string playerHome = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DESKTOP_DIR");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv(
        "ORLEX_LAUNCHER_OPTIONS",
        ("-Dorlex.channel=" + url_ + " -Djavax.net.ssl.trustStore=" + (state_ / "ca.pem").string()).c_str(),
        1);
    const fs::path installer = builtProgram("orlex-bootstrap");
    const fs::path lock = session / "OrlexTessalineLauncher.lock";

    // While another installer holds the lock, a start only says so.
    {
        const int held = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        const ProcessResult busy = runProcess(installer, {});
        close(held);
        EXPECT_EQ(busy.status, 0);
        EXPECT_EQ(busy.err, "ORLEX Tessaline: Le launcher est déjà ouvert.\n");
        EXPECT_FALSE(fs::exists(data / "OrlexTessaline"));
    }

    // A first start whose unpack is cut off half-way (the player closed the session): half of the
    // runtime's files, the last of them cut short. The next start must not take that for a runtime.
    const fs::path cutTar = dir_ / "cut-tar";
    fs::create_directories(cutTar);
    writeFile(cutTar / "bsdtar",
              "#!/bin/sh\n"
              "# -xf ZIP -C DIR\n"
              "list=\"$(dirname \"$0\")/half\"\n"
              "/usr/bin/bsdtar -tf \"$2\" > \"$list.all\"\n"
              "head -n $(( $(wc -l < \"$list.all\") / 2 )) \"$list.all\" > \"$list\"\n"
              "/usr/bin/bsdtar -xf \"$2\" -C \"$4\" -T \"$list\"\n"
              "truncate -s 1000 \"$4/$(tail -n 1 \"$list\")\"\n"
              "exit 1\n");
    fs::permissions(cutTar / "bsdtar", fs::perms::owner_all);
    // Its session's runtime folder is gone too (one left over from another user after su): the lock
    // goes elsewhere, and the start is no "already open".
    const std::string path = getenv("PATH");
    setenv("PATH", (cutTar.string() + ":" + path).c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir_ / "gone").c_str(), 1);
    const ProcessResult cut = runProcess(installer, {});
    setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "ORLEX Tessaline: Le runtime Java embarqué n'a pas pu être installé.\n");

    const ProcessResult first = runProcess(installer, {});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err.find("ORLEX Tessaline:"), std::string::npos) << first.err;
    // Let go although the launcher it handed over to runs on.
    EXPECT_TRUE(installerLockFree(lock));

    const fs::path root = data / "OrlexTessaline";
    std::vector<pid_t> confirmed = confirmedLaunchers(root);
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(kill(confirmed[0], 0), 0) << "the launcher runs on after the installer ended";
    kill(confirmed[0], SIGKILL);
    EXPECT_TRUE(fs::exists(root / "launcher/current"));

    // The payloads as this build embedded them, under the names their bytes give.
    const fs::path launcherPayload = ORLEX_BOOTSTRAP_LAUNCHER_PAYLOAD,
                   runtimePayload = ORLEX_BOOTSTRAP_RUNTIME_PAYLOAD;
    const fs::path archive =
        root / "bootstrap" / ("launcher-" + update::hash(launcherPayload).substr(0, 16) + ".zip");
    const fs::path runtime = root / "bootstrap" / ("runtime-" + update::hash(runtimePayload).substr(0, 16));
    EXPECT_EQ(update::hash(archive), update::hash(launcherPayload));
    EXPECT_FALSE(fs::exists(runtime.string() + ".zip"));
    const std::optional<common::ZipReader> zip = common::ZipReader::open(runtimePayload);
    ASSERT_TRUE(zip);
    ASSERT_TRUE(zip->find("bin/orlex-launcher"));
    for (std::uint64_t i = 0; i < zip->count(); ++i) {
        const std::vector<std::uint8_t> entry = zip->read(i, std::uint64_t{1} << 31).value();
        EXPECT_EQ(update::hash(runtime / zip->name(i)), update::hash(entry)) << zip->name(i);
    }
    const fs::path runtimeProgram = runtime / "bin/orlex-launcher";
    EXPECT_NE(fs::status(runtimeProgram).permissions() & fs::perms::owner_exec, fs::perms::none);
    const fs::file_time_type unpacked = fs::last_write_time(runtimeProgram);

    // The installed copy, and the desktop entry that starts it.
    const fs::path installed = root / "OrlexTessaline";
    EXPECT_EQ(update::hash(installed), update::hash(installer));
    EXPECT_NE(fs::status(installed).permissions() & fs::perms::owner_exec, fs::perms::none);
    const fs::path shortcut = home / "Desktop/ORLEX Tessaline.desktop";
    EXPECT_EQ(readFile(shortcut),
              "[Desktop Entry]\nType=Application\nVersion=1.0\nName=ORLEX Tessaline\n"
              "Comment=ORLEX Tessaline — Launcher\nExec=\"" +
                  installed.string() + "\"\nPath=" + root.string() + "\nIcon=" + root.string() +
                  "/OrlexTessaline.png\nTerminal=false\nCategories=Game;\n");
    EXPECT_EQ(readFile(root / "OrlexTessaline.png"),
              readFile(installer.parent_path().parent_path() / "archive/app-icon.png"));

    // The next start, as the desktop entry makes it: the running copy is the installed one and the
    // runtime is there, so only the launcher archive is written again before the launcher starts.
    fs::remove(archive);
    writeFile(shortcut, "[Desktop Entry]\nName=Kept\n");
    // Its parent ignores SIGCHLD (the installer and the launcher learn their children's ends all the same).
    const ProcessResult again =
        runProcess("/bin/bash", {"-c", "trap '' CHLD; exec \"$0\"", installed.string()});
    ASSERT_EQ(again.status, 0) << again.err;
    confirmed = confirmedLaunchers(root);
    ASSERT_EQ(confirmed.size(), 2u);
    kill(confirmed[1], SIGKILL);
    EXPECT_TRUE(installerLockFree(lock));
    EXPECT_EQ(update::hash(archive), update::hash(launcherPayload));
    EXPECT_EQ(fs::last_write_time(runtimeProgram), unpacked);
    EXPECT_EQ(update::hash(installed), update::hash(installer));
    EXPECT_EQ(readFile(shortcut), "[Desktop Entry]\nName=Kept\n");

    for (const char* name : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "ORLEX_LAUNCHER_OPTIONS"})
        unsetenv(name);
    setenv("HOME", playerHome.c_str(), 1);
}

}  // namespace
}  // namespace orlex::test
