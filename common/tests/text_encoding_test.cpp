#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <set>

#include "common/base64.h"
#include "common/failure.h"
#include "common/hex.h"
#include "common/text.h"
#include "common/utf8.h"
#include "common/uuid.h"

namespace orlex::common {
namespace {

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

TEST(Base64, EncodesWithStandardAlphabetAndFill) {
    EXPECT_EQ(base64Encode(bytesOf("")), "");
    EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
    EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytesOf("foo")), "Zm9v");
    EXPECT_EQ(base64Encode(bytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xfe}), "+//+");
}

TEST(Base64, UrlSafeFormUsesDashUnderscoreAndNoFill) {
    EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff, 0xfe}), "-__-");
    EXPECT_EQ(base64UrlEncode(bytesOf("f")), "Zg");
    EXPECT_EQ(base64UrlEncode(bytesOf("fo")), "Zm8");
}

TEST(Base64, DecodesWithOrWithoutFill) {
    EXPECT_EQ(base64Decode("Zg=="), bytesOf("f"));
    EXPECT_EQ(base64Decode("Zg"), bytesOf("f"));
    EXPECT_EQ(base64Decode("Zm8="), bytesOf("fo"));
    EXPECT_EQ(base64Decode("Zm9vYmFy"), bytesOf("foobar"));
    EXPECT_EQ(base64Decode("+//+"), (Bytes{0xfb, 0xff, 0xfe}));
    EXPECT_EQ(base64Decode(""), Bytes{});
}

TEST(Base64, RefusesCharactersOutsideTheAlphabetAndBrokenGroups) {
    for (const char* bad : {"Zm9v\n", "-__-", "Zm 9v", "Z", "Zm9vY", "Zg=", "Zm8==", "=Zg=", "Zg==="}) {
        EXPECT_THROW(base64Decode(bad), FormatFailure) << bad;
    }
}

TEST(Base64, RoundTripsEveryLength) {
    Bytes data;
    for (int i = 0; i < 70; ++i) {
        EXPECT_EQ(base64Decode(base64Encode(data)), data);
        data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    }
}

TEST(Hex, LowerCaseAndChecks) {
    EXPECT_EQ(hexEncode(Bytes{0x00, 0xab, 0xff, 0x10}), "00abff10");
    EXPECT_TRUE(isLowerHex("00abff10", 8));
    EXPECT_FALSE(isLowerHex("00ABff10", 8));
    EXPECT_FALSE(isLowerHex("00abff1", 8));
    EXPECT_FALSE(isLowerHex("00abfg10", 8));
}

TEST(Uuid, RandomVersion4InCanonicalLowerCaseForm) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string uuid = randomUuid();
        EXPECT_TRUE(std::regex_match(uuid, form)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Utf8, AcceptsWellFormedAndRefusesMalformedText) {
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("Préparation · é… \xF0\x9F\x8E\xAE"));
    EXPECT_FALSE(isValidUtf8("\xC3"));              // cut sequence
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("\x80"));              // lone continuation
}

TEST(Utf8, CountsUtf16CodeUnits) {
    EXPECT_EQ(utf16Length(""), 0u);
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("é…"), 2u);
    EXPECT_EQ(utf16Length("\xF0\x9F\x8E\xAE"), 2u);  // outside the basic plane: a surrogate pair
}

TEST(Integers, TakeOneOptionalSignAndDigitsOnly) {
    EXPECT_EQ(parseInteger("+42"), 42);
    EXPECT_EQ(parseInteger("-42"), -42);
    for (const char* malformed : {"", "+", "-", "+-5", "-+5", "--5", " 5", "5 ", "0x10", "1e3"})
        EXPECT_EQ(parseInteger(malformed), std::nullopt) << malformed;
    EXPECT_EQ(parseInteger("-99999999999999999999", OutOfRange::Saturated), INT64_MIN);
    EXPECT_EQ(parseInteger("99999999999999999999"), std::nullopt);
}

TEST(Failures, KeepTheirKindAndNestedCause) {
    try {
        try {
            throw SecurityFailure("Signature invalide");
        } catch (...) {
            std::throw_with_nested(IoFailure("Transport interrompu"));
        }
    } catch (const IoFailure& outer) {
        EXPECT_STREQ(outer.what(), "Transport interrompu");
        try {
            std::rethrow_if_nested(outer);
            FAIL() << "no cause";
        } catch (const SecurityFailure& cause) {
            EXPECT_STREQ(cause.what(), "Signature invalide");
        }
    }
    const SessionExpired expired;
    const SecurityFailure& asSecurity = expired;
    EXPECT_STREQ(asSecurity.what(), "Session expirée");
}

}  // namespace
}  // namespace orlex::common
