#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "common/failure.h"
#include "common/process.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::common {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::TempDir;

// A shell script run by /bin/sh with the given words as $1...
ProcessSpec shell(const std::string& script, std::vector<std::string> words = {}) {
    ProcessSpec spec{.program = "/bin/sh", .arguments = {"-c", script, "sh"}};
    spec.arguments.insert(spec.arguments.end(), words.begin(), words.end());
    return spec;
}

// Waits until the file holds text (a child announcing that it is ready); false after ten seconds.
bool waitForText(const fs::path& file, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
        if (fs::exists(file) && readFile(file).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(ChildProcess, HandsOverArgumentsEnvironmentAndDirectoryAndMergesOutputIntoAFile) {
    TempDir dir;
    fs::create_directory(dir / "work");
    test::writeFile(dir / "out.log", "previous run\n");
    ::setenv("ORLEX_REMOVED", "inherited", 1);
    ::setenv("ORLEX_KEPT", "inherited", 1);
    // A descriptor of this process without close-on-exec, as libraries leave them.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);

    ProcessSpec spec = shell(
        "printf '[%s]\\n' \"$@\"; pwd -P; echo \"set=$ORLEX_SET kept=$ORLEX_KEPT "
        "removed=${ORLEX_REMOVED-none}\"; "
        "if read -r line; then echo \"input=$line\"; else echo input-empty; fi; "
        "if [ -e /proc/$$/fd/$ORLEX_FD ]; then echo leaked; fi; echo to-error >&2; exit 7",
        {"two words", "say \"hi\"", "", "back\\slash", "tab\there", "été"});
    spec.workingDirectory = dir / "work";
    spec.environment = {
        {"ORLEX_SET", "a=b c"}, {"ORLEX_REMOVED", std::nullopt}, {"ORLEX_FD", std::to_string(leaked)}};
    spec.outputFile = dir / "out.log";
    ChildProcess child = ChildProcess::start(spec);
    const std::optional<int> code = child.waitFor(60s);
    ::close(leaked);
    ::unsetenv("ORLEX_REMOVED");
    ::unsetenv("ORLEX_KEPT");

    EXPECT_GT(child.pid(), 0);
    EXPECT_EQ(code, 7);
    EXPECT_EQ(child.poll(), 7);
    EXPECT_EQ(readFile(dir / "out.log"),
              "[two words]\n[say \"hi\"]\n[]\n[back\\slash]\n[tab\there]\n[été]\n" +
                  fs::canonical(dir / "work").string() +
                  "\nset=a=b c kept=inherited removed=none\ninput-empty\nto-error\n");
}

TEST(ChildProcess, TerminateEndsAChildThatRunsOnAndKillsOneThatIgnoresTheRequest) {
    TempDir dir;
    ChildProcess obeying = ChildProcess::start(shell("exec sleep 30"));
    EXPECT_EQ(obeying.waitFor(20ms), std::nullopt);
    EXPECT_EQ(obeying.poll(), std::nullopt);
    EXPECT_EQ(obeying.terminate(), 128 + SIGTERM);
    EXPECT_EQ(obeying.poll(), 128 + SIGTERM);

    ProcessSpec ignoring = shell("trap '' TERM; echo ready; exec sleep 30");
    ignoring.outputFile = dir / "out.log";
    ChildProcess stubborn = ChildProcess::start(ignoring);
    ASSERT_TRUE(waitForText(dir / "out.log", "ready"));
    EXPECT_EQ(stubborn.terminate(100ms), 128 + SIGKILL);
}

TEST(ChildProcess, AProcessStartedWithChildEndsIgnoredStillLearnsTheirStatus) {
    // What a parent that ignores SIGCHLD hands on to the launcher it starts.
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &before), 0);
    ::signal(SIGCHLD, SIG_IGN);
    ChildProcess child = ChildProcess::start(shell("exit 7"));
    const std::optional<int> status = child.waitFor(10s);
    ::sigaction(SIGCHLD, &before, nullptr);
    EXPECT_EQ(status, 7);
}

TEST(ChildProcess, OwnerReapsAnEndedChildWhenItGoes) {
    std::optional<ChildProcess> owner = ChildProcess::start(shell("exit 0"));
    const fs::path status = "/proc/" + std::to_string(owner->pid()) + "/stat";
    // The ended, not yet reaped child is a zombie ("Z") until its owner goes.
    ASSERT_TRUE(waitForText(status, ") Z "));
    ChildProcess moved = std::move(*owner);
    owner.reset();
    EXPECT_TRUE(fs::exists(status));
    { ChildProcess last = std::move(moved); }
    EXPECT_FALSE(fs::exists(status));
}

TEST(ChildProcess, FailsToStartNamingTheProgram) {
    TempDir dir;
    const ProcessSpec missingProgram{.program = dir / "absent"};
    ProcessSpec missingDirectory = shell("exit 0");
    missingDirectory.workingDirectory = dir / "absent";
    ProcessSpec missingOutputFolder = shell("exit 0");
    missingOutputFolder.outputFile = dir / "absent" / "out.log";
    for (const ProcessSpec& spec : {missingProgram, missingDirectory, missingOutputFolder}) {
        try {
            ChildProcess::start(spec);
            ADD_FAILURE() << "started " << spec.program;
        } catch (const IoFailure& failure) {
            EXPECT_TRUE(std::string(failure.what())
                            .starts_with("Démarrage impossible : " + spec.program.string() + " ("))
                << failure.what();
        }
    }
}

TEST(ProcessEnd, IsWaitedForWhoeverStartedTheProcess) {
    // A grandchild: its shell writes its id and ends, so it is not a child of this process.
    TempDir dir;
    const fs::path announced = dir / "pid";
    ChildProcess::start(shell("sleep 0.6 & echo $! >\"$1\"", {announced.string()})).waitFor(10s);
    ASSERT_TRUE(waitForText(announced, "\n"));
    const std::int64_t pid = std::stoll(readFile(announced));

    EXPECT_FALSE(waitForProcessEnd(pid, 50ms)) << "still sleeping";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitForProcessEnd(pid, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "its end ends the wait";
    EXPECT_TRUE(waitForProcessEnd(pid, 10s)) << "a process that no longer exists is not waited for";
}

}  // namespace
}  // namespace orlex::common
