#include "discord/ipc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "discord/local_ipc.h"
#include "discord/properties_text.h"
#include "discord/tests/fake_discord.h"
#include "discord/text.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::discord {
namespace {

using orlex::test::failureMessage;
using orlex::test::TempDir;

// A connection over fixed input bytes, recording what is written and how much was read.
class ScriptedConnection final : public Connection {
public:
    explicit ScriptedConnection(std::string input) : input_(std::move(input)) {}
    void write(std::string_view bytes) override { written += bytes; }
    std::size_t read(char* buffer, std::size_t size) override {
        const std::size_t count = std::min({size, input_.size() - consumed, std::size_t{3}});  // dribbles
        input_.copy(buffer, count, consumed);
        consumed += count;
        return count;
    }

    std::string written;
    std::size_t consumed = 0;

private:
    std::string input_;
};

std::string header(std::uint32_t opcode, std::uint32_t length) {
    return encodeFrame(opcode, "").substr(0, 4) + encodeFrame(length, "").substr(0, 4);
}

TEST(Framing, HeaderIsLittleEndianOpcodeAndLengthBeforeTheBody) {
    ScriptedConnection connection("");
    writeFrame(connection, HANDSHAKE, handshakeMessage("123456789012345678"));
    const std::string body = R"({"v":1,"client_id":"123456789012345678"})";
    EXPECT_EQ(connection.written, std::string("\0\0\0\0", 4) +
                                      std::string(1, static_cast<char>(body.size())) +
                                      std::string("\0\0\0", 3) + body);
    EXPECT_EQ(encodeFrame(CLOSE, CLOSE_MESSAGE), std::string("\2\0\0\0\2\0\0\0{}", 10));
    EXPECT_EQ(encodeFrame(FRAME, std::string(0x010203, 'x')).substr(0, 8),
              std::string("\1\0\0\0\3\2\1\0", 8));
}

TEST(Framing, ReadsAFrameWhateverItsOpcodeAndUpToTheLimit) {
    ScriptedConnection unknown(encodeFrame(7, R"({"evt":"READY"})"));
    const Frame frame = readFrame(unknown);
    EXPECT_EQ(frame.opcode, 7u);
    EXPECT_EQ(frame.body, R"({"evt":"READY"})");

    ScriptedConnection largest(encodeFrame(FRAME, std::string(MAX_FRAME, 'a')));
    EXPECT_EQ(readFrame(largest).body.size(), static_cast<std::size_t>(MAX_FRAME));

    ScriptedConnection empty(header(FRAME, 0));
    EXPECT_EQ(readFrame(empty).body, "");
}

TEST(Framing, RefusesCutHeadersBadLengthsAndCutBodies) {
    ScriptedConnection nothing("");
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { readFrame(nothing); }), "Discord IPC fermé");
    ScriptedConnection sevenBytes(header(FRAME, 2).substr(0, 7));
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { readFrame(sevenBytes); }), "Discord IPC fermé");

    // The body of an oversized frame is never read.
    ScriptedConnection oversized(header(FRAME, MAX_FRAME + 1) + std::string(64, 'x'));
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { readFrame(oversized); }),
              "Réponse Discord IPC invalide");
    EXPECT_EQ(oversized.consumed, 8u);
    ScriptedConnection negative(header(FRAME, 0xFFFFFFFFu) + "{}");
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { readFrame(negative); }),
              "Réponse Discord IPC invalide");

    ScriptedConnection cutBody(header(FRAME, 10) + "{\"evt\"");
    EXPECT_EQ(failureMessage<common::IoFailure>([&] { readFrame(cutBody); }),
              "Réponse Discord IPC incomplète");
}

TEST(Messages, SetActivityHasItsKeysInOrderInCompactForm) {
    EXPECT_EQ(setActivityMessage("Dans le launcher", "L'été <3 & \"amis\"", 4242, 1700000000,
                                 "0f8fad5b-d9cb-469f-a165-70867728950e"),
              R"({"cmd":"SET_ACTIVITY","args":{"pid":4242,"activity":{"details":"Dans le launcher",)"
              R"("state":"L\u0027été \u003c3 \u0026 \"amis\"","timestamps":{"start":1700000000},)"
              R"("instance":false}},"nonce":"0f8fad5b-d9cb-469f-a165-70867728950e"})");
}

