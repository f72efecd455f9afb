#include "update/patcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include "common/failure.h"
#include "common/file_lock.h"
#include "common/interruption.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_channel.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::IoFailure;
using common::SecurityFailure;
using test::failureMessage;
using test::Fault;
using test::readFile;
using test::TestChannel;
using test::writeFile;

const TestChannel::Files GAME = {
    {"app/game.jar", test::randomBytes(300'000, 1)},
    {"app/lib/engine.bin", test::randomBytes(120'000, 2)},
    {"assets/intro.bin", test::randomBytes(50'000, 3)},
    {"assets/empty.dat", ""},
    {"+x runtime/bin/java", "#!/bin/sh\necho runtime\n"},
};

struct RecordedProgress {
    std::mutex mutex;
    std::vector<Progress> events;
    void listen(Patcher& engine) {
        engine.onProgress([this](const Progress& p) {
            std::lock_guard lock(mutex);
            events.push_back(p);
        });
    }
    std::vector<std::string> phases() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const Progress& p : events)
            out.push_back(p.phase);
        return out;
    }
};

std::vector<std::string> children(const fs::path& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir))
        return names;
    for (const auto& child : fs::directory_iterator(dir))
        names.push_back(child.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t blobRequests(TestChannel& channel) {
    std::size_t count = 0;
    for (const auto& request : channel.server().requests())
        count += request.path.starts_with("/blobs/");
    return count;
}

class PatcherTest : public ::testing::Test {
protected:
    TestChannel channel;
    test::TempDir root;

    std::unique_ptr<Patcher> installFresh(const TestChannel::Files& files = GAME, std::int64_t sequence = 1) {
        channel.publish(files, sequence);
        auto engine = channel.engine(root.path());
        engine->install(engine->plan(engine->remote()));
        return engine;
    }
};

TEST_F(PatcherTest, RefusesChannelsAndRootsBeforeAnyRequest) {
    const auto key = channel.publicKey();
    const auto make = [&](const std::string& base, const fs::path& where) {
        Patcher(base, key, where, "client");
    };
    for (const std::string& base : std::vector<std::string>{
             "http://127.0.0.1/client/", "https://127.0.0.1/client/?a=1", "https://u:p@127.0.0.1/c/",
             "https://127.0.0.1/c/#top", "not a url", "https:///c/"}) {
        EXPECT_EQ(failureMessage<SecurityFailure>([&] { make(base, root.path()); }),
                  "Distribution HTTPS requise")
            << base;
    }
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { make("https://127.0.0.1/client", root.path()); }),
              "URL de canal invalide");

    fs::create_directory(root / "real");
    fs::create_directory_symlink(root / "real", root / "link");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { make(channel.baseUrl(), root / "link" / "game"); }),
              "Lien symbolique interdit : " + (root / "link").string());
    EXPECT_FALSE(fs::exists(root / "real" / "game"));
    EXPECT_TRUE(channel.server().requests().empty());
}

