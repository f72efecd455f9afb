#include "ui/splash_video.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <QApplication>
#include <QBuffer>
#include <QLabel>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "audio/tests/fake_sound.h"
#include "audio/tests/test_sounds.h"
#include "common/executor.h"
#include "common/failure.h"
#include "common/interruption.h"
#include "tests/support/failures.h"
#include "tests/support/temp_dir.h"
#include "ui/gui_serving.h"

namespace orlex::ui {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

QByteArray png(const QColor& colour) {
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// The bytes of a WAV of samples (interleaved), written through scratch.
QByteArray wav(const std::filesystem::path& scratch, int rate, int channels, std::size_t samples) {
    audio::test::writeSound(scratch, rate, channels, audio::test::ramp(samples));
    std::ifstream in(scratch, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// A 8 kHz mono WAV of the given length in seconds.
QByteArray wav(const std::filesystem::path& scratch, double seconds) {
    return wav(scratch, 8000, 1, static_cast<std::size_t>(8000 * seconds));
}

void writeZip(const std::filesystem::path& path,
              const std::vector<std::pair<std::string, QByteArray>>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    for (const auto& [name, bytes] : entries) {
        zip_source_t* source =
            zip_source_buffer(archive, bytes.constData(), static_cast<zip_uint64_t>(bytes.size()), 0);
        ASSERT_GE(zip_file_add(archive, name.c_str(), source, ZIP_FL_OVERWRITE), 0);
    }
    ASSERT_EQ(zip_close(archive), 0);
}

std::vector<std::pair<std::string, QByteArray>> frames(int count) {
    std::vector<std::pair<std::string, QByteArray>> entries;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%03d.jpg", i);
        entries.emplace_back(name, png(QColor(i * 5, 0, 0)));
    }
    return entries;
}

int splashWindows() {
    QApplication::processEvents();
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += widget->objectName() == "velkor-games-splash";
    return count;
}

// Runs fn on a thread of its own while this (GUI) thread keeps processing events.
template <typename Fn>
void offGuiThread(Fn fn, const std::function<void()>& whileRunning = {}) {
    std::atomic<bool> done{false};
    std::thread player([&] {
        fn();
        done = true;
    });
    while (!done) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        if (whileRunning)
            whileRunning();
        std::this_thread::sleep_for(1ms);
    }
    player.join();
    QApplication::processEvents();
}

// An intro ended by a stop request: "Intro interrompue", and no window of it left.
void expectInterruptedLeavingNoWindow(const std::exception_ptr& failure) {
    ASSERT_TRUE(failure);
    EXPECT_EQ(test::failureMessage<common::Interrupted>([&] { std::rethrow_exception(failure); }),
              "Intro interrompue");
    EXPECT_EQ(splashWindows(), 0);
}

class Splash : public testing::Test {
protected:
    std::filesystem::path film() const { return dir.path() / "velkor-games-logo.mp4"; }
    std::filesystem::path intro() const { return dir.path() / SplashVideo::ARCHIVE_NAME; }

    test::TempDir dir;
    std::shared_ptr<audio::test::FakeSoundSystem> sound = std::make_shared<audio::test::FakeSoundSystem>();
};

TEST_F(Splash, FramesWithoutSoundDevicePlayTwoSecondsOnTheClockAndSayItOnce) {
    auto entries = frames(48);
    entries.emplace_back("audio.wav", wav(dir.path() / "scratch.wav", 1.0));
    writeZip(intro(), entries);
    sound->failOutputs(true);
    std::vector<int> shown;
    SplashVideo video(
        {.sound = sound, .clock = {}, .onFrame = [&](int index, const QImage&) { shown.push_back(index); }});

    testing::internal::CaptureStderr();
    const auto began = Clock::now();
    std::exception_ptr failure;
    offGuiThread([&] { failure = video.play(film()); });
    const auto took = Clock::now() - began;
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_FALSE(failure);
    EXPECT_GE(took, 2s);
    EXPECT_LT(took, 4s);
    const std::string line = "Intro: périphérique audio indisponible (orlex::common::IoFailure)\n";
    ASSERT_NE(errors.find(line), std::string::npos) << errors;
    EXPECT_EQ(errors.find(line, errors.find(line) + 1), std::string::npos) << errors;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front(), 0);
    EXPECT_EQ(shown.back(), 47);
    EXPECT_EQ(splashWindows(), 0);
}

TEST_F(Splash, ASoundtrackNoDevicePlaysLeavesTheIntroSilentNotFailed) {
    auto entries = frames(48);
    entries.emplace_back("audio.wav", wav(dir.path() / "surround.wav", 8000, 6, 8000 * 6));
    writeZip(intro(), entries);
    SplashVideo video({.sound = sound, .clock = {}, .onFrame = {}});

    testing::internal::CaptureStderr();
    const auto began = Clock::now();
    std::exception_ptr failure;
    offGuiThread([&] { failure = video.play(film()); });
    const auto took = Clock::now() - began;
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_FALSE(failure) << (failure ? common::failureMessages(failure).front() : "");
    EXPECT_GE(took, 2s);
    EXPECT_NE(errors.find("Intro: périphérique audio indisponible (orlex::audio::UnplayableFormat)\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(splashWindows(), 0);
}

// The fake line plays its queue in real time like a device, so the frames follow what has played.
TEST_F(Splash, FramesFollowALongerSoundtrackForwardAndHoldTheLastUntilTheSoundEnds) {
    auto entries = frames(48);
    entries.emplace_back("audio.wav", wav(dir.path() / "scratch.wav", 5.0));
    writeZip(intro(), entries);
    const auto began = Clock::now();
    std::optional<Clock::duration> lastFrameAt;
    std::vector<int> shown;
    SplashVideo video({.sound = sound, .clock = {}, .onFrame = [&](int index, const QImage&) {
                           shown.push_back(index);
                           if (index == 47 && !lastFrameAt)
                               lastFrameAt = Clock::now() - began;
                       }});

    std::exception_ptr failure;
    offGuiThread([&] { failure = video.play(film()); });
    const auto took = Clock::now() - began;

    EXPECT_FALSE(failure);
    ASSERT_FALSE(shown.empty());
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end())) << testing::PrintToString(shown);
    EXPECT_EQ(shown.back(), 47);
    ASSERT_TRUE(lastFrameAt);
    EXPECT_GT(*lastFrameAt, 1500ms);
    EXPECT_LT(*lastFrameAt, 3500ms);
    EXPECT_GE(took, 5s);
    EXPECT_LT(took, 8s);
    const auto lines = sound->outputs();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].format, (audio::PcmFormat{8000, 1}));
    EXPECT_EQ(lines[0].bytes.size(), 8000u * 5 * 2);  // the whole clip
    EXPECT_TRUE(lines[0].closed);
}

