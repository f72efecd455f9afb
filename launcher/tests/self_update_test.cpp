// The launcher's own releases: installed, started as separate processes and confirmed (or not) through
// the start confirmation file, with the fallback to the previous release. The launchers started here are
// small shell programs that record their starts and confirm, never confirm or die as told.
#include "launcher/self_update.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "common/failure.h"
#include "common/preferences.h"
#include "launcher/archive.h"
#include "launcher/tests/launcher_fixture.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/test_channel.h"

namespace orlex::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* NOT_STARTED =
    "Nouveau launcher non démarré ; version précédente restaurée si disponible";

// A launcher program that appends "<its release>|<pid>|<arguments…>" to $ORLEX_TEST_STARTS, then does
// what behaviour says.
std::string launcherProgram(const std::string& version, const std::string& behaviour) {
    return "#!/bin/sh\n# launcher " + version +
           "\nrelease=$(cd \"$(dirname \"$0\")/../..\" && pwd)\n"
           "echo \"$(basename \"$release\")|$$|$*\" >>\"$ORLEX_TEST_STARTS\"\n" +
           behaviour + "\n";
}
const std::string CONFIRMS = "printf %s $$ >\"$ORLEX_LAUNCHER_HANDSHAKE\"";
const std::string NEVER_CONFIRMS = "exec sleep 30";
const std::string DIES = "exit 3";

class SelfUpdateTest : public LauncherFixture {
protected:
    TestChannel channel;
    fs::path starts = root / "starts";

    void SetUp() override {
        launcher::LauncherConfig config = fastConfig(channel.url("client/"));
        config.engine = channel.engineSettings();
        config.launcherProperties = {{"javax.net.ssl.trustStore", "/etc/orlex/ca.pem"}};
        make(config, channel.publicKey());
        ::setenv("ORLEX_TEST_STARTS", starts.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ORLEX_TEST_STARTS");
        LauncherFixture::TearDown();
    }

    std::string publish(const std::string& version, const std::string& behaviour, std::int64_t sequence) {
        return channel.publishUnder("launcher/",
                                    {{"app/launcher.zip", "archive " + version},
                                     {"+x runtime/bin/orlex-launcher", launcherProgram(version, behaviour)}},
                                    sequence, "launcher");
    }
    launcher::SelfUpdate& selfUpdate() { return launcher->selfUpdate(); }
    update::Patcher& engine() { return launcher->installation().launcherEngine(); }
    fs::path pointer() const { return root / "launcher/current"; }
    fs::path failedRecord() const { return root / "userdata/launcher-failed-manifest"; }
    std::size_t blobRequests() {
        std::size_t count = 0;
        for (const auto& request : channel.server().requests())
            count += request.path.find("/blobs/") != std::string::npos;
        return count;
    }
    // The recorded starts, one line each, once `count` of them have been recorded.
    std::vector<std::string> startsOnceThereAre(std::size_t count) {
        std::vector<std::string> lines;
        for (int i = 0; i < 500; ++i) {
            lines.clear();
            if (fs::exists(starts)) {
                std::istringstream in(readFile(starts));
                for (std::string line; std::getline(in, line);)
                    lines.push_back(line);
            }
            if (lines.size() >= count)
                break;
            std::this_thread::sleep_for(10ms);
        }
        return lines;
    }
};

TEST_F(SelfUpdateTest, AFirstStartInstallsStartsAndReturnsOnceTheNewLauncherConfirms) {
    const std::string id = publish("1", CONFIRMS, 1);
    writeFile(failedRecord(), "an-older-release");
    selfUpdate().applySelf(0);

    EXPECT_EQ(engine().installed()->id, id);
    const fs::path release = engine().verifiedRelease();
    const std::vector<std::string> started = startsOnceThereAre(1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_TRUE(started[0].starts_with(release.filename().string() + "|"));
    EXPECT_TRUE(started[0].ends_with("|-Djavax.net.ssl.trustStore=/etc/orlex/ca.pem --archive " +
                                     (release / "app/launcher.zip").string() + " --managed --root " +
                                     root.path().string() + " --channel " + channel.url("client/")))
        << started[0];
    EXPECT_FALSE(fs::exists(failedRecord())) << "a confirmed start clears the record";
}

TEST_F(SelfUpdateTest, ALauncherThatNeverConfirmsIsEndedAfterTenSecondsRecordedAndItsPointerRemoved) {
    const std::string id = publish("1", NEVER_CONFIRMS, 1);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { selfUpdate().applySelf(0); }), NOT_STARTED);
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, 9s);
    EXPECT_LT(waited, 20s);

    EXPECT_EQ(readFile(failedRecord()), id);
    EXPECT_FALSE(fs::exists(pointer()));
    const std::vector<std::string> started = startsOnceThereAre(1);
    ASSERT_EQ(started.size(), 1u);
    const pid_t pid = std::stoi(started[0].substr(started[0].find('|') + 1));
    EXPECT_NE(::kill(pid, 0), 0) << "the unconfirmed launcher was ended";
}

