#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/preferences.h"

namespace orlex::audio {

// The volume buses, in this order; each is stored under its name.
enum class Bus { MUSIC, AMBIENCE, WEATHER, EFFECTS, INTERFACE };
inline constexpr std::array<Bus, 5> BUSES{Bus::MUSIC, Bus::AMBIENCE, Bus::WEATHER, Bus::EFFECTS,
                                          Bus::INTERFACE};

// "MUSIC", "AMBIENCE", "WEATHER", "EFFECTS", "INTERFACE".
std::string busName(Bus bus);
// The volume used when the store holds none: 0.6 for INTERFACE, 1.0 for the others.
float busDefault(Bus bus);

// The node of the per-user preference store that holds the volumes (and "announcements").
inline constexpr const char* AUDIO_NODE = "com/orlex/audio";
inline constexpr float MASTER_DEFAULT = 0.8f;

// NaN gives 0; anything else is limited to [0, 1].
float clampVolume(float value);

// Volumes are stored as text the same way under every locale ("0.8", never "0,8").
// A float stored under key, or nullopt when absent, not a number at all or beyond a double's range.
// "NaN" reads as NaN.
std::optional<float> readFloat(const common::Preferences& store, const std::string& key);
void writeFloat(common::Preferences& store, const std::string& key, float value);

// Where the director keeps its master ("master") and bus volumes (the bus names) between runs. Calls may
// come from any thread; values are returned as stored, unclamped.
class VolumeStore {
public:
    virtual ~VolumeStore() = default;
    // The value stored under key, or nullopt when there is none (or it is not a number).
    virtual std::optional<float> read(const std::string& key) = 0;
    virtual void write(const std::string& key, float value) = 0;
};

// The per-user preference node "com/orlex/audio", where the interface tones read the volumes too.
class PreferenceVolumes : public VolumeStore {
public:
    std::optional<float> read(const std::string& key) override;
    void write(const std::string& key, float value) override;

private:
    common::Preferences node_{AUDIO_NODE};
};

// Volumes kept by this object only, gone with it: for directors whose settings must not outlive them.
class MemoryVolumes : public VolumeStore {
public:
    std::optional<float> read(const std::string& key) override;
    void write(const std::string& key, float value) override;

private:
    std::mutex mutex_;
    std::map<std::string, float> values_;
};

}  // namespace orlex::audio