TEST_F(PatcherTest, FetchesSeveralFilesAtOnceWhileReportsAndFailuresKeepManifestOrder) {
    channel.publish(GAME, 1);
    auto engine = channel.engine(root.path());
    RecordedProgress recorded;
    recorded.listen(*engine);
    const std::string held = TestChannel::blobPath(GAME.at("app/game.jar"));
    channel.server().inject(held, Fault::stallFor(std::chrono::seconds(3)));
    const auto completed = [&](const std::string& path) {
        const std::lock_guard lock(recorded.mutex);
        return std::any_of(recorded.events.begin(), recorded.events.end(),
                           [&](const Progress& p) { return p.phase == path && p.completed == 300'000; });
    };

    std::jthread installing([&] { engine->install(engine->plan(engine->remote())); });
    for (const char* later : {"app/lib/engine.bin", "assets/intro.bin"}) {
        while (channel.server().rangesFor(TestChannel::blobPath(GAME.at(later))).empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(completed("app/game.jar")) << "the later files waited for the first one";
    installing.join();
    EXPECT_NO_THROW((void)engine->verifiedRelease());
    EXPECT_LE(channel.server().handshakes(), 5u);  // the manifest's connection and at most four more

    // Each file's reports come together, in manifest order, counting up.
    std::vector<std::string> order;
    std::int64_t last = 0;
    for (const Progress& p : recorded.events) {
        if (order.empty() || order.back() != p.phase)
            order.push_back(p.phase);
        EXPECT_GE(p.completed, last) << p.phase;
        last = p.completed;
    }
    EXPECT_EQ(order, (std::vector<std::string>{"app/game.jar", "app/lib/engine.bin", "assets/empty.dat",
                                               "assets/intro.bin", "runtime/bin/java", "Prêt"}));

    // A file failing later in the manifest but sooner in time waits for the earlier file's failure.
    const std::string changed = test::randomBytes(300'000, 9);
    TestChannel::Files next = GAME;
    next["app/game.jar"] = changed;
    next["app/lib/engine.bin"] = test::randomBytes(120'000, 8);
    channel.publish(next, 2);
    writeFile(channel.channelDir() / fs::path(TestChannel::blobPath(changed)).relative_path(),
              test::randomBytes(300'000, 10));
    channel.server().inject(TestChannel::blobPath(changed), Fault::stallFor(std::chrono::seconds(1)));
    channel.server().inject(TestChannel::blobPath(next.at("app/lib/engine.bin")), Fault::answer(500), 4);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->install(engine->plan(engine->remote())); }),
              "SHA-256 incorrect : app/game.jar");
}

TEST_F(PatcherTest, FilesOfTheSameContentFetchedAtOnceEachGetTheirOwnDownload) {
    // Runtimes ship many identical files (licence copies, empty markers).
    const std::string shared = test::randomBytes(2'000'000, 4);
    const TestChannel::Files files = {{"app/a.bin", shared},      {"app/b.bin", shared},
                                      {"assets/c.bin", shared},   {"runtime/legal/d.bin", shared},
                                      {"assets/empty-1.dat", ""}, {"assets/empty-2.dat", ""}};
    channel.publish(files, 1);
    // Every request for the shared blob is held a moment, so the four are on the wire together.
    channel.server().inject(TestChannel::blobPath(shared), Fault::stallFor(std::chrono::milliseconds(300)),
                            4);
    auto engine = channel.engine(root.path());

    engine->install(engine->plan(engine->remote()));

    const fs::path active = engine->verifiedRelease();
    for (const auto& [path, content] : files)
        EXPECT_EQ(readFile(active / path), content) << path;
}

TEST_F(PatcherTest, InstallsAFreshReleaseThatThenVerifies) {
    const std::string id = channel.publish(GAME, 1);
    auto engine = channel.engine(root.path());
    RecordedProgress progress;
    progress.listen(*engine);
    EXPECT_FALSE(engine->installed().has_value());

    const Signed release = engine->remote();
    EXPECT_EQ(release.id, id);
    const Plan plan = engine->plan(release);
    EXPECT_EQ(plan.files, 5);
    EXPECT_EQ(plan.bytes, 300'000 + 120'000 + 50'000 + 23);
    EXPECT_EQ(plan.release.id, id);
    engine->install(plan);

    const std::string pointer = readFile(root / "current");
    ASSERT_EQ(pointer.size(), 97u);
    EXPECT_TRUE(pointer.starts_with(id + "-"));
    const fs::path active = engine->verifiedRelease();
    EXPECT_EQ(active, root / "releases" / pointer);
    EXPECT_EQ(readFile(active / "app/game.jar"), GAME.at("app/game.jar"));
    EXPECT_EQ(fs::file_size(active / "assets/empty.dat"), 0u);
    EXPECT_EQ(readFile(active / "manifest.json"), std::string(release.bytes.begin(), release.bytes.end()));
    EXPECT_EQ(fs::file_size(active / "manifest.sig"), 64u);
    EXPECT_EQ(fs::status(active / "runtime/bin/java").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(fs::status(active / "app/game.jar").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(children(root.path()),
              (std::vector<std::string>{"current", "releases", "staging", "update.lock"}));
    EXPECT_TRUE(children(root / "staging").empty());
    EXPECT_EQ(engine->installed()->id, id);

    std::lock_guard lock(progress.mutex);
    ASSERT_FALSE(progress.events.empty());
    const Progress& last = progress.events.back();
    EXPECT_EQ(last.phase, "Prêt");
    EXPECT_EQ(last.completed, plan.bytes);
    EXPECT_EQ(last.total, plan.bytes);
    for (const Progress& p : progress.events)
        EXPECT_LE(p.completed, plan.bytes) << p.phase;
}

TEST_F(PatcherTest, AVerificationAskedToStopEndsInterruptedWithoutAVerdict) {
    auto engine = installFresh();
    std::stop_source stop;
    stop.request_stop();
    const common::ScopedStopToken scope(stop.get_token());
    EXPECT_THROW((void)engine->verifiedRelease(), common::Interrupted);
}

TEST_F(PatcherTest, InstallingTheIntactReleaseAgainOnlyTidies) {
    auto engine = installFresh();
    const std::string pointer = readFile(root / "current");
    const std::size_t requestsBefore = channel.server().requests().size();
    fs::create_directories(root / "staging" / std::string(64, 'a'));
    writeFile(root / ("current.tmp-" + std::string(36, '1')), "leftover");
    // A folder chosen as the root may have held these before: they are the player's, not the engine's.
    writeFile(root / "releases" / "notes.txt", "mine");
    writeFile(root / "staging" / "mine" / "a.txt", "mine");

    RecordedProgress progress;
    progress.listen(*engine);
    engine->install(engine->plan(*engine->installed()));

    EXPECT_EQ(progress.phases(), std::vector<std::string>{"Prêt"});
    EXPECT_EQ(progress.events[0].completed, 0);
    EXPECT_EQ(progress.events[0].total, 0);
    EXPECT_EQ(readFile(root / "current"), pointer);
    EXPECT_EQ(children(root / "releases"), (std::vector<std::string>{pointer, "notes.txt"}));
    EXPECT_EQ(children(root / "staging"), std::vector<std::string>{"mine"});
    EXPECT_EQ(readFile(root / "staging" / "mine" / "a.txt"), "mine");
    EXPECT_FALSE(fs::exists(root / ("current.tmp-" + std::string(36, '1'))));
    EXPECT_EQ(channel.server().requests().size(), requestsBefore);
}

TEST_F(PatcherTest, RepairsOneAlteredFileKeepingTheDamagedReleaseAsFallback) {
    auto engine = installFresh();
    const std::string damaged = readFile(root / "current");
    writeFile(root / "releases" / damaged / "app/lib/engine.bin", "tampered");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->verifiedRelease(); }),
              "Réparation requise : app/lib/engine.bin");

    const Signed release = *engine->installed();
    const Plan plan = engine->plan(release);
    EXPECT_EQ(plan.files, 1);
    EXPECT_EQ(plan.bytes, 120'000);
    RecordedProgress progress;
    progress.listen(*engine);
    const std::size_t blobsBefore = blobRequests(channel);
    engine->install(plan);

    const std::string repaired = readFile(root / "current");
    EXPECT_NE(repaired, damaged);
    EXPECT_TRUE(repaired.starts_with(release.id + "-"));
    EXPECT_EQ(children(root / "releases"),
              (std::vector<std::string>{std::min(damaged, repaired), std::max(damaged, repaired)}));
    EXPECT_EQ(blobRequests(channel), blobsBefore + 1);
    const std::vector<std::string> phases = progress.phases();
    EXPECT_EQ(std::count(phases.begin(), phases.end(), "Préparation · app/game.jar"), 1);
    EXPECT_EQ(std::count(phases.begin(), phases.end(), "Préparation · runtime/bin/java"), 1);
    EXPECT_EQ(phases.back(), "Prêt");
    EXPECT_EQ(engine->verifiedRelease(), root / "releases" / repaired);
    // Intact files are taken over as the same file, nothing copied; the damaged one is a new file.
    const auto inode = [&](const std::string& directory, const char* path) {
        struct stat st {};
        ::stat((root / "releases" / directory / path).c_str(), &st);
        return st.st_ino;
    };
    EXPECT_EQ(inode(repaired, "app/game.jar"), inode(damaged, "app/game.jar"));
    EXPECT_NE(inode(repaired, "app/lib/engine.bin"), inode(damaged, "app/lib/engine.bin"));

    (void)engine->plan(release);  // the next planning keeps only the active release
    EXPECT_EQ(children(root / "releases"), std::vector<std::string>{repaired});
}

TEST_F(PatcherTest, AStrayFileIsRefusedAndAReinstallCopiesWithoutDownloading) {
    auto engine = installFresh();
    const fs::path active = root / "releases" / readFile(root / "current");
    writeFile(active / "app/mods/cheat.dll", "x");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->verifiedRelease(); }),
              "Fichier non signé dans l’installation : cheat.dll");

    const std::size_t blobsBefore = blobRequests(channel);
    engine->install(engine->plan(*engine->installed()));
    EXPECT_EQ(blobRequests(channel), blobsBefore);
    EXPECT_NE(engine->verifiedRelease(), active);
}

TEST_F(PatcherTest, AFailedInstallLeavesTheOldReleaseAndTheNextOneResumes) {
    auto engine = installFresh();
    const std::string before = readFile(root / "current");
    const std::string big = test::randomBytes(400'000, 9);
    TestChannel::Files next = GAME;
    next["app/game.jar"] = big;
    next["app/aaa.bin"] = "new file";  // before the cut file in manifest order
    channel.publish(next, 2);
    channel.server().inject(TestChannel::blobPath(big), Fault::cutAfter(50'000), 4);

    const Signed release = engine->remote();
    EXPECT_EQ(failureMessage<IoFailure>([&] { engine->install(engine->plan(release)); }),
              "Téléchargement interrompu ; réessayez pour reprendre");
    EXPECT_EQ(readFile(root / "current"), before);
    EXPECT_NO_THROW((void)engine->verifiedRelease());
    EXPECT_EQ(children(root / "staging"), std::vector<std::string>{release.id});

    const std::size_t newFileRequests = channel.server().rangesFor(TestChannel::blobPath("new file")).size();
    engine->install(engine->plan(release));
    const std::vector<std::string> ranges = channel.server().rangesFor(TestChannel::blobPath(big));
    EXPECT_EQ(ranges, (std::vector<std::string>{"", "bytes=50000-", "bytes=100000-", "bytes=150000-",
                                                "bytes=200000-"}))
        << "every attempt, and the next installation, resumes from what arrived";
    EXPECT_EQ(channel.server().rangesFor(TestChannel::blobPath("new file")).size(), newFileRequests)
        << "a file completed by the failed attempt is not fetched again";
    EXPECT_EQ(readFile(engine->verifiedRelease() / "app/game.jar"), big);
    EXPECT_TRUE(children(root / "staging").empty());
}

TEST_F(PatcherTest, ReadsThePointerStrictly) {
    auto engine = installFresh();
    const std::string pointer = readFile(root / "current");
    writeFile(root / "current", pointer + "\r\n");
    EXPECT_TRUE(engine->installed().has_value());

    writeFile(root / "current", pointer.substr(0, 64));
    EXPECT_FALSE(engine->installed().has_value()) << "a release directory without its manifest files";

    for (const std::string& bad :
         std::vector<std::string>{"garbage", std::string(64, 'A'), pointer + "0", "../" + pointer}) {
        writeFile(root / "current", bad);
        EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->installed(); }), "État local invalide")
            << bad;
    }

    // Read as a regular file only: never through a link, never waiting on a pipe, never at any length.
    writeFile(root / "pointer-elsewhere", pointer);
    fs::remove(root / "current");
    fs::create_symlink(root / "pointer-elsewhere", root / "current");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->installed(); }),
              "Lien symbolique interdit : " + (root / "current").string());
    fs::remove(root / "current");
    ASSERT_EQ(::mkfifo((root / "current").c_str(), 0600), 0);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->installed(); }),
              "Point de réanalyse ou fichier spécial interdit : " + (root / "current").string());
    fs::remove(root / "current");
    writeFile(root / "current", pointer + std::string(5000, ' '));
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->installed(); }), "État local invalide");

    const std::string other = std::string(64, 'b') + pointer.substr(64);
    fs::rename(root / "releases" / pointer, root / "releases" / other);
    writeFile(root / "current", other);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->installed(); }), "Identité locale invalide");
}