TEST_F(SelfUpdateTest, ALauncherThatDiesAtOnceGivesWayToThePreviousOneWhichLaterStartsWithoutAnInstall) {
    publish("1", CONFIRMS, 1);
    selfUpdate().applySelf(0);
    const std::string previousPointer = readFile(pointer());
    const std::string previousRelease = engine().verifiedRelease().filename().string();

    const std::string failed = publish("2", DIES, 2);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { selfUpdate().applySelf(0); }), NOT_STARTED);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s) << "its end ends the wait";
    EXPECT_EQ(readFile(failedRecord()), failed);
    EXPECT_EQ(readFile(pointer()), previousPointer);
    std::vector<std::string> started = startsOnceThereAre(3);
    ASSERT_EQ(started.size(), 3u);
    EXPECT_FALSE(started[1].starts_with(previousRelease + "|"));
    EXPECT_TRUE(started[2].starts_with(previousRelease + "|")) << "the previous release runs again";

    // The channel still offers the failed release: the installed one starts, nothing is fetched.
    for (int run = 0; run < 2; ++run) {
        const std::size_t fetched = blobRequests();
        selfUpdate().applySelf(0);
        EXPECT_EQ(blobRequests(), fetched);
        EXPECT_EQ(readFile(pointer()), previousPointer);
        started = startsOnceThereAre(4 + run);
        ASSERT_EQ(started.size(), 4u + run);
        EXPECT_TRUE(started.back().starts_with(previousRelease + "|"));
    }
}

TEST_F(SelfUpdateTest, AnInstalledReleaseThatDoesNotConfirmIsWaitedForEachTimeAndStaysInstalled) {
    publish("1", CONFIRMS, 1);
    selfUpdate().applySelf(0);
    // The apply-self process was killed once the new release was in place, before its start was judged.
    publish("2", DIES, 2);
    engine().install(engine().plan(engine().remote()));
    const std::string installedPointer = readFile(pointer());

    // Never started in place of itself without a wait (which would end with status 0 and no window).
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(failureMessage<common::IoFailure>([&] { selfUpdate().applySelf(0); }), NOT_STARTED)
            << "run " << run;
    // A start that was only slow costs nothing: the release is still there, and after each wait it was
    // started once more, in case it comes up late.
    EXPECT_EQ(readFile(pointer()), installedPointer);
    EXPECT_EQ(engine().plan(engine().remote()).files, 0u);
    const std::vector<std::string> started = startsOnceThereAre(5);
    ASSERT_EQ(started.size(), 5u);
    for (std::size_t i = 1; i < 5; ++i)
        EXPECT_TRUE(started[i].starts_with(installedPointer + "|")) << started[i];
}

