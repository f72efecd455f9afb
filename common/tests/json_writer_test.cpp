#include <gtest/gtest.h>

#include "common/json_writer.h"

namespace orlex::common {
namespace {

std::string jsonString(std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

TEST(JsonWriter, EscapesQuotesBackslashesAndNamedControls) {
    EXPECT_EQ(jsonString("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(jsonString("\n\t\r\b\f"), R"("\n\t\r\b\f")");
}

TEST(JsonWriter, EscapesOtherControlsAsLowerCaseUnicode) {
    EXPECT_EQ(jsonString(std::string("\x00\x01\x1f\x0b", 4)), R"("\u0000\u0001\u001f\u000b")");
    EXPECT_EQ(jsonString("\x7f"), "\"\x7f\"");
}

TEST(JsonWriter, EscapesHtmlSensitiveCharactersAndLineSeparators) {
    EXPECT_EQ(jsonString("<a href='x'>&=</a>"),
              R"("\u003ca href\u003d\u0027x\u0027\u003e\u0026\u003d\u003c/a\u003e")");
    EXPECT_EQ(jsonString("a\u2028b\u2029c"), R"("a\u2028b\u2029c")");
    EXPECT_EQ(jsonString("é · …"), "\"é · …\"");
    EXPECT_EQ(jsonString("Zg=="), R"("Zg\u003d\u003d")");
}

TEST(JsonWriter, WritesCompactMembersInTheOrderGiven) {
    JsonWriter w;
    w.beginObject();
    w.key("z").number(-3);
    w.key("a").boolean(true);
    w.key("list").beginArray();
    w.beginObject().key("k").string("v").endObject();
    w.beginObject().endObject();
    w.number(9007199254740993);
    w.endArray();
    w.key("empty").beginArray().endArray();
    w.key("f").boolean(false);
    w.endObject();
    EXPECT_EQ(w.text(), R"({"z":-3,"a":true,"list":[{"k":"v"},{},9007199254740993],"empty":[],"f":false})");
}

}  // namespace
}  // namespace orlex::common
