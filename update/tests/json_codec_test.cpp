#include <gtest/gtest.h>

#include <string>

#include "common/failure.h"
#include "update/json_codec.h"

namespace orlex::update {
namespace {

using common::FormatFailure;

const std::string DIGEST = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

Entry sized(std::optional<std::string> path, std::int64_t size) {
    Entry e;
    e.path = std::move(path);
    e.size = size;
    return e;
}

Manifest fullManifest() {
    Manifest m;
    m.schema = 1;
    m.minLauncher = 1;
    m.restartRequired = true;
    m.sequence = 42;
    m.expires = 1'700'000'000;
    m.version = "1.2.3-rc_1";
    m.platform = "linux-x64";
    m.product = "client";
    m.files = std::vector<Entry>{
        Entry{"app/game.jar", DIGEST, "blobs/" + DIGEST, 1234, false},
        Entry{"runtime/bin/java", DIGEST, "blobs/" + DIGEST, 0, true},
    };
    return m;
}

TEST(JsonCodecWrite, WritesManifestCompactlyInDeclaredMemberOrder) {
    EXPECT_EQ(JSON.write(fullManifest()),
              R"({"schema":1,"minLauncher":1,"restartRequired":true,"sequence":42,"expires":1700000000,)"
              R"("version":"1.2.3-rc_1","platform":"linux-x64","product":"client","files":[)"
              R"({"path":"app/game.jar","sha256":")" +
                  DIGEST + R"(","url":"blobs/)" + DIGEST + R"(","size":1234,"executable":false},)" +
                  R"({"path":"runtime/bin/java","sha256":")" + DIGEST + R"(","url":"blobs/)" + DIGEST +
                  R"(","size":0,"executable":true}]})");
}

TEST(JsonCodecWrite, LeavesAbsentMembersOutAndKeepsScalars) {
    EXPECT_EQ(JSON.write(Manifest{}),
              R"({"schema":0,"minLauncher":0,"restartRequired":false,"sequence":0,"expires":0})");

    Manifest m;
    m.product = "launcher";
    m.files = std::vector<Entry>{Entry{}};
    EXPECT_EQ(JSON.write(m),
              R"({"schema":0,"minLauncher":0,"restartRequired":false,"sequence":0,"expires":0,)"
              R"("product":"launcher","files":[{"size":0,"executable":false}]})");

    m.files = std::vector<Entry>{};
    EXPECT_EQ(JSON.write(m),
              R"({"schema":0,"minLauncher":0,"restartRequired":false,"sequence":0,"expires":0,)"
              R"("product":"launcher","files":[]})");
}

TEST(JsonCodecWrite, WritesIntegersPlainIncludingExtremes) {
    Manifest m;
    m.schema = -2147483647 - 1;
    m.minLauncher = 2147483647;
    m.sequence = 9223372036854775807;
    m.expires = -1;
    m.files = std::vector<Entry>{sized(std::nullopt, 2'000'000'000)};
    EXPECT_EQ(
        JSON.write(m),
        R"({"schema":-2147483648,"minLauncher":2147483647,"restartRequired":false,)"
        R"("sequence":9223372036854775807,"expires":-1,"files":[{"size":2000000000,"executable":false}]})");
}

TEST(JsonCodecWrite, EscapesMarkupCharactersAndFillInsideStrings) {
    Manifest m;
    m.version = "a<b>c&d=e'f\"g\\h";
    m.product = "p\u2028q";
    m.files = std::vector<Entry>{sized("app/<x>", 0)};
    EXPECT_EQ(JSON.write(m),
              R"({"schema":0,"minLauncher":0,"restartRequired":false,"sequence":0,"expires":0,)"
              R"("version":"a\u003cb\u003ec\u0026d\u003de\u0027f\"g\\h","product":"p\u2028q",)"
              R"("files":[{"path":"app/\u003cx\u003e","size":0,"executable":false}]})");
}

TEST(JsonCodecWrite, WritesEnvelopeWithEscapedBase64Fill) {
    EXPECT_EQ(JSON.write(Envelope{"eyJhIjoxfQ==", "c2ln+/8="}),
              R"({"manifest":"eyJhIjoxfQ\u003d\u003d","signature":"c2ln+/8\u003d"})");
    EXPECT_EQ(JSON.write(Envelope{std::nullopt, "c2ln"}), R"({"signature":"c2ln"})");
    EXPECT_EQ(JSON.write(Envelope{}), "{}");
}

TEST(JsonCodecRead, ReadsEveryMemberAndDecodesEscapes) {
    const Manifest m = JSON.readManifest(
        R"({ "schema": 1, "minLauncher": 1, "restartRequired": true, "sequence": 42, "expires": 1700000000,
            "version": "1.2.3-rc_1", "platform": "linux-x64", "product": "client", "files": [
            {"path": "app/game.jar", "sha256": ")" +
        DIGEST + R"(", "url": "blobs\/)" + DIGEST + R"(", "size": 1234, "executable": false},
            {"path": "runtime\u002fbin/java", "sha256": ")" +
        DIGEST + R"(", "url": "blobs/)" + DIGEST + R"(", "size": 0, "executable": true}] })");
    EXPECT_EQ(m, fullManifest());

    const Envelope e = JSON.readEnvelope(R"({"manifest":"eyJhIjoxfQ\u003d\u003d","signature":"c2ln+/8="})");
    EXPECT_EQ(e.manifest, "eyJhIjoxfQ==");
    EXPECT_EQ(e.signature, "c2ln+/8=");
}