TEST_F(Splash, FramesOutlastingAShorterSoundtrackFinishOnTheClock) {
    // 44.1 kHz: a length that is no whole number of microseconds, unlike the 8 kHz tracks above.
    auto entries = frames(72);
    entries.emplace_back("audio.wav", wav(dir.path() / "short.wav", 44'100, 1, 44'101));
    writeZip(intro(), entries);
    std::vector<int> shown;
    SplashVideo video(
        {.sound = sound, .clock = {}, .onFrame = [&](int index, const QImage&) { shown.push_back(index); }});

    std::exception_ptr failure;
    offGuiThread([&] { failure = video.play(film()); });

    EXPECT_FALSE(failure);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), 71) << testing::PrintToString(shown);
}

TEST_F(Splash, FramesPlayInStringOrderOfTheirNames) {
    writeZip(intro(), {{"9.jpg", png(Qt::blue)},
                       {"notes.txt", "not a frame"},
                       {"10.jpg", png(Qt::red)},
                       {"audio.wav", wav(dir.path() / "scratch.wav", 0.01)}});
    std::vector<QRgb> colours;
    SplashVideo video({.sound = sound, .clock = {}, .onFrame = [&](int, const QImage& frame) {
                           colours.push_back(frame.pixel(0, 0));
                       }});

    offGuiThread([&] { video.playArchive(intro()); });

    EXPECT_EQ(colours, (std::vector<QRgb>{QColor(Qt::red).rgb(), QColor(Qt::blue).rgb()}));
}

