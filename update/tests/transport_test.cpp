#include "update/transport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/failure.h"
#include "common/interruption.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/https_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"
#include "update/digest.h"
#include "update/platform.h"
#include "update/publish.h"
#include "update/signature.h"
#include "update/verification.h"

namespace orlex::update {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using common::Interrupted;
using common::IoFailure;
using common::SecurityFailure;
using test::failureChain;
using test::Fault;
using test::readFile;
using test::writeFile;
using Pauses = std::vector<std::chrono::milliseconds>;
using Ranges = std::vector<std::string>;

constexpr std::size_t MANIFEST_LIMIT = 4'000'000;
const std::string FINAL = "Téléchargement interrompu ; réessayez pour reprendre";

// A channel directory served over HTTPS by a CA made for the test, trusted through the transport's timing.
class TransportTest : public ::testing::Test {
protected:
    TransportTest() { fs::create_directories(channel_); }

    // Timing that trusts the test's CA.
    TransportTiming trusting() const {
        TransportTiming timing;
        timing.trust.store = ca_.caPem();
        return timing;
    }

    // A transport trusting the test's CA whose pauses are recorded instead of slept.
    std::unique_ptr<Transport> transport(TransportTiming timing) {
        timing.trust.store = ca_.caPem();
        timing.pause = [this](std::chrono::milliseconds delay) { pauses_.push_back(delay); };
        return std::make_unique<Transport>(server_.baseUrl(), std::move(timing));
    }
    std::unique_ptr<Transport> transport() { return transport(TransportTiming()); }