TEST(JsonCodecRead, IgnoresUnknownMembersAnywhere) {
    const Manifest m = JSON.readManifest(
        R"({"extra":{"nested":[1,{"x":null}]},"schema":1,"files":[{"path":"app/a","comment":"hi","size":3}],)"
        R"("more":[true,"s",2.5]})");
    EXPECT_EQ(m.schema, 1);
    ASSERT_TRUE(m.files);
    ASSERT_EQ(m.files->size(), 1u);
    EXPECT_EQ((*m.files)[0], sized("app/a", 3));

    const Envelope e = JSON.readEnvelope(R"({"manifest":"QQ","signature":"Qg","note":{"a":1}})");
    EXPECT_EQ(e.manifest, "QQ");
    EXPECT_EQ(e.signature, "Qg");
}

TEST(JsonCodecRead, LeavesMissingAndNullMembersZeroOrAbsent) {
    EXPECT_EQ(JSON.readManifest("{}"), Manifest{});
    EXPECT_EQ(
        JSON.readManifest(
            R"({"schema":null,"minLauncher":null,"restartRequired":null,"sequence":null,"expires":null,)"
            R"("version":null,"platform":null,"product":null,"files":null})"),
        Manifest{});

    const Manifest m = JSON.readManifest(
        R"({"files":[{},{"path":null,"sha256":null,"url":null,"size":null,"executable":null}]})");
    ASSERT_TRUE(m.files);
    EXPECT_EQ(*m.files, (std::vector<Entry>{Entry{}, Entry{}}));

    const Envelope e = JSON.readEnvelope(R"({"signature":null})");
    EXPECT_FALSE(e.manifest);
    EXPECT_FALSE(e.signature);
}

TEST(JsonCodecRead, AcceptsTheLimitsOfEachIntegerWidth) {
    const Manifest m =
        JSON.readManifest(R"({"schema":-2147483648,"minLauncher":2147483647,"sequence":9223372036854775807,)"
                          R"("expires":-9223372036854775808,"files":[{"size":-1}]})");
    EXPECT_EQ(m.schema, -2147483647 - 1);
    EXPECT_EQ(m.minLauncher, 2147483647);
    EXPECT_EQ(m.sequence, 9223372036854775807);
    EXPECT_EQ(m.expires, -9223372036854775807 - 1);
    EXPECT_EQ((*m.files)[0].size, -1);
}

TEST(JsonCodecRead, RefusesWrongTypesAndOutOfRangeIntegersAsFormatFailures) {
    const char* const documents[] = {
        R"({"schema":"1"})",
        R"({"schema":1.0})",
        R"({"schema":1e0})",
        R"({"schema":true})",
        R"({"schema":2147483648})",
        R"({"schema":-2147483649})",
        R"({"minLauncher":4294967297})",
        R"({"sequence":9223372036854775808})",
        R"({"sequence":18446744073709551616})",
        R"({"expires":-9223372036854775809})",
        R"({"restartRequired":1})",
        R"({"restartRequired":"true"})",
        R"({"version":1})",
        R"({"platform":["linux-x64"]})",
        R"({"product":{}})",
        R"({"files":{}})",
        R"({"files":"app/a"})",
        R"({"files":[1]})",
        R"({"files":[[]]})",
        R"({"files":[{"path":5}]})",
        R"({"files":[{"sha256":false}]})",
        R"({"files":[{"url":{}}]})",
        R"({"files":[{"size":"1"}]})",
        R"({"files":[{"size":1.5}]})",
        R"({"files":[{"size":9223372036854775808}]})",
        R"({"files":[{"executable":0}]})",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        EXPECT_THROW(JSON.readManifest(document), FormatFailure);
    }
    EXPECT_THROW(JSON.readEnvelope(R"({"manifest":1,"signature":"QQ"})"), FormatFailure);
    EXPECT_THROW(JSON.readEnvelope(R"({"manifest":"QQ","signature":["QQ"]})"), FormatFailure);
}

TEST(JsonCodecRead, RefusesDocumentsThatAreNotOneJsonObject) {
    const std::string documents[] = {
        "",
        " \n\t",
        "null",
        " null ",
        "[]",
        "[{}]",
        "\"{}\"",
        "1",
        "true",
        "{",
        "{\"schema\":1",
        "{\"schema\":1,}",
        "{'schema':1}",
        "{schema:1}",
        "{} {}",
        "{}x",
        "{\"version\":\"a\x01\"}",
        "{\"version\":\"\xff\"}",
        "{\"version\":\"\\u00zz\"}",
        "{/* comment */}",
        std::string("{}\0", 3),
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_THROW(JSON.readManifest(document), FormatFailure);
        EXPECT_THROW(JSON.readEnvelope(document), FormatFailure);
    }
}

TEST(JsonCodecRead, SurvivesDeeplyNestedInput) {
    const std::string deep = R"({"extra":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    EXPECT_NO_THROW(JSON.readEnvelope(deep));
    EXPECT_THROW(JSON.readEnvelope(std::string(100'000, '[')), FormatFailure);
}

TEST(JsonCodec, ReadsBackWhatItWrites) {
    Manifest m = fullManifest();
    m.version = "<&'=>";
    m.product = "é\u2028";
    EXPECT_EQ(JSON.readManifest(JSON.write(m)), m);
}

}  // namespace
}  // namespace orlex::update
