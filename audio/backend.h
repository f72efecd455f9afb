#pragma once

#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "audio/sound_line.h"
#include "audio/thread_group.h"

namespace orlex::audio {

// One playing sound. Its own thread streams the file; gain(), close(), alive() and error() may be called
// from any thread at any time.
class Voice {
public:
    virtual ~Voice() = default;
    // The wanted output gain, clamped to [0, 1] (NaN gives 0); applied from the next block on as a linear
    // ramp from the previous gain across that block.
    virtual void gain(float value) = 0;
    // Stops the voice for good; may run more than once.
    virtual void close() = 0;
    // True while it plays.
    virtual bool alive() const { return true; }
    // The text of the failure that ended it, or empty.
    virtual std::string error() const { return {}; }
};

// Opens playing voices for decoded files; owns the threads that play them. open() and close() may be
// called from any thread but a voice's own.
class Backend {
public:
    virtual ~Backend() = default;
    // A voice already playing at gain 0, looping or not. Failures are passed on with their message; once
    // closed, every open fails with IoFailure("Sortie audio fermée").
    virtual std::shared_ptr<Voice> open(const std::filesystem::path& path, bool loop) = 0;
    // Stops every voice it opened and returns once their threads have ended. Idempotent.
    virtual void close() = 0;
};

// Plays on a system sound output line (4,096-byte buffer), one line and one thread
// "orlex-audio-stream" per voice, in blocks of 2,048 bytes. A looping voice decodes its file anew at
// each end without reopening the line; a non-looping one drains the line at the end, then ends. The
// thread of a voice that has ended is joined when the next voice opens, or by close(); the destructor
// closes.
class PcmBackend : public Backend {
public:
    explicit PcmBackend(std::shared_ptr<SoundSystem> sound = systemSound());
    std::shared_ptr<Voice> open(const std::filesystem::path& path, bool loop) override;
    void close() override;

private:
    std::shared_ptr<SoundSystem> sound_;
    ThreadGroup voices_;  // last: joined before the sound system goes
};

// A device of a running game's own audio system.
class GameAudioDevice {
public:
    virtual ~GameAudioDevice() = default;
    // Blocks until the interleaved samples in [-1, 1] are taken.
    virtual void writeSamples(std::span<const float> samples) = 0;
    // Output latency in samples.
    virtual int latency() = 0;
    virtual void dispose() = 0;
};

class DeviceFactory {
public:
    virtual ~DeviceFactory() = default;
    // A device for the rate and channel count, or a failure.
    virtual std::unique_ptr<GameAudioDevice> open(int rate, bool mono) = 0;
};

// Plays on the game's audio device (thread "orlex-game-audio", blocks of 4,096 bytes) when a game audio
// system runs; otherwise, or when its device is missing or unusable, hands over to a PcmBackend of its
// own. Its threads are joined as PcmBackend's are; close() ends the game voices and the handed-over ones.
class GameAudioBackend : public Backend {
public:
    // The running game audio system (none in the launcher), falling back to the system output.
    GameAudioBackend();
    // A game audio system that is running with this factory, falling back to sound.
    GameAudioBackend(std::shared_ptr<DeviceFactory> running, std::shared_ptr<SoundSystem> sound);
    // Always this factory, never a fallback: a missing device fails with
    // "Périphérique audio du jeu indisponible".
    explicit GameAudioBackend(std::shared_ptr<DeviceFactory> factory);

    std::shared_ptr<Voice> open(const std::filesystem::path& path, bool loop) override;
    void close() override;

private:
    std::shared_ptr<DeviceFactory> factory_;
    bool fallback_;
    PcmBackend pcm_;
    ThreadGroup voices_;  // last: joined before the factory goes
};

}  // namespace orlex::audio
