#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "common/failure.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "update/atomic_write.h"
#include "update/paths.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using common::IoFailure;
using common::SecurityFailure;
using test::failureMessage;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::string refusal(const fs::path& dir, const std::optional<std::string>& name) {
    return failureMessage<SecurityFailure>([&] { safe(dir, name); });
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

struct NameCase {
    std::optional<std::string> name;
    std::string message;
};

TEST(Safe, RefusesNamesOutsideTheGrammarRuleByRule) {
    TempDir root;
    const std::string longest = "app/" + std::string(216, 'a');
    const NameCase cases[] = {
        {std::nullopt, "Chemin invalide"},
        {"", "Chemin invalide"},
        {longest + "b", "Chemin invalide"},
        {"app\\x", "Chemin invalide"},
        {"app/x y", "Chemin invalide"},
        {"app/x:y", "Chemin invalide"},
        {"app/é", "Chemin invalide"},
        {"app/x*", "Chemin invalide"},
        {std::string("app/x\0y", 7), "Chemin invalide"},
        {"app/x.", "Chemin dangereux"},
        {"app//x", "Chemin dangereux"},
        {"/app/x", "Chemin dangereux"},
        {"app/x/", "Chemin dangereux"},
        {"..", "Chemin dangereux"},
        {".", "Chemin dangereux"},
        {"app/../x", "Chemin dangereux"},
        {"app/./x", "Chemin dangereux"},
        {"app/...", "Chemin dangereux"},
        {"con/x.", "Chemin dangereux"},  // the shape of every piece is checked before device names
        {"con", "Nom réservé"},
        {"Com1.txt", "Nom réservé"},
        {"lpt9.tar.gz", "Nom réservé"},
        {"app/con.txt", "Nom réservé"},
        {"app/NUL", "Nom réservé"},
        {"app/aux.x/prn", "Nom réservé"},
        {"app/com5", "Nom réservé"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name.value_or("(absent)"));
        EXPECT_EQ(refusal(root.path(), c.name), c.message);
    }
}

TEST(Safe, AcceptsNamesThatOnlyResembleReservedOnes) {
    TempDir root;
    const std::string longest = "app/" + std::string(216, 'a');
    ASSERT_EQ(longest.size(), 220u);
    for (const std::string& name :
         std::vector<std::string>{"CONSOLE", "COM0", "COM10", "LPT0", "app/xcon", "app/con_x", "app/.con",
                                  "app/.hidden", "app/a..b", "app/-_.x", "a", longest}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(safe(root.path(), name), root.path() / name);
    }
}

TEST(Safe, ReturnsTheNormalisedAbsolutePathUnderTheDirectory) {
    TempDir root;
    fs::create_directories(root / "a" / "b");
    EXPECT_EQ(safe(root / "a" / "." / "b" / "", std::string("app/x.jar")),
              root / "a" / "b" / "app" / "x.jar");
    EXPECT_EQ(safe(root / "a" / ".." / "a" / "b", std::string("x")), root / "a" / "b" / "x");
}

TEST(IsWithin, ComparesWholePieces) {
    EXPECT_TRUE(isWithin("/srv/root", "/srv/root"));
    EXPECT_TRUE(isWithin("/srv/root/app/x", "/srv/root/"));
    EXPECT_TRUE(isWithin("/srv/other/../root/x", "/srv/root"));
    EXPECT_FALSE(isWithin("/srv/rootx/app", "/srv/root"));
    EXPECT_FALSE(isWithin("/srv/root/../x", "/srv/root"));
    EXPECT_FALSE(isWithin("/srv", "/srv/root"));
    EXPECT_TRUE(isWithin("/srv/root", "/"));
}

TEST(RejectLinks, RefusesALinkInsideTheDirectoryNamingIt) {
    TempDir root;
    fs::create_directories(root / "elsewhere");
    fs::create_directories(root / "dir");
    fs::create_directory_symlink(root / "elsewhere", root / "dir" / "app");
    EXPECT_EQ(refusal(root / "dir", std::string("app/x")),
              "Lien symbolique interdit : " + (root / "dir" / "app").string());
    EXPECT_EQ(refusal(root / "dir", std::string("app")),
              "Lien symbolique interdit : " + (root / "dir" / "app").string());

    fs::create_symlink(root / "missing", root / "dir" / "dangling");
    EXPECT_EQ(refusal(root / "dir", std::string("dangling")),
              "Lien symbolique interdit : " + (root / "dir" / "dangling").string());
}

TEST(RejectLinks, RefusesALinkAboveTheDirectory) {
    TempDir root;
    fs::create_directories(root / "real" / "sub");
    fs::create_directory_symlink(root / "real", root / "link");
    const std::string expected = "Lien symbolique interdit : " + (root / "link").string();
    EXPECT_EQ(refusal(root / "link" / "sub", std::string("app/x")), expected);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { rejectLinks(root / "link" / "sub" / "absent"); }),
              expected);
}

