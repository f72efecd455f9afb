#pragma once

#include <array>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/backend.h"
#include "audio/volumes.h"

namespace orlex::audio {

// What advances a director's fades. The director starts its clock once, when it is constructed, and stops
// it in close().
class FadeClock {
public:
    // Advances the fades by the seconds given.
    using Tick = std::function<void(float seconds)>;

    virtual ~FadeClock() = default;
    // From now on calls tick, on a thread of the clock's own, until stop().
    virtual void start(Tick tick) = 0;
    // Returns once no call of tick runs and none will follow. Idempotent; never called from tick.
    virtual void stop() = 0;
};

// Real time: the thread "orlex-audio-fades" calls tick(0.02) at once, then every 20 ms at a fixed rate.
class RealTimeClock : public FadeClock {
public:
    void start(Tick tick) override;
    void stop() override;

private:
    std::mutex mutex_;
    std::jthread thread_;
};

// Never ticks: whoever drives the director calls its tick() (tests, tools that keep their own time).
class ManualClock : public FadeClock {
public:
    void start(Tick) override {}
    void stop() override {}
};

// The mixer: one music slot that cross-fades between tracks, a combat override of the zone music, keyed
// ambience and weather beds, at most 12 one-shot effects, and the master and bus volumes. Every gain is
// master × bus × track volume (× fade level for music), recomputed by tick().
// Every public operation holds the director's lock, so callers and the clock's thread never interleave.
// Playback failures never propagate (they are kept in lastError()), except the bus check of ambient().
class AudioDirector {
public:
    // The launcher's director: the game audio backend (the system output in the launcher), the volumes of
    // the node "com/orlex/audio" and a RealTimeClock.
    explicit AudioDirector(const std::filesystem::path& root);
    // Loads the master and bus volumes from volumes (0.8 and the bus defaults where none is stored,
    // clamped), stores every change there, and starts clock, whose ticks advance the fades. The director
    // owns backend and clock: close() closes the one and stops the other.
    AudioDirector(const std::filesystem::path& root, std::shared_ptr<Backend> backend,
                  std::shared_ptr<VolumeStore> volumes, std::unique_ptr<FadeClock> clock);
    AudioDirector(const AudioDirector&) = delete;
    AudioDirector& operator=(const AudioDirector&) = delete;
    ~AudioDirector();  // close()

    // Volumes; the setters clamp, store and refresh every gain, also after close().
    float master();
    float volume(Bus bus);
    void master(float value);
    void volume(Bus bus, float value);

    void projectRoot(const std::filesystem::path& path);
    void fallbackRoot(const std::filesystem::path& path);
    // The real path of the file a reference names under the project root or a fallback root, or nullopt
    // for a blank reference. Refusals are IoFailures: "Audio hors projet", "Piste OGG, MP3 ou WAV
    // requise", "Fichier audio absent : <last element>".
    std::optional<std::filesystem::path> resolve(const std::string& reference);

    // A looping music track cross-faded in over seconds (NaN: 2, else limited to [0.15, 10]); a blank
    // reference fades the music out.
    void music(const std::string& reference, float volume, float seconds);
    void zone(const std::string& reference, float volume, float seconds);
    void enterCombat(const std::string& reference);
    void leaveCombat();
    // Starts, keeps, replaces or (blank reference) stops the bed under key. A bus other than AMBIENCE or
    // WEATHER fails with IoFailure "Canal ambiance/météo requis".
    void ambient(const std::string& key, const std::string& reference, Bus bus, float volume);
    void effect(const std::string& reference, Bus bus, float volume);
    // Advances fades by seconds, drops finished voices and refreshes gains.
    void tick(float seconds);

    bool musicAlive();
    std::string musicId();
    std::string lastError();
    // Stops every voice and the clock, closes the backend, and returns once their threads have ended;
    // afterwards playback operations do nothing. Idempotent.
    void close();

private:
    // One playing sound on its bus. Beds and effects stay at level 1; music fades its level to target.
    struct Track {
        std::string id;
        std::shared_ptr<Voice> voice;
        Bus bus;
        float volume;  // the caller's, clamped
        float level;
        float target;
    };

    void musicLocked(const std::string& reference, float volume, float seconds);
    void refreshLocked();
    void applyGainLocked(const Track& track);
    std::optional<std::filesystem::path> resolveLocked(const std::string& reference);

    std::mutex mutex_;
    std::shared_ptr<Backend> backend_;
    std::shared_ptr<VolumeStore> store_;
    std::filesystem::path root_;
    std::vector<std::filesystem::path> fallbackRoots_;
    std::array<float, BUSES.size()> volumes_{};
    float master_ = MASTER_DEFAULT;
    std::optional<Track> current_;
    std::optional<Track> outgoing_;
    float fade_ = 2.0f;
    std::map<std::string, Track> beds_;
    std::deque<Track> effects_;  // oldest first
    bool combat_ = false;
    std::string zone_;
    float zoneVolume_ = 0.7f;
    float zoneFade_ = 2.0f;
    std::string lastError_;
    bool closed_ = false;
    std::unique_ptr<FadeClock> clock_;  // started last, once everything above is set
};

}  // namespace orlex::audio