TEST_F(PatcherTest, RefusesRollbacksInPlanAndInstall) {
    channel.publish(GAME, 5);
    auto engine = channel.engine(root.path());
    const Signed five = engine->remote();
    engine->install(engine->plan(five));

    const std::string rollback = "Rollback non autorisé ; publier une nouvelle séquence signée";
    channel.publish({{"app/game.jar", "older"}}, 4);
    const Signed four = engine->remote();
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->plan(four); }), rollback);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->install(engine->plan(four)); }), rollback);

    channel.publish({{"app/game.jar", "other five"}}, 5);
    const Signed otherFive = engine->remote();
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->install(engine->plan(otherFive)); }), rollback);
    EXPECT_NO_THROW((void)engine->plan(five));
    EXPECT_EQ(engine->installed()->id, five.id);
}

TEST_F(PatcherTest, ATamperedChannelManifestInstallsNothing) {
    channel.publish(GAME, 1);
    std::string envelope = readFile(channel.channelDir() / "current.json");
    envelope[20] = envelope[20] == 'A' ? 'B' : 'A';
    writeFile(channel.channelDir() / "current.json", envelope);
    auto engine = channel.engine(root.path());
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { engine->remote(); }), "Signature invalide");
    EXPECT_FALSE(fs::exists(root / "current"));
}