TEST(Replies, AreCheckedAgainstTheExpectedStep) {
    EXPECT_NO_THROW(checkReply(R"({"cmd":"DISPATCH","evt":"READY"})", "READY"));
    EXPECT_NO_THROW(checkReply(R"({"cmd":"SET_ACTIVITY","evt":null})", "SET_ACTIVITY"));
    EXPECT_NO_THROW(checkReply(R"({"cmd":"SET_ACTIVITY"})", "SET_ACTIVITY"));

    const auto failure = [](std::string_view body, std::string_view expected) {
        return failureMessage<common::IoFailure>([&] { checkReply(body, expected); });
    };
    EXPECT_EQ(failure("[1]", "READY"), "réponse Discord illisible");
    EXPECT_EQ(failure("{\"evt\":", "READY"), "réponse Discord illisible");
    EXPECT_EQ(failure("", "SET_ACTIVITY"), "réponse Discord illisible");
    EXPECT_EQ(failure(R"({"cmd":"DISPATCH"})", "READY"), "Discord n'a pas confirmé la connexion");
    EXPECT_EQ(failure(R"({"evt":null,"cmd":"SET_ACTIVITY"})", "READY"),
              "Discord n'a pas confirmé la connexion");
    EXPECT_EQ(failure(R"({"evt":"READY","cmd":"DISPATCH"})", "SET_ACTIVITY"),
              "Discord n'a pas confirmé l'activité");
    EXPECT_EQ(failure(R"({"evt":"READY","cmd":null})", "SET_ACTIVITY"),
              "Discord n'a pas confirmé l'activité");
}

TEST(Replies, AnErrorEventNamesItsCleanedCodeAndMessage) {
    const auto failure = [](std::string_view body) {
        return failureMessage<common::IoFailure>([&] { checkReply(body, "SET_ACTIVITY"); });
    };
    EXPECT_EQ(
        failure(
            R"({"cmd":"SET_ACTIVITY","evt":"ERROR","data":{"code":4000,"message":"Invalid\nclient  ID"}})"),
        "Discord refuse la commande [4000] Invalid client ID");
    EXPECT_EQ(failure(R"({"evt":"ERROR"})"), "Discord refuse la commande [inconnu] commande refusée");
    EXPECT_EQ(failure(R"({"evt":"ERROR","data":[1]})"),
              "Discord refuse la commande [inconnu] commande refusée");
    EXPECT_EQ(failure(R"({"evt":"ERROR","data":{"code":" ","message":"\t"}})"),
              "Discord refuse la commande [inconnu] commande refusée");
    EXPECT_EQ(failure(R"({"evt":"ERROR","data":{"code":"C1234567890123456789012345","message":"m"}})"),
              "Discord refuse la commande [C1234567890123456789012…] m");
}

