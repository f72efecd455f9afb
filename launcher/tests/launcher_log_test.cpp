#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <thread>
#include <vector>

#include "launcher/launcher_log.h"
#include "launcher/recent_logs.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

struct RecordingClipboard : Clipboard {
    std::optional<std::string> text;
    void setText(const std::string& value) override { text = value; }
};

TEST(LauncherLog, InstantUsesTheShortestExactFraction) {
    const sys_seconds second = sys_days{2026y / December / 9} + 5h + 44min + 25s;
    EXPECT_EQ(isoInstant(second), "2026-12-09T05:44:25Z");
    EXPECT_EQ(isoInstant(second + 100ms), "2026-12-09T05:44:25.100Z");
    EXPECT_EQ(isoInstant(second + 123456us), "2026-12-09T05:44:25.123456Z");
    EXPECT_EQ(isoInstant(second + 1ns), "2026-12-09T05:44:25.000000001Z");
    EXPECT_EQ(isoInstant(sys_days{1970y / January / 1}), "1970-01-01T00:00:00Z");
}

TEST(LauncherLog, AppendsEntriesWithInstantAndCreatesTheDirectory) {
    test::TempDir root;
    appendLauncherLog(root.path(), "first");
    appendLauncherLog(root.path(), "code=X phase=y\nexception=Z");
    const std::string text = test::readFile(root / "userdata/launcher.log");
    const std::regex form(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?Z first\n)"
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?Z code=X phase=y\nexception=Z\n)");
    EXPECT_TRUE(std::regex_match(text, form)) << text;
}

TEST(LauncherLog, RotatesAtTheExactSizeBeforeWriting) {
    test::TempDir root;
    const fs::path log = root / "userdata/launcher.log";
    test::writeFile(log, std::string(LOG_ROTATION_BYTES - 1, 'a'));
    appendLauncherLog(root.path(), "below");
    EXPECT_FALSE(fs::exists(root / "userdata/launcher.log.1"));
    EXPECT_GT(fs::file_size(log), LOG_ROTATION_BYTES);

    test::writeFile(log, std::string(LOG_ROTATION_BYTES, 'b'));
    test::writeFile(root / "userdata/launcher.log.1", "older generation");
    appendLauncherLog(root.path(), "after");
    EXPECT_EQ(fs::file_size(root / "userdata/launcher.log.1"), LOG_ROTATION_BYTES);
    EXPECT_TRUE(test::readFile(log).ends_with(" after\n"));
}

TEST(LauncherLog, ThreadsWritingAtTheRotationLoseNeitherTheFullLogNorAnEntry) {
    // The runner, the update probe and the presence's worker all write to the log.
    constexpr int WRITERS = 8;
    for (int round = 0; round < 20; ++round) {
        test::TempDir root;
        const fs::path log = root / "userdata/launcher.log";
        test::writeFile(log, std::string(LOG_ROTATION_BYTES, 'a'));
        std::vector<std::jthread> writers;
        for (int i = 0; i < WRITERS; ++i)
            writers.emplace_back(
                [&root, i] { appendLauncherLog(root.path(), "entry " + std::to_string(i)); });
        writers.clear();
        ASSERT_EQ(test::readFile(root / "userdata/launcher.log.1"), std::string(LOG_ROTATION_BYTES, 'a'))
            << "round " << round;
        const std::string fresh = test::readFile(log);
        EXPECT_EQ(std::count(fresh.begin(), fresh.end(), '\n'), WRITERS) << "round " << round;
    }
}

TEST(LauncherLog, SwallowsFailuresAndStaysBoundedWhenItCannotRotate) {
    test::TempDir root;
    test::writeFile(root / "userdata", "a file where the directory should be");
    EXPECT_NO_THROW(appendLauncherLog(root.path(), "lost"));

    test::TempDir other;
    const fs::path log = other / "userdata/launcher.log";
    test::writeFile(log, std::string(LOG_ROTATION_BYTES, 'a'));
    fs::create_directories(other / "userdata/launcher.log.1/in-the-way");
    EXPECT_NO_THROW(appendLauncherLog(other.path(), "lost"));
    EXPECT_EQ(fs::file_size(log), LOG_ROTATION_BYTES);
}

TEST(RecentLogs, CopiesTheLastTwoHundredLines) {
    test::TempDir dir;
    std::string text;
    for (int i = 1; i <= 250; ++i)
        text += "line " + std::to_string(i) + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\r");
    test::writeFile(dir / "launcher.log", text);
    RecordingClipboard clipboard;
    EXPECT_EQ(copyRecentLogs(dir / "launcher.log", clipboard), 200u);
    ASSERT_TRUE(clipboard.text);
    EXPECT_TRUE(clipboard.text->starts_with("line 51\nline 52\n"));
    EXPECT_TRUE(clipboard.text->ends_with("\nline 250"));
}

TEST(RecentLogs, SingleLineAndBlankLinesCount) {
    test::TempDir dir;
    RecordingClipboard clipboard;
    test::writeFile(dir / "one.log", "only");
    EXPECT_EQ(copyRecentLogs(dir / "one.log", clipboard), 1u);
    EXPECT_EQ(clipboard.text, "only");
    test::writeFile(dir / "blank.log", "a\n\nb\n");
    EXPECT_EQ(copyRecentLogs(dir / "blank.log", clipboard), 3u);
    EXPECT_EQ(clipboard.text, "a\n\nb");
}

TEST(RecentLogs, EmptyOrMissingLogLeavesTheClipboardAlone) {
    test::TempDir dir;
    RecordingClipboard clipboard;
    EXPECT_EQ(copyRecentLogs(dir / "missing.log", clipboard), 0u);
    test::writeFile(dir / "empty.log", "");
    EXPECT_EQ(copyRecentLogs(dir / "empty.log", clipboard), 0u);
    EXPECT_FALSE(clipboard.text.has_value());
}

}  // namespace
}  // namespace orlex::launcher
