#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "audio/sound_line.h"

namespace orlex::audio {

// The staff announcement channel. While a scope is open, the microphone is captured (8,000 Hz, 16-bit
// mono) on a thread "orlex-voice-microphone" in 20 ms frames, each encoded to 160 μ-law bytes and handed
// to the sender. Received frames of up to 8 speakers (3 queued frames each) are mixed every 20 ms on the
// thread "orlex-voice-playback" and played at the announcements volume. Operations may come from any
// thread (close() not from the sender); none raises. Both kinds of thread are the channel's own: a capture
// thread that has ended is joined when the next one starts, and close() joins them all.
class StaffVoice {
public:
    // Called on the capture thread, outside every lock, with the scope and the 160 encoded bytes.
    using Sender = std::function<void(const std::string& scope, std::span<const std::uint8_t> frame)>;
    // Monotonic nanoseconds.
    using Clock = std::function<std::int64_t()>;

    struct Options {
        std::shared_ptr<SoundSystem> sound = systemSound();
        Clock clock;                 // steady clock when empty
        bool playbackWorker = true;  // false: no thread; the owner calls playbackStep()
    };

    explicit StaffVoice(Sender sender);
    StaffVoice(Sender sender, Options options);
    StaffVoice(const StaffVoice&) = delete;
    StaffVoice& operator=(const StaffVoice&) = delete;
    ~StaffVoice();

    // The announcements volume, process-wide: loaded once from "announcements" in "com/orlex/audio"
    // (default 1.0); the setter clamps to [0, 1] and stores it.
    static float volume();
    static void volume(float value);

    // Opens the microphone for a scope ("server" for the whole server, any other text for the map),
    // switches scope, or closes it with an empty value.
    void scope(const std::string& value);
    // Queues one received frame of speaker id, shown as name. Anything but 160 bytes is ignored.
    void receive(const std::string& id, const std::string& name, std::span<const std::uint8_t> frame);
    void stop(const std::string& id);
    void clear();
    // "Microphone indisponible" / "Sortie vocale indisponible", "Micro ouvert — Serveur|Carte",
    // "Annonce vocale — <names>", or empty.
    std::string status();
    // One playback step: mixes one frame per speaker and plays it.
    void playbackStep();
    // Ends the channel: microphone off, worker stopped, speakers forgotten, output closed; returns once
    // every thread of the channel has ended. Idempotent.
    void close();

private:
    struct State;

    std::unique_ptr<State> state_;
};

}  // namespace orlex::audio