TEST(Replies, ANestingNoRealReplyHasIsRefusedAsUnreadable) {
    const auto failure = [](const std::string& body) {
        return failureMessage<common::IoFailure>([&] { checkReply(body, "SET_ACTIVITY"); });
    };
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    // A structured code is named in its JSON form at any depth a reply may have ...
    EXPECT_EQ(failure(R"({"evt":"ERROR","data":{"code":[[1]],"message":"m"}})"),
              "Discord refuse la commande [[[1]]] m");
    EXPECT_TRUE(failure(R"({"evt":"ERROR","data":{"code":)" + nested(MAX_REPLY_DEPTH - 2) + "}}")
                    .starts_with("Discord refuse la commande [[[["));
    // ... and a frame's worth of nesting, read from the connection, is refused without exhausting the stack.
    const std::string deep = R"({"evt":"ERROR","data":{"code":)" + nested(500'000) + "}}";
    ScriptedConnection connection(encodeFrame(FRAME, deep));
    const Frame frame = readFrame(connection);
    EXPECT_EQ(failure(frame.body), "réponse Discord illisible");
    EXPECT_EQ(failure(R"({"cmd":"SET_ACTIVITY","nonce":)" + nested(MAX_REPLY_DEPTH) + "}"),
              "réponse Discord illisible");
}

TEST(Reasons, NameTheFailureKindAndItsCleanedMessage) {
    EXPECT_EQ(reasonText(std::make_exception_ptr(common::IoFailure("Discord IPC fermé"))),
              "orlex::common::IoFailure · Discord IPC fermé");
    EXPECT_EQ(reasonText(std::make_exception_ptr(common::IoFailure(" \n "))), "orlex::common::IoFailure");
    EXPECT_EQ(reasonText(std::make_exception_ptr(common::IoFailure(std::string(150, 'e')))),
              "orlex::common::IoFailure · " + std::string(139, 'e') + "…");
    // The first individual failure stands for a failed search.
    EXPECT_EQ(reasonText(std::make_exception_ptr(DiscordUnavailable(
                  {std::make_exception_ptr(common::IoFailure("/run/discord-ipc-0 : absent")),
                   std::make_exception_ptr(common::IoFailure("/run/discord-ipc-1 : absent"))}))),
              "orlex::common::IoFailure · /run/discord-ipc-0 : absent");
    EXPECT_EQ(reasonText(std::make_exception_ptr(DiscordUnavailable({}))),
              "orlex::discord::DiscordUnavailable · Discord local indisponible");
}

TEST(TextCleaning, ControlsAndSpacesCollapseAndBlankTakesTheFallback) {
    EXPECT_EQ(cleanText("  Le\tgrand\n\x7f  Kerval ", 96, "F"), "Le grand Kerval");
    EXPECT_EQ(cleanText("\x01\x1f \t\r\n", 96, "Kerval"), "Kerval");
    EXPECT_EQ(cleanText("", 96, "Voyageur"), "Voyageur");
    EXPECT_EQ(cleanText("a\xff"
                        "b",
                        96, "F"),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(TextCleaning, ALongTextIsCutInUtf16UnitsWithAnEllipsis) {
    EXPECT_EQ(cleanText(std::string(96, 'x'), 96, "F"), std::string(96, 'x'));
    EXPECT_EQ(cleanText(std::string(100, 'x'), 96, "F"), std::string(95, 'x') + "…");
    // "é" and "…" are one unit each, "😀" (U+1F600) two.
    std::string accented;
    for (int i = 0; i < 10; ++i)
        accented += "é";
    EXPECT_EQ(cleanText(accented, 10, "F"), accented);
    EXPECT_EQ(cleanText(accented + "é", 10, "F"), accented.substr(0, 18) + "…");
    EXPECT_EQ(cleanText("😀😀😀", 6, "F"), "😀😀😀");
    EXPECT_EQ(cleanText("😀😀😀😀", 6, "F"), "😀😀…");
    // A pair that would straddle the cut is dropped whole.
    EXPECT_EQ(cleanText("a😀😀😀", 6, "F"), "a😀😀…");
    EXPECT_EQ(cleanText("ab😀😀😀", 6, "F"), "ab😀…");
}

TEST(PropertiesText, ReadsKeysValuesCommentsEscapesAndContinuations) {
    const auto properties = readPropertiesText(
        "# comment\n! other\n\n  applicationId = 123456789012345 \r\n"
        "a:b\nc d\ne\\=f=g\\u00e9\\n\nlong=one \\\n    two\nempty=\nlast=x\\\\\nlast2=y");
    EXPECT_EQ(properties.at("applicationId"), "123456789012345 ");
    EXPECT_EQ(properties.at("a"), "b");
    EXPECT_EQ(properties.at("c"), "d");
    EXPECT_EQ(properties.at("e=f"), "gé\n");
    EXPECT_EQ(properties.at("long"), "one two");
    EXPECT_EQ(properties.at("empty"), "");
    EXPECT_EQ(properties.at("last"), "x\\");
    EXPECT_EQ(properties.at("last2"), "y");
    EXPECT_EQ(properties.count("# comment"), 0u);
}

TEST(PropertiesText, ACommentLineNeverContinues) {
    const auto properties =
        readPropertiesText("# the id of C:\\Discord\\\napplicationId=123456789012345\n! see \\\nx=y\n");
    EXPECT_EQ(properties,
              (std::map<std::string, std::string>{{"applicationId", "123456789012345"}, {"x", "y"}}));
}

TEST(Connector, SearchesTheRuntimeAndTemporaryDirectoriesInOrderThenTmp) {
    std::map<std::string, std::string> environment{
        {"XDG_RUNTIME_DIR", "/run/user/7"}, {"TMPDIR", "/var/tmp"}, {"TMP", "  "}, {"TEMP", "/run/user/7"}};
    const auto variable = [&](const char* name) -> std::optional<std::string> {
        const auto found = environment.find(name);
        return found == environment.end() ? std::nullopt : std::optional(found->second);
    };
    EXPECT_EQ(socketDirectories(variable),
              (std::vector<std::filesystem::path>{"/run/user/7", "/var/tmp", "/tmp"}));
    environment = {{"TEMP", "/tmp"}, {"TMP", "/b"}};
    EXPECT_EQ(socketDirectories(variable), (std::vector<std::filesystem::path>{"/b", "/tmp"}));
    environment = {};
    EXPECT_EQ(socketDirectories(variable), (std::vector<std::filesystem::path>{"/tmp"}));
}

TEST(Connector, ConnectsToTheFirstSocketThatAccepts) {
    TempDir empty, runtime;
    orlex::test::writeFile(runtime / "discord-ipc-0", "");  // not a socket
    test::FakeDiscord second(runtime / "discord-ipc-2");
    test::FakeDiscord third(runtime / "discord-ipc-3");
    const IpcWake wake;
    const std::shared_ptr<Connection> connection =
        openSocketIn({empty.path(), runtime.path()}, wake, std::chrono::milliseconds(1));
    writeFrame(*connection, HANDSHAKE, "{}");
    const auto accepted = second.accept();
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->readFrame().body, "{}");
}

TEST(Connector, WithNothingListeningCarriesEveryFailureInOrder) {
    TempDir first, second;
    const IpcWake wake;
    try {
        openSocketIn({first.path(), second.path()}, wake, std::chrono::milliseconds(1));
        FAIL() << "connected to nothing";
    } catch (const DiscordUnavailable& failure) {
        EXPECT_STREQ(failure.what(), "Discord local indisponible");
        ASSERT_EQ(failure.attempts().size(), 20u);
        std::vector<std::string> tried;
        for (const std::exception_ptr& attempt : failure.attempts()) {
            try {
                std::rethrow_exception(attempt);
            } catch (const common::IoFailure& individual) {
                tried.push_back(individual.what());
            }
        }
        EXPECT_EQ(tried.front().rfind((first / "discord-ipc-0").string() + " : ", 0), 0u) << tried.front();
        EXPECT_EQ(tried[9].rfind((first / "discord-ipc-9").string() + " : ", 0), 0u) << tried[9];
        EXPECT_EQ(tried[10].rfind((second / "discord-ipc-0").string() + " : ", 0), 0u) << tried[10];
        EXPECT_EQ(tried.back().rfind((second / "discord-ipc-9").string() + " : ", 0), 0u) << tried.back();
    }
}

TEST(Connector, GivesUpOnASocketThatNeverAcceptsAfterTheConnectTimeout) {
    TempDir runtime;
    const test::StalledDiscord stalled(runtime / "discord-ipc-0");
    test::FakeDiscord next(runtime / "discord-ipc-1");
    const IpcWake wake;
    const std::shared_ptr<Connection> connection =
        openSocketIn({runtime.path()}, wake, std::chrono::milliseconds(1));
    writeFrame(*connection, HANDSHAKE, "{}");
    const auto accepted = next.accept();
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->readFrame().body, "{}");
}

}  // namespace
}  // namespace orlex::discord
