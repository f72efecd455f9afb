#include "bootstrap/bootstrap_flow.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bootstrap/tests/recording_platform.h"

namespace orlex::bootstrap {
namespace {

using test::RecordingPlatform;
using Box = RecordingPlatform::Box;
using Start = RecordingPlatform::Start;

const BootstrapIds IDS{.launcherId = u"5daaef7ca65c9148", .runtimeId = u"d35f31e712f0fcf6"};

const std::u16string MUTEX = u"Local\\OrlexTessalineLauncher";
const std::u16string CAPTION = u"ORLEX Tessaline";
const std::u16string ROOT = test::LOCAL_APP_DATA + u"\\OrlexTessaline";
const std::u16string BOOTSTRAP = ROOT + u"\\bootstrap";
const std::u16string RUNTIME = BOOTSTRAP + u"\\runtime-d35f31e712f0fcf6";
const std::u16string RUNTIME_PROGRAM = RUNTIME + u"\\bin\\orlex-launcher.exe";
const std::u16string RUNTIME_ZIP = BOOTSTRAP + u"\\runtime-d35f31e712f0fcf6.zip";
const std::u16string ARCHIVE = BOOTSTRAP + u"\\launcher-5daaef7ca65c9148.zip";
const std::u16string INSTALLED = ROOT + u"\\OrlexTessaline.exe";
const std::u16string SHORTCUT = test::DESKTOP + u"\\ORLEX Tessaline.lnk";
const std::u16string TAR = test::SYSTEM_DIRECTORY + u"\\tar.exe";

const Start UNPACK{TAR, u"\"" + TAR + u"\" -xf \"" + RUNTIME_ZIP + u"\" -C \"" + RUNTIME + u"\""};
const Start LAUNCH{RUNTIME_PROGRAM,
                   u"\"" + RUNTIME_PROGRAM + u"\" --archive \"" + ARCHIVE + u"\" --root \"" + ROOT + u"\""};

Box errorBox(const std::u16string& text) {
    return {CAPTION, text, MessageIcon::Error};
}

// A player's machine with the downloaded installer; the launcher the installer starts ends with
// launcherStatus, and notes whether the installer's mutex was held while it ran.
class Installer : public ::testing::Test {
protected:
    Installer() {
        platform.setProgram(RUNTIME_PROGRAM, [this](const std::u16string&) {
            mutexHeldWhileLauncherRan = platform.mutexes.contains(MUTEX);
            return std::optional<std::uint32_t>(launcherStatus);
        });
    }

    int run() { return runBootstrap(platform, IDS); }

    // The runtime a previous run unpacked.
    void installRuntime() { platform.addFile(RUNTIME_PROGRAM, "launcher program"); }

    // The run ended before the launch with this error box alone.
    void expectFailure(int status, const std::u16string& text) {
        EXPECT_EQ(status, 1);
        EXPECT_EQ(platform.boxes, std::vector<Box>{errorBox(text)});
        for (const Start& start : platform.starts)
            EXPECT_NE(start.program, RUNTIME_PROGRAM);
    }