TEST_F(SelfUpdateTest, TheFailedRecordIsWrittenInPlaceOfAnObstacleAndWithoutItNoRoundOfHandOffsBegins) {
    publish("1", CONFIRMS, 1);
    selfUpdate().applySelf(0);
    const std::string previousPointer = readFile(pointer());
    const std::string previousRelease = engine().verifiedRelease().filename().string();
    fs::create_directories(failedRecord() / "in-the-way");

    publish("2", DIES, 2);
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { selfUpdate().applySelf(0); }), NOT_STARTED);
    EXPECT_EQ(readFile(pointer()), previousPointer);
    EXPECT_EQ(readFile(failedRecord()), engine().remote().id);
    std::vector<std::string> started = startsOnceThereAre(3);
    ASSERT_EQ(started.size(), 3u);
    EXPECT_TRUE(started[2].starts_with(previousRelease + "|")) << "the previous release runs again";

    // A record that cannot be written at all (a link above it): the previous release is restored but not
    // started, since its first probe would hand over to the failed release again, round after round.
    fs::rename(root / "userdata", root / "userdata-elsewhere");
    fs::create_directory_symlink(root / "userdata-elsewhere", root / "userdata");
    publish("3", DIES, 3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { selfUpdate().applySelf(0); }), NOT_STARTED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Version en échec non enregistrée : "),
              std::string::npos);
    EXPECT_EQ(readFile(pointer()), previousPointer);
    started = startsOnceThereAre(5);
    EXPECT_EQ(started.size(), 4u) << "release 3 once, and nothing after it";
}

TEST_F(SelfUpdateTest, AnOldLauncherThatDoesNotEndStopsTheUpdateAndAGoneOneIsNotWaitedFor) {
    launcher::LauncherConfig config = fastConfig(channel.url("client/"));
    config.engine = channel.engineSettings();
    config.selfUpdate.oldLauncherWait = 200ms;
    make(config, channel.publicKey());
    publish("1", CONFIRMS, 1);
    common::ChildProcess running =
        common::ChildProcess::start({.program = "/bin/sleep", .arguments = {"30"}});
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { selfUpdate().applySelf(running.pid()); }),
              "Ancien launcher encore actif");
    EXPECT_FALSE(engine().installed()) << "nothing installed while the old launcher runs";

    running.terminate();
    const auto begin = std::chrono::steady_clock::now();
    selfUpdate().applySelf(running.pid());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_TRUE(engine().installed());
}

TEST_F(SelfUpdateTest, TheHandOffKeepsTheSessionStartsTheApplySelfProcessAndEndsTheWindow) {
    // The apply-self process is this program started again: here a stand-in that records its arguments.
    const fs::path program = root / "orlex-launcher", arguments = root / "apply-self-arguments";
    writeFile(program, "#!/bin/sh\necho \"$*\" >\"" + arguments.string() + "\"\n");
    fs::permissions(program, fs::perms::owner_exec, fs::perm_options::add);
    launcher::LauncherConfig config = fastConfig(channel.url("client/"));
    config.engine = channel.engineSettings();
    config.program = program;
    config.archive = root / "bootstrap/launcher.zip";
    make(config, channel.publicKey());

    publish("1", CONFIRMS, 1);
    signInAs("nova");
    operate([&] { selfUpdate().startSelfUpdate(); });
    view->waitFor("end");
    const common::Preferences preferences(launcher::PREFS);
    EXPECT_EQ(preferences.get("account.identity", ""), "nova");
    EXPECT_TRUE(preferences.getBoolean("account.updateResume", false));
    ASSERT_TRUE(view->waitUntil([&] { return fs::exists(arguments); }));
    EXPECT_EQ(readFile(arguments), "--archive " + (root / "bootstrap/launcher.zip").string() +
                                       " --apply-self --wait-pid " + std::to_string(::getpid()) + " --root " +
                                       root.path().string() + " --channel " + channel.url("client/") + "\n");

    // Installed and current: the check says so instead.
    engine().install(engine().plan(engine().remote()));
    view->clear();
    operate([&] { selfUpdate().startSelfUpdate(); });
    EXPECT_EQ(view->occurrences("launcherCurrent"), 1u);
    EXPECT_EQ(view->occurrences("end"), 0u);
}

}  // namespace
}  // namespace orlex::test
