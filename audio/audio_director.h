#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/backend.h"
#include "audio/volumes.h"
#include "common/preferences.h"

namespace orlex::audio {

// The mixer: one music slot that cross-fades between tracks, a combat override of the zone music, keyed
// ambience and weather beds, at most 12 one-shot effects, and the master and bus volumes. Every gain is
// master × bus × track volume (× fade level for music), recomputed by tick().
// Every public operation holds the director's lock, so callers and the clock thread never interleave.
// Playback failures never propagate (they are kept in lastError()), except the bus check of ambient().
class AudioDirector {
public:
    // Real time on the game audio backend (the system output in the launcher).
    explicit AudioDirector(const std::filesystem::path& root);
    // The director owns backend: close() closes it.
    // realtime: volumes loaded from and stored to the node "com/orlex/audio", and the clock thread
    // "orlex-audio-fades" ticking 0.02 s every 20 ms from now until close(). Otherwise: master 0.8, every
    // bus 1.0, nothing stored, and tick() runs only when the caller calls it.
    AudioDirector(const std::filesystem::path& root, std::shared_ptr<Backend> backend, bool realtime);
    AudioDirector(const AudioDirector&) = delete;
    AudioDirector& operator=(const AudioDirector&) = delete;
    ~AudioDirector();

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
    // Stops the clock and every voice and closes the backend, returning once their threads have ended;
    // afterwards playback operations do nothing. Idempotent.
    void close();

private:
    struct Track {
        std::string id;
        std::shared_ptr<Voice> voice;
        float level = 0.0f;
        float target = 0.0f;
        float volume = 0.0f;
    };

    void musicLocked(const std::string& reference, float volume, float seconds);
    void refreshLocked();
    void clockLoop(std::stop_token stop);
    std::optional<std::filesystem::path> resolveLocked(const std::string& reference);

    std::mutex mutex_;
    std::shared_ptr<Backend> backend_;
    std::filesystem::path root_;
    std::vector<std::filesystem::path> fallbackRoots_;
    std::optional<common::Preferences> prefs_;
    std::array<float, BUSES.size()> volumes_{};
    float master_ = MASTER_DEFAULT;
    std::shared_ptr<Track> current_;
    std::shared_ptr<Track> outgoing_;
    float fade_ = 2.0f;
    std::map<std::string, std::shared_ptr<Track>> beds_;
    std::map<std::string, Bus> bedBuses_;
    std::deque<std::shared_ptr<Track>> effects_;
    std::map<std::shared_ptr<Track>, Bus> effectBuses_;
    bool combat_ = false;
    std::string zone_;
    float zoneVolume_ = 0.7f;
    float zoneFade_ = 2.0f;
    std::string lastError_;
    bool closed_ = false;
    std::condition_variable_any clockWake_;
    std::jthread clock_;
};

}  // namespace orlex::audio
