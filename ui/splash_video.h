#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>

#include <QImage>

#include "audio/sound_line.h"

namespace orlex::ui {

// The studio intro: the frames and soundtrack of a zip played full screen in the borderless window
// "velkor-games-splash", optionally kept afterwards as the holding screen ("ORLEX  /  Connexion au
// monde…" over a Cosmos backdrop) until closeHeld().
//
// The archive's entries ending with ".jpg" are the frames (any image format QImage recognises by content),
// played in plain string order of their names at 24 per second; only the current one is decoded and held.
// The entry "audio.wav" is the soundtrack, decoded whole before the intro starts and queued on one output
// line of the sound system. While it plays, its position picks the frame; once it has ended (or without
// sound) the clock does. The intro lasts as long as the longer of the two.
//
// Every playing call blocks its caller until the intro has ended and must run off the GUI thread (it
// fails at once with std::logic_error("Playback must run off EDT") there); the GUI thread must keep
// processing events meanwhile, as window creation and disposal are posted to it and waited for. A stop
// requested through the calling thread's current stop token (common/interruption.h) ends the intro within
// one 2 ms tick with common::Interrupted whose message is "Intro interrompue". Other failures:
// IoFailure("Intro sans images"), IoFailure("Image intro illisible"), and IoFailures for an archive that
// is missing, not a zip or has an unreadable entry or soundtrack. When the sound device cannot be opened
// or refuses the soundtrack's format, the line "Intro: périphérique audio indisponible (<failure type>)"
// goes to standard error and the intro plays without sound. After any failure the intro window is gone.
class SplashVideo {
public:
    struct Options {
        // Where the soundtrack's output line comes from; the system's devices when empty.
        std::shared_ptr<audio::SoundSystem> sound;
        // The monotonic clock the frames follow without sound; steady_clock when empty.
        std::function<std::chrono::nanoseconds()> clock;
        // Called on the playing thread each time a frame is handed to the screen (first frame included),
        // with its index and the image. For observers such as tests; must return quickly.
        std::function<void(int index, const QImage& frame)> onFrame;
    };

    SplashVideo();
    explicit SplashVideo(Options options);

    // Plays "velkor-games-intro.zip" beside film (the film itself is never opened) and keeps the window
    // as the holding screen when the intro completes, replacing a holding screen shown before. Returns
    // nullptr on success; on failure closes any holding screen and returns the failure.
    std::exception_ptr playHeld(const std::filesystem::path& film);

    // As playHeld, without holding screen.
    std::exception_ptr play(const std::filesystem::path& film);

    // Plays the given intro archive without holding screen; throws its failures.
    void playArchive(const std::filesystem::path& archive);

    // Closes the holding screen, if one is shown. Any thread; the closing is posted to the GUI thread.
    static void closeHeld();

    // Frames per second, and the name of the intro archive beside the film.
    static constexpr int FPS = 24;
    static constexpr const char* ARCHIVE_NAME = "velkor-games-intro.zip";

private:
    void run(const std::filesystem::path& archive, bool retain);

    Options options_;
};

}  // namespace orlex::ui