TEST_F(PatcherTest, TheLockExcludesOtherProcessesAndThisOne) {
    channel.publish(GAME, 1);
    auto engine = channel.engine(root.path());
    const Signed release = engine->remote();

    int ready[2];
    int release_[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release_), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        auto held = common::FileLock::tryExclusive(root / "update.lock");
        char c = held ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release_[0], &c, 1);
        ::_exit(0);
    }
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1);
    ASSERT_EQ(got, 'y');
    EXPECT_EQ(failureMessage<IoFailure>([&] { (void)engine->plan(release); }), "Installation déjà utilisée");
    EXPECT_EQ(failureMessage<IoFailure>([&] { engine->install(engine->plan(release)); }),
              "Installation déjà utilisée");
    (void)!::write(release_[1], "x", 1);
    int status = 0;
    ::waitpid(holder, &status, 0);
    for (int fd : {ready[0], ready[1], release_[0], release_[1]})
        ::close(fd);

    Lock mine = engine->lock();
    EXPECT_EQ(failureMessage<IoFailure>([&] { (void)engine->lock(); }), "Installation déjà utilisée");
    EXPECT_EQ(failureMessage<IoFailure>([&] { engine->install(engine->plan(release)); }),
              "Installation déjà utilisée");
    mine.release();
    engine->install(engine->plan(release));
    EXPECT_NO_THROW((void)engine->verifiedRelease());
}