    // Stores content as a blob of the channel and returns its entry.
    VerifiedEntry blob(const std::string& path, const std::string& content) {
        const std::string digest =
            hash(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
        writeFile(channel_ / "blobs" / digest, content);
        return VerifiedEntry{.path = path,
                             .sha256 = digest,
                             .url = "blobs/" + digest,
                             .size = static_cast<std::int64_t>(content.size())};
    }

    static std::string urlPath(const VerifiedEntry& entry) { return "/" + entry.url; }
    fs::path destination(const VerifiedEntry& entry) const { return stage_ / entry.path; }
    fs::path sibling(const VerifiedEntry& entry, const std::string& suffix) const {
        fs::path path = destination(entry);
        path += suffix;
        return path;
    }

    // Downloads entry into the stage as the third file of an installation.
    void download(Transport& transport, const VerifiedEntry& entry) {
        fs::create_directories(destination(entry).parent_path());
        transport.download(entry, destination(entry), destination(entry), EARLIER,
                           EARLIER + entry.size + LATER, Transport::Clock::now(),
                           [this](const Progress& progress) { progress_.push_back(progress); });
    }

    std::vector<std::string> serverPaths() const {
        std::vector<std::string> paths;
        for (const auto& request : server_.requests())
            paths.push_back(request.path);
        return paths;
    }

    static constexpr std::int64_t EARLIER = 1000;  // bytes of the files before this one
    static constexpr std::int64_t LATER = 500;     // bytes of the files after it

    test::TempDir dir_;
    test::TestCa ca_{dir_ / "ca"};
    fs::path channel_ = dir_ / "channel";
    fs::path stage_ = dir_ / "stage";
    test::HttpsServer server_{channel_, ca_};
    Pauses pauses_;
    std::vector<Progress> progress_;
};

// --- The manifest fetch ---------------------------------------------------------------------------

class Fetch : public TransportTest {};

TEST_F(Fetch, ReturnsABodyOfExactlyTheLimitAfterOneRequest) {
    const std::string body = test::randomBytes(MANIFEST_LIMIT);
    writeFile(channel_ / "current.json", body);

    const Bytes fetched = transport()->fetch("current.json", MANIFEST_LIMIT);

    EXPECT_TRUE(std::string(fetched.begin(), fetched.end()) == body);
    EXPECT_EQ(server_.rangesFor("/current.json"), Ranges{""});
    EXPECT_TRUE(pauses_.empty());
}

TEST_F(Fetch, ABodyOneByteOverTheLimitFailsEveryAttempt) {
    writeFile(channel_ / "current.json", test::randomBytes(MANIFEST_LIMIT + 1));
    auto t = transport();

    EXPECT_EQ(failureChain<IoFailure>([&] { t->fetch("current.json", MANIFEST_LIMIT); }),
              (std::vector<std::string>{"Transport interrompu", "Réponse trop grande"}));
    EXPECT_EQ(server_.requests().size(), 3u);
}

TEST_F(Fetch, AMissingManifestIsTriedThreeTimesWithGrowingPauses) {
    writeFile(channel_ / "current.json", "{}");
    server_.inject("/current.json", Fault::answer(404), -1);
    auto t = transport();

    EXPECT_EQ(failureChain<IoFailure>([&] { t->fetch("current.json", MANIFEST_LIMIT); }),
              std::vector<std::string>{"Manifeste indisponible ou trop grand : 404"});
    EXPECT_EQ(server_.requests().size(), 3u);
    EXPECT_EQ(pauses_, (Pauses{200ms, 400ms, 800ms}));
}

TEST_F(Fetch, ARedirectIsNotFollowed) {
    writeFile(channel_ / "current.json", "{}");
    server_.inject("/current.json", Fault::redirect(), -1);
    auto t = transport();

    EXPECT_EQ(failureChain<IoFailure>([&] { t->fetch("current.json", MANIFEST_LIMIT); }),
              std::vector<std::string>{"Manifeste indisponible ou trop grand : 302"});
    EXPECT_EQ(serverPaths(), (std::vector<std::string>(3, "/current.json")));
}

TEST_F(Fetch, SucceedsOnTheLastAttempt) {
    writeFile(channel_ / "current.json", "{\"ok\":1}");
    server_.inject("/current.json", Fault::answer(503), 2);

    const Bytes fetched = transport()->fetch("current.json", MANIFEST_LIMIT);

    EXPECT_EQ(std::string(fetched.begin(), fetched.end()), "{\"ok\":1}");
    EXPECT_EQ(pauses_, (Pauses{200ms, 400ms}));
}

TEST_F(Fetch, KeepsOneConnectionForSuccessiveRequests) {
    writeFile(channel_ / "current.json", "{}");
    const VerifiedEntry entry = blob("app/data.bin", test::randomBytes(1000));
    auto t = transport();

    t->fetch("current.json", MANIFEST_LIMIT);
    download(*t, entry);
    t->fetch("current.json", MANIFEST_LIMIT);

    EXPECT_EQ(server_.requests().size(), 3u);
    EXPECT_EQ(server_.handshakes(), 1u);
}

TEST_F(Fetch, ResolvesTheNameAgainstTheChannelBase) {
    writeFile(channel_ / "launcher" / "current.json", "{}");
    auto t = std::make_unique<Transport>(server_.baseUrl() + "client/../launcher/", trusting());

    t->fetch("current.json", MANIFEST_LIMIT);

    EXPECT_EQ(serverPaths(), std::vector<std::string>{"/launcher/current.json"});
}

// --- Time limits and interruption ----------------------------------------------------------------

TEST(DownloadTimeout, IsTheConfiguredWholeNumberOfSecondsOr45) {
    EXPECT_EQ(parseDownloadTimeout(std::nullopt), 45s);
    for (const char* text : {"", "abc", "12s", " 7", "1.5"})
        EXPECT_EQ(parseDownloadTimeout(text), 45s) << '"' << text << '"';
    EXPECT_EQ(parseDownloadTimeout("7"), 7s);
}

class Limits : public TransportTest {};

TEST_F(Limits, TheWholeExchangeIsBoundedByTheDownloadTimeout) {
    writeFile(channel_ / "current.json", "{}");
    server_.inject("/current.json", Fault::stallFor(60s), -1);
    TransportTiming timing;
    timing.downloadTimeout = 1s;
    auto t = transport(timing);

    const auto chain = failureChain<IoFailure>([&] { t->fetch("current.json", MANIFEST_LIMIT); });

    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[0], "Délai de téléchargement dépassé");
    EXPECT_EQ(server_.requests().size(), 3u);
}

TEST_F(Limits, StoppingTheThreadCancelsTheExchangeAndPropagatesUnwrapped) {
    writeFile(channel_ / "current.json", "{}");
    server_.inject("/current.json", Fault::stallFor(60s), -1);
    auto t = transport();
    std::promise<std::exception_ptr> outcome;

    std::jthread worker([&](std::stop_token token) {
        const common::ScopedStopToken scope(token);
        try {
            t->fetch("current.json", MANIFEST_LIMIT);
            outcome.set_value(nullptr);
        } catch (...) {
            outcome.set_value(std::current_exception());
        }
    });
    server_.waitForRequests(1);
    worker.request_stop();

    const std::exception_ptr thrown = outcome.get_future().get();
    EXPECT_EQ(failureChain<Interrupted>([&] { std::rethrow_exception(thrown); }),
              std::vector<std::string>{"Interrompu"});
    EXPECT_EQ(server_.requests().size(), 1u) << "an interruption is not retried";
}

TEST_F(Limits, AStoppedThreadDownloadsNothing) {
    const VerifiedEntry entry = blob("app/data.bin", test::randomBytes(1000));
    std::stop_source stop;
    stop.request_stop();
    const common::ScopedStopToken scope(stop.get_token());
    auto t = transport();

    EXPECT_THROW(download(*t, entry), Interrupted);
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_FALSE(fs::exists(destination(entry)));
}

TEST_F(Limits, TheDefaultPauseEndsEarlyWhenTheThreadIsStopped) {
    writeFile(channel_ / "current.json", "{}");
    server_.inject("/current.json", Fault::answer(500), -1);
    TransportTiming timing = trusting();
    timing.manifestPause = 24h;
    Transport t(server_.baseUrl(), timing);
    std::promise<std::exception_ptr> outcome;

    std::jthread worker([&](std::stop_token token) {
        const common::ScopedStopToken scope(token);
        try {
            t.fetch("current.json", MANIFEST_LIMIT);
            outcome.set_value(nullptr);
        } catch (...) {
            outcome.set_value(std::current_exception());
        }
    });
    server_.waitForRequests(1);
    worker.request_stop();

    const std::exception_ptr thrown = outcome.get_future().get();
    EXPECT_THROW(std::rethrow_exception(thrown), Interrupted);
}

// --- Downloads -------------------------------------------------------------------------------------

class Download : public TransportTest {
protected:
    void expectInstalled(const VerifiedEntry& entry, const std::string& content) {
        EXPECT_EQ(readFile(destination(entry)), content);
        EXPECT_FALSE(fs::exists(sibling(entry, ".part")));
        EXPECT_FALSE(fs::exists(sibling(entry, ".incoming")));
    }