    RecordingPlatform platform;
    std::uint32_t launcherStatus = 0;
    bool mutexHeldWhileLauncherRan = false;
};

// First and later runs.

TEST_F(Installer, FirstRunLaysOutTheInstallRootAndStartsTheLauncherOnTheUnpackedRuntime) {
    EXPECT_EQ(run(), 0);

    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(platform.starts, (std::vector<Start>{UNPACK, LAUNCH}));
    EXPECT_TRUE(platform.node(RUNTIME_PROGRAM));
    EXPECT_FALSE(platform.node(RUNTIME_ZIP));
    EXPECT_EQ(platform.fileBytes(ARCHIVE), test::LAUNCHER_ARCHIVE_BYTES);
    EXPECT_EQ(platform.fileBytes(INSTALLED), test::INSTALLER_IMAGE);
    ASSERT_EQ(platform.shortcuts.size(), 1u);
    const Shortcut& shortcut = platform.shortcuts[0];
    EXPECT_EQ(shortcut.path, SHORTCUT);
    EXPECT_EQ(shortcut.target, INSTALLED);
    EXPECT_EQ(shortcut.workingDirectory, ROOT);
    EXPECT_EQ(shortcut.description, u"ORLEX Tessaline — Launcher");
    EXPECT_EQ(shortcut.iconPath, INSTALLED);
    EXPECT_EQ(shortcut.iconIndex, 0);
    EXPECT_TRUE(platform.node(SHORTCUT));
    EXPECT_TRUE(mutexHeldWhileLauncherRan);
    EXPECT_FALSE(platform.mutexes.contains(MUTEX));
}

TEST_F(Installer, MissingLocalAppDataFolderIsCreatedByItsRequest) {
    platform.remove(test::LOCAL_APP_DATA);

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(platform.fileBytes(INSTALLED), test::INSTALLER_IMAGE);
}

TEST_F(Installer, LaterRunReusesTheRuntimeRewritesTheArchiveAndLeavesAnyShortcut) {
    installRuntime();
    platform.addFile(ARCHIVE, "older launcher archive");
    platform.addFile(SHORTCUT, "link to somewhere else");

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(platform.starts, std::vector<Start>{LAUNCH});
    EXPECT_FALSE(platform.node(RUNTIME_ZIP));
    EXPECT_EQ(platform.fileBytes(ARCHIVE), test::LAUNCHER_ARCHIVE_BYTES);
    EXPECT_TRUE(platform.shortcuts.empty());
    EXPECT_EQ(platform.fileBytes(SHORTCUT), "link to somewhere else");
}

TEST_F(Installer, RuntimeDirectoryWithoutItsProgramIsUnpackedAgain) {
    platform.addDirectories(RUNTIME + u"\\lib");

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(platform.starts, (std::vector<Start>{UNPACK, LAUNCH}));
}

TEST_F(Installer, RunningTheInstalledCopyUnderOtherLetterCaseCopiesNothing) {
    installRuntime();
    platform.addFile(INSTALLED, test::INSTALLER_IMAGE, /*locked=*/true);  // it is the running image
    platform.module = u"c:\\users\\ada\\appdata\\local\\ORLEXTESSALINE\\orlextessaline.EXE";

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(platform.copies.empty());
    EXPECT_TRUE(platform.boxes.empty());
}

// Another installer.

TEST_F(Installer, SecondStartWhileTheLauncherRunsOnlyTellsItIsOpen) {
    std::vector<Box> secondBoxes;
    bool diskUnchanged = false;
    platform.setProgram(RUNTIME_PROGRAM, [&](const std::u16string&) {
        const auto disk = platform.disk();
        const std::size_t starts = platform.starts.size();
        EXPECT_EQ(runBootstrap(platform, IDS), 0);
        secondBoxes = platform.boxes;
        diskUnchanged = platform.disk() == disk && platform.starts.size() == starts;
        return std::optional<std::uint32_t>(0);
    });

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(secondBoxes,
              (std::vector<Box>{{CAPTION, u"Le launcher est déjà ouvert.", MessageIcon::Information}}));
    EXPECT_TRUE(diskUnchanged);
}

// Failures before the launch: one error box, status 1, no launch.

TEST_F(Installer, UnresolvableLocalAppDataFolder) {
    platform.localAppData.reset();
    const auto disk = platform.disk();

    expectFailure(run(), u"Impossible de trouver AppData.");
    EXPECT_EQ(platform.disk(), disk);
}

TEST_F(Installer, PlainFileWhereTheInstallRootShouldBe) {
    platform.addFile(ROOT, "a file");

    expectFailure(run(), u"Impossible de créer le dossier d'installation.");
}

TEST_F(Installer, PlainFileWhereTheBootstrapDirectoryShouldBe) {
    platform.addFile(BOOTSTRAP, "a file");

    expectFailure(run(), u"Impossible de préparer le runtime Java embarqué.");
}

TEST_F(Installer, EmptyRuntimePayloadTouchesNoFile) {
    platform.payloads[RUNTIME_PAYLOAD] = "";

    expectFailure(run(), u"Impossible de préparer le runtime Java embarqué.");
    EXPECT_FALSE(platform.node(RUNTIME_ZIP));
}

TEST_F(Installer, NoArchiverInTheSystemDirectoryKeepsTheZip) {
    platform.remove(TAR);

    expectFailure(run(), u"Le runtime Java embarqué n'a pas pu être installé.");
    EXPECT_EQ(platform.fileBytes(RUNTIME_ZIP), test::RUNTIME_ZIP_BYTES);
}

TEST_F(Installer, ArchiverThatCannotStart) {
    platform.setProgram(TAR, nullptr);

    expectFailure(run(), u"Le runtime Java embarqué n'a pas pu être installé.");
    EXPECT_EQ(platform.starts, std::vector<Start>{UNPACK});
}

TEST_F(Installer, ArchiverEndingWithZeroWithoutTheProgramKeepsTheZip) {
    platform.setProgram(TAR, [](const std::u16string&) { return std::optional<std::uint32_t>(0); });

    expectFailure(run(), u"Le runtime Java embarqué n'a pas pu être installé.");
    EXPECT_EQ(platform.fileBytes(RUNTIME_ZIP), test::RUNTIME_ZIP_BYTES);
}

TEST_F(Installer, DirectoryNamedLikeTheRuntimeProgramIsNoRuntime) {
    platform.addDirectories(RUNTIME_PROGRAM);

    expectFailure(run(), u"Le runtime Java embarqué n'a pas pu être installé.");
    EXPECT_EQ(platform.starts, std::vector<Start>{UNPACK});  // tar cannot put the program there: status 1
}

TEST_F(Installer, ShortWriteOfTheLauncherArchiveLeavesThePartialFile) {
    installRuntime();
    platform.diskRoom = 5;

    expectFailure(run(), u"Impossible de préparer le launcher.");
    EXPECT_EQ(platform.fileBytes(ARCHIVE), test::LAUNCHER_ARCHIVE_BYTES.substr(0, 5));
}

TEST_F(Installer, LockedInstalledExecutableStopsBeforeTheShortcutAndTheLaunch) {
    platform.addFile(INSTALLED, "older installer", /*locked=*/true);

    expectFailure(run(), u"Impossible d'installer OrlexTessaline.exe dans AppData.");
    EXPECT_TRUE(platform.shortcuts.empty());
    EXPECT_EQ(platform.fileBytes(INSTALLED), "older installer");
}

// The shortcut: best effort, never reported.

TEST_F(Installer, DirectoryWithTheShortcutsNameIsTriedAndFailsSilently) {
    platform.addDirectories(SHORTCUT);

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(platform.shortcuts.size(), 1u);
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(platform.starts.back(), LAUNCH);
}

TEST_F(Installer, UnresolvableDesktopSkipsTheShortcut) {
    platform.desktop.reset();

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(platform.shortcuts.empty());
    EXPECT_EQ(platform.starts.back(), LAUNCH);
}

// The launch command line holds 3 × |local app data| + |launcher id| + 152 units (with a 16-unit runtime
// id) in a 65,535-unit buffer: 65,533 fit, 65,534 do not.

const std::u16string LONG_LOCAL_APP_DATA = u"C:\\" + std::u16string(21'787, u'a');  // 21,790 units

TEST_F(Installer, LaunchCommandLineOf65533UnitsIsAccepted) {
    platform.localAppData = LONG_LOCAL_APP_DATA;
    const std::u16string program = LONG_LOCAL_APP_DATA + RUNTIME_PROGRAM.substr(test::LOCAL_APP_DATA.size());
    platform.setProgram(program, [](const std::u16string&) { return std::optional<std::uint32_t>(0); });

    EXPECT_EQ(runBootstrap(platform, {.launcherId = u"5daaef7ca65", .runtimeId = IDS.runtimeId}), 0);
    EXPECT_TRUE(platform.boxes.empty());
    ASSERT_EQ(platform.starts.size(), 2u);
    EXPECT_EQ(platform.starts[1].program, program);
    EXPECT_EQ(platform.starts[1].commandLine.size(), 65'533u);
}

TEST_F(Installer, LaunchCommandLineOf65534UnitsIsTooLong) {
    platform.localAppData = LONG_LOCAL_APP_DATA;

    const int status = runBootstrap(platform, {.launcherId = u"5daaef7ca65c", .runtimeId = IDS.runtimeId});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(platform.boxes, std::vector<Box>{errorBox(u"Le chemin d'installation est trop long.")});
    EXPECT_EQ(platform.starts.size(), 1u);  // the unpack only
}

TEST_F(Installer, PathsAreCutAtTheirBuffer) {
    // The install root is cut to 32,767 units, and every path below it is then that same cut root.
    platform.localAppData = u"C:\\" + std::u16string(32'757, u'a');  // 32,760 units
    const std::u16string cutRoot = *platform.localAppData + u"\\OrlexT";

    expectFailure(run(), u"Impossible de préparer le runtime Java embarqué.");
    EXPECT_EQ(platform.pathKind(cutRoot), PathKind::Directory);
}

// How the launcher ended becomes the installer's exit status; the mutex is released in every case.

struct Ending {
    const char* name;
    std::optional<std::uint32_t> launcherStatus;  // nullopt: the launcher does not start
    int exitStatus;
    bool reported;
};

class LauncherEnding : public Installer, public ::testing::WithParamInterface<Ending> {};

TEST_P(LauncherEnding, BecomesTheExitStatus) {
    installRuntime();
    if (GetParam().launcherStatus)
        launcherStatus = *GetParam().launcherStatus;
    else
        platform.setProgram(RUNTIME_PROGRAM, nullptr);

    EXPECT_EQ(run(), GetParam().exitStatus);
    EXPECT_EQ(platform.boxes,
              GetParam().reported
                  ? std::vector<Box>{errorBox(
                        u"Le launcher s'est arrêté. Consultez AppData\\Local\\OrlexTessaline\\userdata.")}
                  : std::vector<Box>{});
    EXPECT_FALSE(platform.mutexes.contains(MUTEX));
}

INSTANTIATE_TEST_SUITE_P(Statuses, LauncherEnding,
                         ::testing::Values(Ending{"Zero", 0, 0, false}, Ending{"One", 1, 1, true},
                                           Ending{"Other", 0xC0000005u, static_cast<int>(0xC0000005u), true},
                                           Ending{"FailedStart", std::nullopt, -1, true}),
                         [](const ::testing::TestParamInfo<Ending>& ending) {
                             return std::string(ending.param.name);
                         });

TEST_F(Installer, UnreadableLauncherStatusCountsAsOne) {
    installRuntime();
    platform.setProgram(RUNTIME_PROGRAM,
                        [](const std::u16string&) { return std::optional<std::uint32_t>(); });

    EXPECT_EQ(run(), 1);
    EXPECT_EQ(platform.boxes,
              std::vector<Box>{errorBox(
                  u"Le launcher s'est arrêté. Consultez AppData\\Local\\OrlexTessaline\\userdata.")});
}

}  // namespace
}  // namespace orlex::bootstrap
