// The programs' output on a terminal (a pseudo-terminal whose far end this test reads) and elsewhere (a
// file): the real orlex-launcher installing from a channel served over HTTPS on 127.0.0.1, and the real
// orlex-publish publishing.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/tests/archive_support.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_channel.h"
#include "update/platform.h"

namespace orlex::launcher {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using orlex::test::builtProgram;

constexpr unsigned short COLUMNS = 100;
constexpr std::int64_t BIG = 3'000'000;
constexpr std::int64_t RELEASE_BYTES = BIG + 6 + 10;  // assets/big.bin, app/client.txt, runtime/bin/java
const std::string ERASE = "\x1b[K";

struct TerminalRun {
    int status = -1;
    std::string screen;  // everything the program wrote, byte for byte
};

// Runs program to its end with a pseudo-terminal of COLUMNS columns as its standard streams. The
// terminal is raw, so what the program writes arrives unchanged ("\n" is not turned into "\r\n").
TerminalRun runInTerminal(const fs::path& program, const Args& arguments) {
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    termios modes{};
    cfmakeraw(&modes);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = COLUMNS;

    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, &modes, &size);
    if (pid < 0)
        throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    TerminalRun run;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got > 0)
            run.screen.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;  // EIO once the program's side is closed
    }
    ::close(terminal);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

int codePoints(const std::string& text) {
    int count = 0;
    for (const char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return count;
}

// Every live line drawn on one terminal line: "\r<line>\x1b[K" repeated; the lines without their marks.
std::vector<std::string> liveLines(const std::string& line) {
    EXPECT_TRUE(line.starts_with("\r")) << line;
    std::vector<std::string> drawn = split(line.substr(1), '\r');
    for (std::string& each : drawn) {
        EXPECT_TRUE(each.ends_with(ERASE)) << each;
        each.resize(each.size() - std::min(each.size(), ERASE.size()));
        EXPECT_LE(codePoints(each), COLUMNS - 1) << each;
    }
    return drawn;
}

class TerminalOutput : public ::testing::Test {
protected:
    TerminalOutput() {
        // The programs' preference store stays in the test's directory.
        setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        archive_ = test::makeArchive(dir_ / "archive",
                                     {{"release-public.der", test::publicDerOf(channel_.privateKeyFile())}});
        channel_.publish({{"app/client.txt", "client"},
                          {"assets/big.bin", orlex::test::randomBytes(BIG, 3)},
                          {"+x runtime/bin/java", "#!/bin/sh\n"}},
                         1);
    }

    Args launcherArgs(const Args& commands) const {
        Args all{"-Djavax.net.ssl.trustStore=" + channel_.ca().caPem().string(),
                 "--archive",
                 archive_.string(),
                 "--channel",
                 channel_.baseUrl(),
                 "--root",
                 (dir_ / "root").string()};
        all.insert(all.end(), commands.begin(), commands.end());
        return all;
    }

    orlex::test::TempDir dir_;
    orlex::test::TestChannel channel_;
    fs::path archive_;
};

TEST_F(TerminalOutput, InstallAndVerifyShowOneLiveLineEachBetweenTheirResultLines) {
    const TerminalRun run =
        runInTerminal(builtProgram("orlex-launcher"), launcherArgs({"--install", "--verify"}));
    ASSERT_EQ(run.status, 0) << run.screen;

    const std::vector<std::string> lines = split(run.screen, '\n');
    ASSERT_EQ(lines.size(), 4u) << run.screen;
    EXPECT_EQ(lines[0], "PLAN files=3 bytes=" + std::to_string(RELEASE_BYTES) + " version=1.0.1");

    const std::vector<std::string> install = liveLines(lines[1]);
    ASSERT_FALSE(install.empty());
    const std::regex figures(
        "(Téléchargement…|Préparation des fichiers…|Prêt\\.).* · [0-9]+,[0-9] / 3,0 Mo · "
        "[0-9]+,[0-9] Mo/s · reste ([0-9]+:[0-9]{2}|--:--)");
    for (const std::string& drawn : install)
        EXPECT_TRUE(std::regex_match(drawn, figures)) << drawn;
    EXPECT_TRUE(install.front().starts_with("Téléchargement… app/client.txt · 0,0 / 3,0 Mo · "))
        << install.front();
    EXPECT_TRUE(install.back().starts_with("Prêt. · 3,0 / 3,0 Mo · ")) << install.back();
    EXPECT_TRUE(install.back().ends_with(" Mo/s · reste 0:00")) << install.back();

    EXPECT_EQ(liveLines(lines[2]), std::vector<std::string>{"Vérification…"});
    EXPECT_TRUE(lines[3].starts_with("VERIFIED " + (dir_ / "root" / "releases").string() + "/")) << lines[3];
    EXPECT_TRUE(run.screen.ends_with("\n"));
}

TEST_F(TerminalOutput, OutputToAFileKeepsOneLinePerEventAndReportsLargeFilesInSteps) {
    const orlex::test::ProcessResult run =
        orlex::test::runProcess(builtProgram("orlex-launcher"), launcherArgs({"--install"}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);

    const std::vector<std::string> lines = split(run.out, '\n');
    ASSERT_GE(lines.size(), 5u) << run.out;
    EXPECT_EQ(lines.front(), "PLAN files=3 bytes=" + std::to_string(RELEASE_BYTES) + " version=1.0.1");
    const std::string total = "/" + std::to_string(RELEASE_BYTES);
    int big = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(".+ [0-9]+" + total))) << lines[i];
        big += lines[i].starts_with("assets/big.bin ") ? 1 : 0;
    }
    EXPECT_EQ(lines.back(), "Prêt " + std::to_string(RELEASE_BYTES) + total);
    // Each file at least once (its completion); a large one on its first bytes, then once per 256 KiB
    // received and on its completion, not once per network read.
    for (const char* file : {"app/client.txt ", "runtime/bin/java "})
        EXPECT_NE(run.out.find(std::string("\n") + file), std::string::npos) << file;
    EXPECT_GE(big, 2);
    EXPECT_LE(big, 2 + BIG / (256 * 1024)) << run.out;
}

TEST_F(TerminalOutput, PublishShowsItsLiveLineThenItsResultLine) {
    const fs::path payload = dir_ / "payload";
    orlex::test::writeFile(payload / "app/a.txt", "a");
    orlex::test::writeFile(payload / "assets/deep/directory/with/a/long/name/for/the/line/b.bin",
                           orlex::test::randomBytes(2'000'000, 4));
    const TerminalRun run =
        runInTerminal(builtProgram("orlex-publish"),
                      {"publish", payload.string(), (dir_ / "published").string(),
                       channel_.privateKeyFile().string(), "client", "2.0.0", "2", update::platform()});
    ASSERT_EQ(run.status, 0) << run.screen;

    const std::vector<std::string> lines = split(run.screen, '\n');
    ASSERT_EQ(lines.size(), 2u) << run.screen;
    const std::vector<std::string> drawn = liveLines(lines[0]);
    ASSERT_FALSE(drawn.empty());
    EXPECT_TRUE(
        std::regex_match(drawn.back(), std::regex("Publication… .* · 2,0 / 2,0 Mo · [0-9]+,[0-9] Mo/s · "
                                                  "reste 0:00")))
        << drawn.back();
    EXPECT_EQ(lines[1], "PUBLISHED client 2.0.0 files=2");
}

}  // namespace
}  // namespace orlex::launcher
