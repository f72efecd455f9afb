#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/file_lock.h"
#include "tests/support/temp_dir.h"

namespace orlex::common {
namespace {

// Runs tryExclusive in a real second process and returns whether it got the lock.
bool otherProcessGetsLock(const std::filesystem::path& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        const bool got = FileLock::tryExclusive(path).has_value();
        ::_exit(got ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FileLock, ExcludesOtherProcessesAndThisOneUntilReleased) {
    test::TempDir dir;
    const auto path = dir / "update.lock";
    std::optional<FileLock> held = FileLock::tryExclusive(path);
    ASSERT_TRUE(held.has_value());

    EXPECT_FALSE(otherProcessGetsLock(path));
    EXPECT_FALSE(FileLock::tryExclusive(path).has_value())
        << "a second holder in the same process must fail too";

    held->release();
    EXPECT_TRUE(otherProcessGetsLock(path));
    EXPECT_TRUE(FileLock::tryExclusive(path).has_value());
}

TEST(FileLock, IsReleasedWhenTheOwnerIsDestroyedOrMoved) {
    test::TempDir dir;
    const auto path = dir / "update.lock";
    {
        std::optional<FileLock> first = FileLock::tryExclusive(path);
        FileLock moved = std::move(*first);
        first.reset();  // the moved-from lock must not unlock the file
        EXPECT_FALSE(otherProcessGetsLock(path));
    }
    EXPECT_TRUE(otherProcessGetsLock(path));
    EXPECT_TRUE(std::filesystem::exists(path)) << "the lock file stays";
}

}  // namespace
}  // namespace orlex::common
