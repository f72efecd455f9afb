// Installs releases while a model of the storage device watches every flush and rename the engine
// makes (the test links with --wrap for fsync, fdatasync and rename): when the pointer is switched, the
// release it will name must already be on the device, every file and every directory of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_channel.h"
#include "update/patcher.h"

extern "C" {
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_rename(const char* from, const char* to);
}

namespace {

namespace fs = std::filesystem;
using Inode = std::pair<dev_t, ino_t>;

// What has reached the device: inodes flushed, and which directories were flushed after the last
// rename into them.
class Device {
public:
    void flushed(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return;
        std::lock_guard lock(mutex_);
        flushed_.insert({st.st_dev, st.st_ino});
        renamedInto_.erase({st.st_dev, st.st_ino});
    }

    void renaming(const fs::path& from, const fs::path& to) {
        std::lock_guard lock(mutex_);
        if (to.filename() == "current") {
            ++commits_;
            checkCommit(from);
        }
    }

    void renamed(const fs::path& to) {
        struct stat st {};
        if (::stat(to.parent_path().c_str(), &st) != 0)
            return;
        std::lock_guard lock(mutex_);
        renamedInto_.insert({st.st_dev, st.st_ino});
    }

    std::vector<std::string> problems() {
        std::lock_guard lock(mutex_);
        return problems_;
    }
    int commits() {
        std::lock_guard lock(mutex_);
        return commits_;
    }

private:
    bool onDevice(const fs::path& path) const {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && flushed_.contains({st.st_dev, st.st_ino}) &&
               !renamedInto_.contains({st.st_dev, st.st_ino});
    }

    // The pointer's temporary file holds the name of the release it is about to commit.
    void checkCommit(const fs::path& pointer) {
        const fs::path root = pointer.parent_path();
        const fs::path release = root / "releases" / orlex::test::readFile(pointer);
        if (!onDevice(pointer))
            problems_.push_back("pointer not flushed");
        if (!onDevice(root / "releases"))
            problems_.push_back("releases/ not flushed after the release moved in");
        if (!onDevice(release))
            problems_.push_back("release directory not flushed");
        for (const auto& node : fs::recursive_directory_iterator(release)) {
            if (!onDevice(node.path()))
                problems_.push_back("not on the device: " + node.path().lexically_relative(release).string());
        }
    }

    std::mutex mutex_;
    std::set<Inode> flushed_;
    std::set<Inode> renamedInto_;  // directories with a name not yet flushed
    std::vector<std::string> problems_;
    int commits_ = 0;
};

Device device;

}  // namespace

extern "C" {
int __wrap_fsync(int fd) {
    const int result = __real_fsync(fd);
    if (result == 0)
        device.flushed(fd);
    return result;
}
int __wrap_fdatasync(int fd) {
    const int result = __real_fdatasync(fd);
    if (result == 0)
        device.flushed(fd);
    return result;
}
int __wrap_rename(const char* from, const char* to) {
    device.renaming(from, to);
    const int result = __real_rename(from, to);
    if (result == 0)
        device.renamed(to);
    return result;
}
}

namespace orlex::update {
namespace {

TEST(Durability, EverythingTheNewPointerNamesIsOnTheDeviceBeforeTheSwitch) {
    test::TestChannel channel;
    test::TempDir root;
    test::TestChannel::Files game = {
        {"app/game.jar", test::randomBytes(300'000, 1)},
        {"app/lib/deep/engine.bin", test::randomBytes(120'000, 2)},
        {"assets/empty.dat", ""},
        {"+x runtime/bin/java", "#!/bin/sh\n"},
    };
    channel.publish(game, 1);
    auto engine = channel.engine(root.path());
    engine->install(engine->plan(engine->remote()));  // downloads everything

    game["app/game.jar"] = test::randomBytes(310'000, 3);
    channel.publish(game, 2);
    engine->install(engine->plan(engine->remote()));  // copies what did not change

    EXPECT_EQ(device.commits(), 2);
    EXPECT_EQ(device.problems(), std::vector<std::string>{});
}

}  // namespace
}  // namespace orlex::update