TEST(RejectLinks, RefusesSpecialFiles) {
    TempDir root;
    fs::create_directory(root / "app");
    ASSERT_EQ(::mkfifo((root / "app" / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(refusal(root.path(), std::string("app/pipe")),
              "Point de réanalyse ou fichier spécial interdit : " + (root / "app" / "pipe").string());
    EXPECT_EQ(failureMessage<SecurityFailure>([] { rejectLinks("/dev/null"); }),
              "Point de réanalyse ou fichier spécial interdit : /dev/null");
}

TEST(RejectLinks, PassesOverMissingElementsAndPlainFiles) {
    TempDir root;
    writeFile(root / "app" / "file", "x");
    EXPECT_NO_THROW(rejectLinks(root / "app" / "file"));
    EXPECT_NO_THROW(rejectLinks(root / "absent" / "deeper" / "file"));
    EXPECT_NO_THROW(rejectLinks(root / "app" / "file" / "below"));
    EXPECT_NO_THROW(rejectLinks("/"));
}

TEST(AtomicWrite, CreatesOrReplacesTheContentAndLeavesNoTemporaryFile) {
    TempDir root;
    atomicWrite(root / "current", bytesOf("first"));
    EXPECT_EQ(readFile(root / "current"), "first");
    atomicWrite(root / "current", bytesOf("second, longer"));
    EXPECT_EQ(readFile(root / "current"), "second, longer");
    atomicWrite(root / "current", bytesOf(""));
    EXPECT_EQ(readFile(root / "current"), "");
    EXPECT_EQ(test::listFiles(root.path()), std::vector<std::string>{"current"});
}

TEST(AtomicWrite, RefusesALinkOrSpecialFileAsTargetAndLeavesItsTargetAlone) {
    TempDir root;
    writeFile(root / "real", "kept");
    fs::create_symlink(root / "real", root / "current");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { atomicWrite(root / "current", bytesOf("new")); }),
              "Lien symbolique interdit : " + (root / "current").string());
    EXPECT_EQ(readFile(root / "real"), "kept");
    EXPECT_TRUE(fs::is_symlink(root / "current"));

    fs::create_directory_symlink(root.path(), root / "above");
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { atomicWrite(root / "above" / "real", bytesOf("new")); }),
              "Lien symbolique interdit : " + (root / "above").string());
    EXPECT_EQ(readFile(root / "real"), "kept");

    ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(failureMessage<SecurityFailure>([&] { atomicWrite(root / "pipe", bytesOf("new")); }),
              "Point de réanalyse ou fichier spécial interdit : " + (root / "pipe").string());
}

TEST(AtomicWrite, LeavesTheTargetAsItWasWhenTheReplacementFails) {
    TempDir root;
    writeFile(root / "current" / "inside", "kept");
    EXPECT_THROW(atomicWrite(root / "current", bytesOf("new")), IoFailure);
    EXPECT_TRUE(fs::is_directory(root / "current"));
    EXPECT_EQ(readFile(root / "current" / "inside"), "kept");
    // what may remain is a sibling that housekeeping recognises by its name
    const std::vector<std::string> left = test::listFiles(root.path());
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], "current.tmp-" + left[0].substr(12));
    EXPECT_TRUE(
        std::regex_match(left[0].substr(12),
                         std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));

    EXPECT_THROW(atomicWrite(root / "absent" / "current", bytesOf("new")), IoFailure);
    EXPECT_FALSE(fs::exists(root / "absent"));
}

}  // namespace
}  // namespace orlex::update