TEST_F(Splash, InterruptionEndsTheIntroAndLeavesNoHoldingScreen) {
    auto entries = frames(2);
    entries.emplace_back("audio.wav", wav(dir.path() / "scratch.wav", 0.01));
    writeZip(intro(), entries);
    SplashVideo video({.sound = sound, .clock = [] { return std::chrono::nanoseconds(0); }, .onFrame = {}});
    std::stop_source stop;

    std::exception_ptr failure;
    offGuiThread(
        [&] {
            const common::ScopedStopToken token(stop.get_token());
            failure = video.playHeld(film());
        },
        [&] {
            if (splashWindows() == 1)
                stop.request_stop();
        });

    expectInterruptedLeavingNoWindow(failure);
}

// The launcher closing while the intro plays: the GUI thread stops the player's worker and waits for it,
// while the player, interrupted, needs the GUI thread to take its window down.
TEST_F(Splash, StoppingThePlayerFromTheGuiThreadEndsTheIntroAndItsWindow) {
    auto entries = frames(2);
    entries.emplace_back("audio.wav", wav(dir.path() / "scratch.wav", 30));
    writeZip(intro(), entries);
    SplashVideo video({.sound = sound, .clock = {}, .onFrame = {}});
    common::Executor worker("orlex-patcher");
    std::exception_ptr failure;
    worker.submit([&] { failure = video.playHeld(film()); });
    while (splashWindows() == 0)
        std::this_thread::sleep_for(1ms);

    whileServingGui([&] { worker.shutdown(); });

    expectInterruptedLeavingNoWindow(failure);
}

TEST_F(Splash, ARetainedIntroLeavesExactlyOneHoldingScreenUntilClosed) {
    auto entries = frames(3);
    entries.emplace_back("audio.wav", wav(dir.path() / "scratch.wav", 0.01));
    writeZip(intro(), entries);
    SplashVideo video({.sound = sound, .clock = {}, .onFrame = {}});

    std::exception_ptr first, second;
    offGuiThread([&] {
        first = video.playHeld(film());
        second = video.playHeld(film());
    });

    EXPECT_FALSE(first);
    EXPECT_FALSE(second);
    ASSERT_EQ(splashWindows(), 1);
    QWidget* holding = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == "velkor-games-splash")
            holding = widget;
    const auto labels = holding->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0]->text(), QString::fromUtf8("ORLEX  /  Connexion au monde…"));
    EXPECT_TRUE(holding->windowFlags() & Qt::FramelessWindowHint);

    SplashVideo::closeHeld();
    EXPECT_EQ(splashWindows(), 0);
    SplashVideo::closeHeld();  // none shown: nothing happens
    EXPECT_EQ(splashWindows(), 0);
}

TEST_F(Splash, FailuresAreReportedAndLeaveNoWindow) {
    SplashVideo video({.sound = sound, .clock = {}, .onFrame = {}});
    const auto message = [](const std::exception_ptr& failure) -> std::string {
        try {
            if (failure)
                std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no failure";
    };

    EXPECT_THROW(
        {
            try {
                video.playArchive(intro());
            } catch (const std::logic_error& e) {
                EXPECT_STREQ(e.what(), "Playback must run off EDT");
                throw;
            }
        },
        std::logic_error);

    std::exception_ptr missing, noFrames, unreadable, noSound;
    offGuiThread([&] { missing = video.play(film()); });
    EXPECT_TRUE(message(missing).starts_with("Intro illisible : ")) << message(missing);

    writeZip(intro(), {{"audio.wav", wav(dir.path() / "scratch.wav", 0.01)}, {"readme.txt", "x"}});
    offGuiThread([&] { noFrames = video.play(film()); });
    EXPECT_EQ(message(noFrames), "Intro sans images");

    writeZip(intro(), {{"0.jpg", "not a picture"}, {"audio.wav", wav(dir.path() / "scratch.wav", 0.01)}});
    offGuiThread([&] { unreadable = video.play(film()); });
    EXPECT_EQ(message(unreadable), "Image intro illisible");

    writeZip(intro(), {{"0.jpg", png(Qt::green)},
                       {"1.jpg", "broken"},
                       {"audio.wav", wav(dir.path() / "scratch.wav", 0.01)}});
    offGuiThread([&] { unreadable = video.play(film()); });
    EXPECT_EQ(message(unreadable), "Image intro illisible");

    writeZip(intro(), {{"0.jpg", png(Qt::green)}});
    offGuiThread([&] { noSound = video.playHeld(film()); });
    EXPECT_NE(message(noSound), "no failure");
    EXPECT_EQ(splashWindows(), 0);
}

}  // namespace
}  // namespace orlex::ui
