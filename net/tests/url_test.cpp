#include "net/url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace orlex::net {
namespace {

std::optional<std::string> resolved(const std::string& base, const std::string& reference) {
    const std::optional<Url> url = Url::parse(base)->resolve(reference);
    return url ? std::optional(url->text()) : std::nullopt;
}

// The account service answers a form post with a redirect relative to the form's target; its dot
// segments must go, as a browser would resolve it.
TEST(Url, AnAccountRedirectResolvesWithItsDotSegmentsRemoved) {
    const std::string target = "https://halvo.example/halvoid/api/login.php";
    EXPECT_EQ(resolved(target, "../account.php"), "https://halvo.example/halvoid/account.php");
    EXPECT_EQ(resolved(target, "./../../compte/./profil/../"), "https://halvo.example/compte/");
    EXPECT_EQ(resolved(target, "/halvoid/../../../x"), "https://halvo.example/x");
    EXPECT_EQ(resolved(target, "//www.halvo.example/a/../b"), "https://www.halvo.example/b");
}

TEST(Url, EveryKindOfReferenceResolvesAgainstTheWholeBase) {
    const std::string base = "https://halvo.example/halvoid/login.php?next=1#top";
    EXPECT_EQ(resolved(base, ""), "https://halvo.example/halvoid/login.php?next=1");
    EXPECT_EQ(resolved(base, "#form"), "https://halvo.example/halvoid/login.php?next=1#form");
    EXPECT_EQ(resolved(base, "?next=2"), "https://halvo.example/halvoid/login.php?next=2");
    EXPECT_EQ(resolved(base, "create.php"), "https://halvo.example/halvoid/create.php");
    EXPECT_EQ(resolved(base, "http://other.example/"), "http://other.example/");
    EXPECT_EQ(resolved(base, "https:///nohost"), std::nullopt);
    EXPECT_EQ(resolved(base, "///nohost"), std::nullopt);
    EXPECT_EQ(resolved(base, "mailto:someone@halvo.example"), std::nullopt);
}

TEST(Url, OnlyAbsoluteUrlsNamingAHostAreRead) {
    for (const char* text : {"https:///c/", "/relative", "halvo.example/x", "https:/h/", "https://h/a b", ""})
        EXPECT_EQ(Url::parse(text), std::nullopt) << text;

    const Url url = *Url::parse("HTTPS://u:p@[::1]:8443/a/./b/../c?q#f");
    EXPECT_EQ(url.scheme(), "https");
    EXPECT_EQ(url.host(), "::1");
    EXPECT_EQ(url.user(), "u");
    EXPECT_EQ(url.password(), "p");
    EXPECT_EQ(url.path(), "/a/c");
    EXPECT_EQ(url.query(), "q");
    EXPECT_EQ(url.fragment(), "f");

    const Url bare = *Url::parse("https://WWW.Halvo.example");
    EXPECT_EQ(bare.host(), "www.halvo.example");
    EXPECT_EQ(bare.path(), "/");
    EXPECT_EQ(bare.user(), std::nullopt);
    EXPECT_EQ(bare.query(), std::nullopt);
}

}  // namespace
}  // namespace orlex::net
