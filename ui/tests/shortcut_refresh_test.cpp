#include "ui/shortcut_refresh.h"

#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "ui/brand_icon.h"

namespace orlex::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TempDir;

const launcher::LauncherArchive archive{ORLEX_LAUNCHER_ARCHIVE};

void runAtOnce(std::function<void()> task) {
    task();
}

TEST(ShortcutRefresh, IsSubmittedOnWindowsOnly) {
    const struct {
        std::string platform;
        int submitted;
    } cases[] = {{"windows-x64", 1}, {"windows-arm64", 1}, {"linux-x64", 0}, {"macos-arm64", 0}};
    for (const auto& [platform, expected] : cases) {
        int submitted = 0;
        refreshWindowsShortcuts("root", archive, [&](std::function<void()>) { ++submitted; },
                                {.platform = platform});
        EXPECT_EQ(submitted, expected) << platform;
    }
}

TEST(ShortcutRefresh, WritesIconAndScriptThenEndsAScriptThatOverstaysItsLimit) {
    TempDir dir;
    const fs::path root = dir / "install root";
    const fs::path userdata = root / "userdata";
    // Records its arguments and stays well past the limit.
    const fs::path powershell = test::writeFile(
        dir / "powershell.exe",
        "#!/bin/sh\nprintf '%s\\n' \"$@\"\necho \"pid $$\"\necho to-error >&2\nexec sleep 30\n");
    fs::permissions(powershell, fs::perms::owner_all);

    testing::internal::CaptureStderr();
    refreshWindowsShortcuts(root, archive, runAtOnce,
                            {.platform = "windows-x64", .powershell = powershell, .scriptLimit = 1s});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    const launcher::Bytes icon = archive.resource("/app-icon.png").value();
    EXPECT_EQ(test::readBytes(userdata / "orlex-v75.ico"),
              BrandIcon::ico(QImage::fromData(icon.data(), static_cast<int>(icon.size()))));
    EXPECT_EQ(test::readBytes(userdata / "refresh-shortcuts.ps1"),
              archive.resource("/refresh-shortcuts.ps1"));
    const std::string log = test::readFile(userdata / "shortcuts.log");
    const std::string arguments = "-NoProfile\n-NonInteractive\n-ExecutionPolicy\nBypass\n-File\n" +
                                  (userdata / "refresh-shortcuts.ps1").string() + "\n-InstallRoot\n" +
                                  root.string() + "\n-IconPath\n" + (userdata / "orlex-v75.ico").string() +
                                  "\npid ";
    ASSERT_TRUE(log.starts_with(arguments)) << log;
    const std::string pid = log.substr(arguments.size(), log.find('\n', arguments.size()) - arguments.size());
    EXPECT_EQ(log.substr(arguments.size() + pid.size()), "\nto-error\n");
    EXPECT_FALSE(fs::exists("/proc/" + pid)) << "the script still runs";
}

TEST(ShortcutRefresh, StopsSilentlyWithoutTheIconAndReportsOtherFailuresByType) {
    TempDir dir;
    const ShortcutRefreshSettings settings{.platform = "windows-x64", .powershell = dir / "absent.exe"};

    testing::internal::CaptureStderr();
    refreshWindowsShortcuts(dir / "first", launcher::LauncherArchive(dir / "absent.zip"), runAtOnce,
                            settings);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(test::listFiles(dir / "first"), std::vector<std::string>{});

    testing::internal::CaptureStderr();
    refreshWindowsShortcuts(dir / "second", archive, runAtOnce, settings);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Shortcut refresh failed: orlex::common::IoFailure\n");
}

}  // namespace
}  // namespace orlex::ui