    // Every report is of this file, never past the plan's total, never going back.
    void expectConsistentProgress(const VerifiedEntry& entry) {
        ASSERT_FALSE(progress_.empty());
        const std::int64_t total = EARLIER + entry.size + LATER;
        for (std::size_t i = 0; i < progress_.size(); ++i) {
            EXPECT_EQ(progress_[i].phase, entry.path);
            EXPECT_EQ(progress_[i].total, total);
            EXPECT_GT(progress_[i].bytesPerSecond, 0);
            if (i > 0) {
                EXPECT_GE(progress_[i].completed, progress_[i - 1].completed);
            }
        }
        EXPECT_EQ(progress_.back().completed, EARLIER + entry.size);
    }
};

TEST_F(Download, FetchesAFileInOneRequestWithProgress) {
    const std::string content = test::randomBytes(300'000);
    const VerifiedEntry entry = blob("app/data.bin", content);

    download(*transport(), entry);

    expectInstalled(entry, content);
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges{""});
    expectConsistentProgress(entry);
    ASSERT_GE(progress_.size(), 2u) << "byte counts while the body arrives, then the completion";
    EXPECT_LT(progress_.front().completed, EARLIER + entry.size);
}

TEST_F(Download, ACutBodyResumesWithARangeFromWhatArrived) {
    const std::string content = test::randomBytes(300'000, 2);
    const VerifiedEntry entry = blob("app/data.bin", content);
    server_.inject(urlPath(entry), Fault::cutAfter(100'000));

    download(*transport(), entry);

    expectInstalled(entry, content);
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), (Ranges{"", "bytes=100000-"}));
    EXPECT_EQ(pauses_, Pauses{250ms});
    expectConsistentProgress(entry);
}

TEST_F(Download, AServerIgnoringTheRangeStillCompletes) {
    const std::string content = test::randomBytes(50'000, 3);
    const VerifiedEntry entry = blob("app/data.bin", content);
    writeFile(sibling(entry, ".part"), content.substr(0, 5000));
    server_.inject(urlPath(entry), Fault::ignoreRange(), -1);

    download(*transport(), entry);

    expectInstalled(entry, content);
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges{"bytes=5000-"});
    expectConsistentProgress(entry);
}

TEST_F(Download, AMismatchingContentRangeFailsEveryAttemptAndKeepsThePart) {
    const std::string content = test::randomBytes(50'000, 4);
    const VerifiedEntry entry = blob("app/data.bin", content);
    writeFile(sibling(entry, ".part"), content.substr(0, 5000));
    server_.inject(urlPath(entry), Fault::wrongContentRange(), -1);
    auto t = transport();

    EXPECT_EQ(failureChain<IoFailure>([&] { download(*t, entry); }),
              (std::vector<std::string>{FINAL, "Reprise incohérente"}));
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges(4, "bytes=5000-"));
    EXPECT_EQ(pauses_, (Pauses{250ms, 500ms, 1000ms, 2000ms}));
    EXPECT_EQ(readFile(sibling(entry, ".part")), content.substr(0, 5000));
    EXPECT_FALSE(fs::exists(sibling(entry, ".incoming")));
    EXPECT_FALSE(fs::exists(destination(entry)));
}

TEST_F(Download, WrongContentIsRefusedAfterOneAttemptAndLeavesNoPart) {
    const VerifiedEntry entry = blob("app/data.bin", test::randomBytes(50'000, 5));
    server_.inject(urlPath(entry), Fault::wrongContent(), -1);
    auto t = transport();

    EXPECT_EQ(failureChain<SecurityFailure>([&] { download(*t, entry); }),
              std::vector<std::string>{"SHA-256 incorrect : app/data.bin"});
    EXPECT_EQ(server_.requests().size(), 1u);
    EXPECT_TRUE(test::listFiles(stage_).empty());
}

TEST_F(Download, ABodyOneByteLongerThanTheEntryFailsEachAttempt) {
    const VerifiedEntry entry = blob("app/data.bin", test::randomBytes(1000, 6));
    server_.inject(urlPath(entry), Fault::oneByteOver(), -1);
    auto t = transport();

    EXPECT_EQ(failureChain<IoFailure>([&] { download(*t, entry); }),
              (std::vector<std::string>{FINAL, "Transport interrompu", "Réponse trop grande"}));
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges(4, ""));
}

TEST_F(Download, AnHttpErrorFailsEachAttemptAndLeavesNothingBehind) {
    const VerifiedEntry entry = blob("app/data.bin", test::randomBytes(1000, 7));
    server_.inject(urlPath(entry), Fault::answer(404), -1);
    auto t = transport();

    EXPECT_EQ(failureChain<IoFailure>([&] { download(*t, entry); }),
              (std::vector<std::string>{FINAL, "Téléchargement HTTP 404"}));
    EXPECT_EQ(server_.requests().size(), 4u);
    EXPECT_TRUE(test::listFiles(stage_).empty());
}

TEST_F(Download, AnEmptyEntryInstallsAnEmptyFile) {
    const VerifiedEntry entry = blob("assets/empty.txt", "");

    download(*transport(), entry);

    expectInstalled(entry, "");
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges{""});
    EXPECT_EQ(progress_, (std::vector<Progress>{{"assets/empty.txt", EARLIER, EARLIER + LATER,
                                                 progress_.back().bytesPerSecond}}));
}

TEST_F(Download, ACompleteValidPartIsMovedWithoutARequestOrAReport) {
    const std::string content = test::randomBytes(20'000, 8);
    const VerifiedEntry entry = blob("app/data.bin", content);
    writeFile(sibling(entry, ".part"), content);

    download(*transport(), entry);

    expectInstalled(entry, content);
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_TRUE(progress_.empty());
}

TEST_F(Download, ACompletePartOfOtherContentStartsOver) {
    const std::string content = test::randomBytes(20'000, 9);
    const VerifiedEntry entry = blob("app/data.bin", content);
    writeFile(sibling(entry, ".part"), test::randomBytes(20'000, 10));

    download(*transport(), entry);

    expectInstalled(entry, content);
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges{""});
}

TEST_F(Download, APartLongerThanTheEntryStartsOver) {
    const std::string content = test::randomBytes(20'000, 11);
    const VerifiedEntry entry = blob("app/data.bin", content);
    writeFile(sibling(entry, ".part"), content + "extra");

    download(*transport(), entry);

    expectInstalled(entry, content);
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges{""});
}

TEST_F(Download, AnIncomingBodyLeftByACrashIsResumedFromItsLength) {
    const std::string content = test::randomBytes(50'000, 12);
    const VerifiedEntry entry = blob("app/data.bin", content);
    writeFile(sibling(entry, ".incoming"), content.substr(0, 7000));

    download(*transport(), entry);

    expectInstalled(entry, content);
    EXPECT_EQ(server_.rangesFor(urlPath(entry)), Ranges{"bytes=7000-"});
    expectConsistentProgress(entry);
    EXPECT_GE(progress_.front().completed, EARLIER + 7000) << "a resumed body counts from its offset";
}

TEST_F(Download, AFourthFailureKeepsWhatArrivedForTheNextInstallation) {
    const std::string content = test::randomBytes(200'000, 13);
    const VerifiedEntry entry = blob("app/data.bin", content);
    server_.inject(urlPath(entry), Fault::cutAfter(10'000), 4);
    auto t = transport();

    EXPECT_EQ(failureChain<IoFailure>([&] { download(*t, entry); }).front(), FINAL);
    EXPECT_EQ(fs::file_size(sibling(entry, ".part")), 40'000u);

    download(*t, entry);

    expectInstalled(entry, content);
    EXPECT_EQ(server_.rangesFor(urlPath(entry)),
              (Ranges{"", "bytes=10000-", "bytes=20000-", "bytes=30000-", "bytes=40000-"}));
}

// --- A published channel end to end ---------------------------------------------------------------

TEST_F(TransportTest, FetchesAndInstallsAPublishedRelease) {
    writeFile(dir_ / "payload" / "app" / "game.bin", test::randomBytes(120'000, 14));
    writeFile(dir_ / "payload" / "assets" / "empty.dat", "");
    keygen(dir_ / "keys" / "private.der", dir_ / "keys" / "public.der");
    publish(Publication{dir_ / "payload", channel_, dir_ / "keys" / "private.der", "client", "1.0.0", "1",
                        platform()});
    auto t = transport();
    const ManifestVerifier verifier(publicKey(test::readBytes(dir_ / "keys" / "public.der")), "client",
                                    stage_);

    const Bytes current = t->fetch("current.json", MANIFEST_LIMIT);
    const Signed release = verifier.verifyEnvelope(std::string(current.begin(), current.end()));
    for (const VerifiedEntry& entry : release.manifest.files)
        download(*t, entry);

    EXPECT_EQ(test::listFiles(stage_), (std::vector<std::string>{"app/game.bin", "assets/empty.dat"}));
    EXPECT_EQ(readFile(stage_ / "app" / "game.bin"), readFile(dir_ / "payload" / "app" / "game.bin"));
}

}  // namespace
}  // namespace orlex::update
