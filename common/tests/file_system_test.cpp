#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/failure.h"
#include "common/file_system.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::common {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(NodeKind, TellsLinksAndSpecialFilesWithoutFollowingThem) {
    TempDir dir;
    writeFile(dir / "file", "x");
    fs::create_directory(dir / "sub");
    fs::create_symlink(dir / "file", dir / "link");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    EXPECT_EQ(nodeKind(dir / "file"), NodeKind::Regular);
    EXPECT_EQ(nodeKind(dir / "sub"), NodeKind::Directory);
    EXPECT_EQ(nodeKind(dir / "link"), NodeKind::SymbolicLink);
    EXPECT_EQ(nodeKind(dir / "dangling"), NodeKind::SymbolicLink);
    EXPECT_EQ(nodeKind(dir / "fifo"), NodeKind::Special);
    EXPECT_EQ(nodeKind(dir / "absent"), NodeKind::Missing);
    EXPECT_EQ(nodeKind(dir / "file" / "below"), NodeKind::Missing);
    EXPECT_EQ(nodeKind("/dev/null"), NodeKind::Special);
}

TEST(WriteNewFile, CreatesExclusivelyAndRestrictsOwnerOnlyFiles) {
    TempDir dir;
    writeNewFile(dir / "secret", bytesOf("k"), {.ownerOnly = true, .durable = true});
    EXPECT_EQ(readFile(dir / "secret"), "k");
    EXPECT_EQ(fs::status(dir / "secret").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_THROW(writeNewFile(dir / "secret", bytesOf("other"), {}), IoFailure);
    EXPECT_EQ(readFile(dir / "secret"), "k");

    fs::create_symlink(dir / "target", dir / "link");
    EXPECT_THROW(writeNewFile(dir / "link", bytesOf("x"), {}), IoFailure);
    EXPECT_FALSE(fs::exists(dir / "target"));
}

TEST(ReplaceFile, RenamesOverAnExistingFile) {
    TempDir dir;
    writeFile(dir / "new", "fresh");
    writeFile(dir / "old", "stale");
    replaceFile(dir / "new", dir / "old");
    syncDirectory(dir.path());
    EXPECT_EQ(readFile(dir / "old"), "fresh");
    EXPECT_FALSE(fs::exists(dir / "new"));
}

TEST(CopyFileContent, CopiesLargeAndEmptyFilesAndTruncatesLeftovers) {
    TempDir dir;
    const std::string big = test::randomBytes(3'000'001);
    writeFile(dir / "big", big);
    writeFile(dir / "empty", "");
    writeFile(dir / "leftover", std::string(5'000'000, 'z'));

    copyFileContent(dir / "big", dir / "leftover", true);
    EXPECT_EQ(readFile(dir / "leftover"), big);
    copyFileContent(dir / "empty", dir / "copy", false);
    EXPECT_EQ(readFile(dir / "copy"), "");
    EXPECT_THROW(copyFileContent(dir / "absent", dir / "x", false), IoFailure);
}

TEST(IsExecutable, FollowsTheFileMode) {
    TempDir dir;
    writeFile(dir / "tool", "#!/bin/sh\n");
    EXPECT_EQ(isExecutable(dir / "tool"), false);
    fs::permissions(dir / "tool", fs::perms::owner_exec, fs::perm_options::add);
    EXPECT_TRUE(isExecutable(dir / "tool"));
}

}  // namespace
}  // namespace orlex::common
