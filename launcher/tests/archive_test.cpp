#include "launcher/archive.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/preferences.h"
#include "launcher/tests/archive_support.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "update/signature.h"

namespace orlex::launcher {
namespace {

using orlex::test::failureMessage;
using orlex::test::readBytes;
using orlex::test::TempDir;

std::string text(const std::optional<Bytes>& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<absent>";
}

TEST(LauncherArchive, GivesRootResourcesAndNothingElse) {
    TempDir dir;
    const std::string big = orlex::test::randomBytes(300'000);
    const LauncherArchive archive(test::makeArchive(
        dir.path(), {{"discord.properties", "id=42\n"}, {"backdrop.png", big}, {"empty.txt", ""}}));

    EXPECT_EQ(text(archive.resource("/discord.properties")), "id=42\n");
    EXPECT_EQ(text(archive.resource("/backdrop.png")), big);
    EXPECT_EQ(text(archive.resource("/empty.txt")), "");
    EXPECT_EQ(text(archive.resource("/META-INF/MANIFEST.MF")),
              "Manifest-Version: 1.0\r\nImplementation-Version: 9.9.9\r\n"
              "Main-Class: com.orlex.launcher.Launcher\r\n");

    EXPECT_EQ(archive.resource("/app-icon.png"), std::nullopt);
    EXPECT_EQ(archive.resource("/META-INF/"), std::nullopt);
    EXPECT_EQ(archive.resource("/"), std::nullopt);
    EXPECT_EQ(archive.resource(""), std::nullopt);
}

TEST(LauncherArchive, AMissingArchiveHasNoResourcesAndABrokenOneFails) {
    TempDir dir;
    EXPECT_EQ(LauncherArchive(dir / "absent.zip").resource("/release-public.der"), std::nullopt);

    orlex::test::writeFile(dir / "broken.zip", "PK\x03\x04 not really a zip");
    EXPECT_EQ(failureMessage<common::IoFailure>(
                  [&] { LauncherArchive(dir / "broken.zip").resource("/release-public.der"); }),
              "Archive du lanceur illisible : " + (dir / "broken.zip").string());
}

TEST(ReleaseKey, ComesFromTheArchiveAndIsRequired) {
    TempDir dir;
    const update::KeyPair pair = update::generateKeyPair();
    const std::string publicDer(pair.publicDer.begin(), pair.publicDer.end());
    const update::Ed25519Key key =
        releaseKey(LauncherArchive(test::makeArchive(dir / "good", {{"release-public.der", publicDer}})));
    const update::Bytes message{1, 2, 3};
    EXPECT_TRUE(
        update::verifySignature(key, message, update::sign(update::privateKey(pair.privateDer), message)));

    EXPECT_EQ(failureMessage<common::SecurityFailure>([&] {
                  releaseKey(LauncherArchive(test::makeArchive(dir / "none", {{"logo.png", "png"}})));
              }),
              "Clé de signature absente");
    EXPECT_EQ(
        failureMessage<common::SecurityFailure>([&] { releaseKey(LauncherArchive(dir / "absent.zip")); }),
        "Clé de signature absente");
    failureMessage<common::FormatFailure>([&] {
        releaseKey(
            LauncherArchive(test::makeArchive(dir / "short", {{"release-public.der", publicDer.substr(1)}})));
    });
}

TEST(ReleaseKey, FollowsTheArchiveChosenForTheProcess) {
    TempDir dir;
    useArchive(test::makeArchive(dir.path(), {{"logo.png", "png"}}));
    EXPECT_EQ(launcherArchive().path(), dir / "launcher.zip");
    EXPECT_EQ(failureMessage<common::SecurityFailure>([] { releaseKey(launcherArchive()); }),
              "Clé de signature absente");
}

// The archive the build puts beside the program: the manifest entries first, in this order, then the
// release key; every entry deflated, no archive comment.
TEST(BuiltArchive, StartsWithItsManifestAndCarriesTheReleaseKey) {
    EXPECT_EQ(defaultArchivePath().filename(), "launcher.zip");
    EXPECT_EQ(defaultArchivePath().parent_path().filename(), "app");

    int error = 0;
    zip_t* zip = zip_open(ORLEX_LAUNCHER_ARCHIVE, ZIP_RDONLY, &error);
    ASSERT_NE(zip, nullptr);
    std::vector<std::string> names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
        names.emplace_back(zip_get_name(zip, static_cast<zip_uint64_t>(i), 0));
        zip_stat_t stat;
        ASSERT_EQ(zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat), 0);
        if (!names.back().ends_with('/')) {
            EXPECT_EQ(stat.comp_method, ZIP_CM_DEFLATE) << names.back();
        }
    }
    int commentLength = -1;
    zip_get_archive_comment(zip, &commentLength, 0);
    EXPECT_EQ(commentLength, 0);
    zip_discard(zip);
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[0], "META-INF/");
    EXPECT_EQ(names[1], "META-INF/MANIFEST.MF");

    const LauncherArchive built(ORLEX_LAUNCHER_ARCHIVE);
    EXPECT_EQ(text(built.resource("/META-INF/MANIFEST.MF")),
              "Manifest-Version: 1.0\r\nImplementation-Version: " ORLEX_PROJECT_VERSION
              "\r\nMain-Class: com.orlex.launcher.Launcher\r\n");
    const std::optional<Bytes> key = built.resource("/release-public.der");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 44u);
    update::publicKey(*key);
}

TEST(DefaultRoot, IsTheChosenInstallationElseOrlexTessalineInTheHomeDirectory) {
    TempDir dir;
    common::usePreferenceDirectory((dir / "config").string());
    ASSERT_EQ(setenv("HOME", (dir / "home").c_str(), 1), 0);
    EXPECT_EQ(defaultRoot(), dir / "home" / "OrlexTessaline");

    common::Preferences(PREFS).put("installation", (dir / "Jeux Orlex").string());
    EXPECT_EQ(defaultRoot(), dir / "Jeux Orlex");
}

}  // namespace
}  // namespace orlex::launcher