TEST_F(PatcherTest, LinksInsideAReleaseAreRefusedAndNeverFollowedByHousekeeping) {
    auto engine = installFresh();
    const fs::path active = root / "releases" / readFile(root / "current");
    test::TempDir outside;
    writeFile(outside / "precious.txt", "keep me");
    fs::create_directory_symlink(outside.path(), active / "app" / "linked");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->verifiedRelease(); }),
              "Lien symbolique interdit : " + (active / "app" / "linked").string());

    // A stale release holding a link: housekeeping removes the link itself, never what it points to.
    const fs::path stale = root / "releases" / (std::string(64, 'c') + "-" + std::string(32, 'd'));
    fs::create_directories(stale);
    fs::create_directory_symlink(outside.path(), stale / "through");
    fs::remove(active / "app" / "linked");
    (void)engine->plan(*engine->installed());
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_EQ(readFile(outside / "precious.txt"), "keep me");
}

TEST_F(PatcherTest, AKilledInstallationNeverLeavesAHalfBuiltReleaseActive) {
    auto engine = installFresh();
    TestChannel::Files next;
    for (int i = 0; i < 12; ++i)
        next["app/part" + std::to_string(i) + ".bin"] = test::randomBytes(150'000, 100 + i);
    channel.publish(next, 2);
    const Signed release = engine->remote();
    const std::string oldId = engine->installed()->id;

    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        const pid_t child = ::fork();
        if (child == 0) {
            try {
                auto killed = channel.engine(root.path());
                killed->install(killed->plan(release));
            } catch (...) {
            }
            ::_exit(0);
        }
        ::usleep(std::uniform_int_distribution<int>(0, 60'000)(random));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        const std::optional<Signed> now = engine->installed();
        ASSERT_TRUE(now.has_value());
        EXPECT_TRUE(now->id == oldId || now->id == release.id);
        EXPECT_NO_THROW(engine->verifiedRelease()) << "round " << round;
    }
    engine->install(engine->plan(release));
    EXPECT_EQ(engine->installed()->id, release.id);
    EXPECT_EQ(readFile(engine->verifiedRelease() / "app/part11.bin"), next.at("app/part11.bin"));
}

TEST_F(PatcherTest, InstallsReleasesWhoseNamesLookLikeDownloadFilesOrAreAsLongAsAllowed) {
    const std::string longName = "assets/" + std::string(213, 'n');  // 220 characters, the most allowed
    TestChannel::Files first = {
        {"app/x", test::randomBytes(200'000, 21)},
        {"app/x.part", test::randomBytes(150'000, 22)},
        {"app/x.incoming", test::randomBytes(90'000, 23)},
        {"app/y", "y"},
        {"app/y.part/inside", "a directory named like a download file"},
        {longName, test::randomBytes(10'000, 24)},
    };
    auto engine = installFresh(first);
    const fs::path active = engine->verifiedRelease();
    for (const auto& [path, content] : first)
        EXPECT_EQ(readFile(active / path), content) << path;

    // Changed files download while their look-alikes are copied from the active release beside them.
    TestChannel::Files second = first;
    second["app/x"] = test::randomBytes(210'000, 31);
    second["app/y"] = "y, changed";
    second[longName] = test::randomBytes(12'000, 32);
    channel.publish(second, 2);
    engine->install(engine->plan(engine->remote()));
    const fs::path updated = engine->verifiedRelease();
    for (const auto& [path, content] : second)
        EXPECT_EQ(readFile(updated / path), content) << path;
    EXPECT_TRUE(children(root / "staging").empty());
}

TEST_F(PatcherTest, ResumesFromPartialFilesThatAnEarlierLauncherLeftBesideTheEntry) {
    const std::string big = test::randomBytes(300'000, 41);
    channel.publish({{"app/big.bin", big}, {"app/small.bin", "small"}}, 1);
    auto engine = channel.engine(root.path());
    const Signed release = engine->remote();
    writeFile(root / "staging" / release.id / "app/big.bin.part", big.substr(0, 120'000));

    engine->install(engine->plan(release));
    EXPECT_EQ(channel.server().rangesFor(TestChannel::blobPath(big)),
              std::vector<std::string>{"bytes=120000-"});
    EXPECT_EQ(readFile(engine->verifiedRelease() / "app/big.bin"), big);
}

TEST_F(PatcherTest, ADamagedActiveReleaseIsReinstalledWhileVerificationStillReportsIt) {
    auto engine = installFresh();
    const fs::path damaged = root / "releases" / readFile(root / "current");
    writeFile(damaged / "manifest.json", "");  // what a power cut before the data reached the disk leaves
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { (void)engine->verifiedRelease(); }),
              "Signature invalide");

    const Signed release = engine->remote();
    EXPECT_EQ(engine->plan(release).files, static_cast<std::int32_t>(GAME.size()));
    EXPECT_TRUE(fs::exists(damaged / "app/game.jar")) << "kept until a new release replaces it";
    engine->install(engine->plan(release));
    EXPECT_EQ(engine->installed()->id, release.id);
    EXPECT_NO_THROW((void)engine->verifiedRelease());
    EXPECT_FALSE(fs::exists(damaged));
}

TEST_F(PatcherTest, InstallTrustsThePlanOnlyForFilesThatDidNotChangeSinceIt) {
    auto engine = installFresh();
    TestChannel::Files next = GAME;
    next["app/game.jar"] = "changed";
    channel.publish(next, 2);
    const Plan plan = engine->plan(engine->remote());
    EXPECT_EQ(plan.files, 1);

    // Damaged after planning, with its size kept: the plan's verdict no longer holds for it.
    const fs::path active = root / "releases" / readFile(root / "current");
    writeFile(active / "assets/intro.bin", test::randomBytes(50'000, 99));
    const std::size_t blobsBefore = blobRequests(channel);
    engine->install(plan);

    EXPECT_EQ(blobRequests(channel), blobsBefore + 2);
    EXPECT_EQ(readFile(engine->verifiedRelease() / "assets/intro.bin"), GAME.at("assets/intro.bin"));
}

TEST_F(PatcherTest, InstallsWhenTheHostCannotTellItsNumberOfCores) {
    auto engine = installFresh();
    TestChannel::Files next = GAME;
    next["app/game.jar"] = "changed";
    channel.publish(next, 2);
    PatcherSettings settings = channel.engineSettings();
    settings.cores = [] { return 0u; };
    Patcher unknownCores(channel.baseUrl(), channel.publicKey(), root.path(), "client", settings);

    unknownCores.install(
        unknownCores.plan(unknownCores.remote()));  // copies unchanged files and hashes with one worker
    EXPECT_EQ(readFile(unknownCores.verifiedRelease() / "app/game.jar"), "changed");
}

TEST(DeleteTree, RemovesFilesAndLinksButNothingBehindALink) {
    test::TempDir dir;
    test::TempDir outside;
    writeFile(outside / "kept.txt", "kept");
    writeFile(dir / "tree/a/b/file.txt", "x");
    fs::create_directory_symlink(outside.path(), dir / "tree/a/dirlink");
    fs::create_symlink(outside / "kept.txt", dir / "tree/filelink");
    Patcher::deleteTree(dir / "tree");
    EXPECT_FALSE(fs::exists(dir / "tree"));
    EXPECT_EQ(readFile(outside / "kept.txt"), "kept");
    EXPECT_NO_THROW(Patcher::deleteTree(dir / "absent"));
}

}  // namespace
}  // namespace orlex::update
