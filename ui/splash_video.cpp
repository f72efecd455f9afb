#include "ui/splash_video.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_files.h"
#include "common/failure.h"
#include "common/interruption.h"
#include "common/type_name.h"
#include "common/zip_reader.h"
#include "ui/components.h"
#include "ui/theme.h"

namespace orlex::ui {
namespace {

using namespace std::chrono_literals;
using common::IoFailure;
using Nanos = std::chrono::nanoseconds;

constexpr const char* WINDOW_NAME = "velkor-games-splash";
constexpr const char* HOLDING_TEXT = "ORLEX  /  Connexion au monde…";
// No frame or soundtrack of an intro is larger; a bigger entry fails as unreadable.
constexpr std::uint64_t MAX_ENTRY_BYTES = 256ull << 20;

// The intro's stop: an Interrupted that names the intro.
class IntroInterrupted : public common::Interrupted {
public:
    const char* what() const noexcept override { return "Intro interrompue"; }
};

common::ZipReader openZip(const std::filesystem::path& path) {
    std::optional<common::ZipReader> archive;
    try {
        archive = common::ZipReader::open(path);
    } catch (const IoFailure& reason) {
        throw IoFailure("Intro illisible : " + path.string() + " : " + reason.what());
    }
    if (!archive)
        throw IoFailure("Intro illisible : " + path.string() + " : fichier absent");
    return std::move(*archive);
}

std::vector<std::uint8_t> readEntry(const common::ZipReader& archive, std::uint64_t index) {
    std::optional<std::vector<std::uint8_t>> bytes;
    try {
        bytes = archive.read(index, MAX_ENTRY_BYTES);
    } catch (const IoFailure&) {
        std::throw_with_nested(IoFailure("Entrée d'intro illisible : " + archive.name(index)));
    }
    if (!bytes)
        throw IoFailure("Entrée d'intro illisible : " + archive.name(index));
    return std::move(*bytes);
}

// The whole soundtrack as PCM. The decoder reads files, so the entry passes through a private temporary
// file that is removed at once.
struct Soundtrack {
    audio::PcmFormat format;
    std::vector<std::uint8_t> pcm;
};

Soundtrack decodeSoundtrack(const std::vector<std::uint8_t>& wav) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("orlex-intro-" + std::to_string(random()) + "-" + std::to_string(counter++) + ".wav");
    struct Remove {
        std::filesystem::path path;
        ~Remove() {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } remove{file};
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
        if (!out.flush())
            throw IoFailure("Bande son d'intro illisible : écriture temporaire impossible");
    }
    const std::unique_ptr<audio::PcmStream> stream = audio::AudioFiles::pcm(file);
    Soundtrack track{stream->format(), {}};
    std::vector<std::uint8_t> block(64 * 1024);
    while (const std::size_t read = stream->read(block)) {
        if (track.pcm.size() + read > MAX_ENTRY_BYTES)
            throw IoFailure("Bande son d'intro trop grande");
        track.pcm.insert(track.pcm.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(read));
    }
    return track;
}

// The soundtrack as a clip: queued whole on an output line sized to hold it, then started. Its position
// is the time since the start, held back by what has left the line's queue (a stalled device holds the
// picture with the sound); both only grow, so the position never moves back. Playing thread only.
class Clip {
public:
    Clip(std::shared_ptr<audio::OutputLine> line, const Soundtrack& track, std::function<Nanos()> clock)
        : line_(std::move(line)), clock_(std::move(clock)), bytes_(track.pcm.size()) {
        const auto frames = static_cast<std::int64_t>(track.pcm.size() / track.format.frameBytes());
        // In whole microseconds like the position: a finer length would stay ahead of the last position
        // for good, and the clip would never count as ended.
        length_ = std::chrono::duration_cast<std::chrono::microseconds>(
            Nanos(frames * 1'000'000'000LL / track.format.rate));
        bytesPerSecond_ = static_cast<std::int64_t>(track.format.frameBytes()) * track.format.rate;
        if (line_->write(track.pcm) != track.pcm.size())
            throw IoFailure("Sortie audio saturée");
    }
    Clip(const Clip&) = delete;
    Clip& operator=(const Clip&) = delete;
    ~Clip() { close(); }

    Nanos length() const { return length_; }

    void start() {
        line_->start();
        started_ = clock_();
        running_ = true;
    }

    // Microsecond precision, as the clip's own position is kept.
    Nanos position() {
        if (!running_)
            return Nanos(0);
        Nanos played = std::min(clock_() - started_, length_);
        // The line holds at most the clip, all of it written before the start: the room it reports is
        // what the device has taken from the queue.
        const std::size_t room = line_->available();
        if (room <= bytes_) {
            const auto taken = static_cast<std::int64_t>(room);
            played = std::min(played, Nanos(taken * 1'000'000'000LL / bytesPerSecond_));
        }
        return std::chrono::duration_cast<std::chrono::microseconds>(played);
    }

    bool running() { return running_ && position() < length_; }

    void close() noexcept {
        if (!line_)
            return;
        try {
            line_->stop();
            line_->close();
        } catch (...) {  // closing never fails the intro
        }
        line_.reset();
        running_ = false;
    }

private:
    std::shared_ptr<audio::OutputLine> line_;
    std::function<Nanos()> clock_;
    std::size_t bytes_;
    Nanos length_{0};
    std::int64_t bytesPerSecond_ = 1;
    Nanos started_{0};
    bool running_ = false;
};

// The current frame, written by the playing thread and read by the screen.
using FrameSlot = std::atomic<std::shared_ptr<const QImage>>;

// A black panel painting the current frame scaled to fit (whole pixels), centred, smoothly.
class Screen : public QWidget {
public:
    Screen(std::shared_ptr<FrameSlot> frame, QWidget* parent) : QWidget(parent), frame_(std::move(frame)) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::black);
        const std::shared_ptr<const QImage> image = frame_->load();
        if (!image || image->isNull())
            return;
        const double scale = std::min(static_cast<double>(width()) / image->width(),
                                      static_cast<double>(height()) / image->height());
        const int w = static_cast<int>(image->width() * scale);
        const int h = static_cast<int>(image->height() * scale);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect((width() - w) / 2, (height() - h) / 2, w, h), *image);
    }

private:
    std::shared_ptr<FrameSlot> frame_;
};

// The holding screen of the process, or null.
std::atomic<QWidget*> held{nullptr};

// Runs fn on the GUI thread and waits for it; rethrows what it threw.
template <typename Fn>
void onGuiThread(Fn fn) {
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        qApp,
        [&] {
            try {
                fn();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
}

void hold(QWidget* window) {
    delete window->layout();
    qDeleteAll(window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* backdrop = new Cosmos(window);
    layout->addWidget(backdrop);
    auto* inner = new QVBoxLayout(backdrop);
    auto* label = new QLabel(QString::fromUtf8(HOLDING_TEXT), backdrop);
    label->setAlignment(Qt::AlignCenter);
    label->setFont(Theme::sans(18));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Theme::TEXT);
    label->setPalette(palette);
    inner->addWidget(label);
    window->layout()->activate();
    window->update();
    if (QWidget* previous = held.exchange(window))
        delete previous;
}

}  // namespace

SplashVideo::SplashVideo() : SplashVideo(Options{}) {}

SplashVideo::SplashVideo(Options options) : options_(std::move(options)) {
    if (!options_.clock)
        options_.clock = [] { return Nanos(std::chrono::steady_clock::now().time_since_epoch()); };
}

std::exception_ptr SplashVideo::playHeld(const std::filesystem::path& film) {
    try {
        run(film.parent_path() / ARCHIVE_NAME, true);
        return nullptr;
    } catch (...) {
        closeHeld();
        return std::current_exception();
    }
}

std::exception_ptr SplashVideo::play(const std::filesystem::path& film) {
    try {
        run(film.parent_path() / ARCHIVE_NAME, false);
        return nullptr;
    } catch (...) {
        return std::current_exception();
    }
}

void SplashVideo::playArchive(const std::filesystem::path& archive) {
    run(archive, false);
}

void SplashVideo::closeHeld() {
    if (!qApp)
        return;
    QMetaObject::invokeMethod(
        qApp, [] { delete held.exchange(nullptr); }, Qt::QueuedConnection);
}

void SplashVideo::run(const std::filesystem::path& path, bool retain) {
    if (!qApp || QThread::currentThread() == qApp->thread())
        throw std::logic_error("Playback must run off EDT");

    const common::ZipReader archive = openZip(path);
    std::vector<std::pair<std::string, std::uint64_t>> frames;
    for (std::uint64_t i = 0; i < archive.count(); ++i) {
        std::string name = archive.name(i);
        if (name.ends_with(".jpg"))
            frames.emplace_back(std::move(name), i);
    }
    if (frames.empty())
        throw IoFailure("Intro sans images");
    std::sort(frames.begin(), frames.end());
    const auto count = static_cast<std::int64_t>(frames.size());

    auto slot = std::make_shared<FrameSlot>();
    const auto show = [&](std::int64_t index) {
        const std::vector<std::uint8_t> bytes =
            readEntry(archive, frames[static_cast<std::size_t>(index)].second);
        auto image =
            std::make_shared<const QImage>(QImage::fromData(bytes.data(), static_cast<int>(bytes.size())));
        if (image->isNull())
            throw IoFailure("Image intro illisible");
        if (options_.onFrame)
            options_.onFrame(static_cast<int>(index), *image);
        slot->store(std::move(image));
    };
    show(0);

    std::unique_ptr<Clip> clip;
    QPointer<QWidget> window;
    bool completed = false;
    try {
        const std::optional<std::uint64_t> wavIndex = archive.find("audio.wav");
        if (!wavIndex)
            throw IoFailure("Intro sans bande son");
        const auto withoutSound = [](const std::exception& unavailable) {
            std::cerr << "Intro: périphérique audio indisponible (" << common::typeName(typeid(unavailable))
                      << ")" << std::endl;
        };
        // A soundtrack in a format no device plays (six channels, say) is refused by the decoder
        // already; like a device that refuses it, the intro then goes on without sound.
        std::optional<Soundtrack> track;
        try {
            track = decodeSoundtrack(readEntry(archive, *wavIndex));
        } catch (const audio::UnplayableFormat& refused) {
            withoutSound(refused);
        }
        if (track) {
            try {
                std::shared_ptr<audio::SoundSystem> sound =
                    options_.sound ? options_.sound : audio::systemSound();
                clip = std::make_unique<Clip>(sound->openOutput(track->format, track->pcm.size()), *track,
                                              options_.clock);
            } catch (const std::exception& unavailable) {
                withoutSound(unavailable);
                clip.reset();
            }
        }

        QWidget* screen = nullptr;
        onGuiThread([&] {
            auto* created = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint);
            created->setObjectName(WINDOW_NAME);
            created->setWindowTitle(WINDOW_NAME);
            auto* layout = new QVBoxLayout(created);
            layout->setContentsMargins(0, 0, 0, 0);
            screen = new Screen(slot, created);
            layout->addWidget(screen);
            if (QScreen* device = QGuiApplication::primaryScreen())
                created->setGeometry(device->geometry());
            window = created;
            created->show();
            created->raise();
            created->activateWindow();
            screen->repaint();
        });

        const Nanos frameTime = Nanos(count * 1'000'000'000LL / FPS);
        const Nanos duration = std::max(frameTime, clip ? clip->length() : Nanos(0));
        if (clip)
            clip->start();
        const Nanos start = options_.clock();
        std::int64_t shown = 0;
        while (options_.clock() - start < duration) {
            const Nanos elapsed = clip && clip->running() ? clip->position() : options_.clock() - start;
            const std::int64_t index =
                std::min<std::int64_t>(count - 1, elapsed.count() * FPS / 1'000'000'000LL);
            if (index != shown) {
                show(index);
                QMetaObject::invokeMethod(
                    screen, [screen] { screen->update(); }, Qt::QueuedConnection);
                shown = index;
            }
            std::this_thread::sleep_for(2ms);
            if (common::interruptionRequested())
                throw IntroInterrupted();
        }
        completed = true;
    } catch (...) {
        clip.reset();
        onGuiThread([&] { delete window.data(); });
        throw;
    }
    clip.reset();
    onGuiThread([&] {
        if (!window)
            return;
        if (retain && completed)
            hold(window);
        else
            delete window.data();
    });
}

}  // namespace orlex::ui
