#include "audio/volumes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace orlex::audio {

std::string busName(Bus bus) {
    switch (bus) {
        case Bus::MUSIC:
            return "MUSIC";
        case Bus::AMBIENCE:
            return "AMBIENCE";
        case Bus::WEATHER:
            return "WEATHER";
        case Bus::EFFECTS:
            return "EFFECTS";
        case Bus::INTERFACE:
            return "INTERFACE";
    }
    return "";
}

float busDefault(Bus bus) {
    return bus == Bus::INTERFACE ? 0.6f : 1.0f;
}

float clampVolume(float value) {
    if (std::isnan(value))
        return 0.0f;
    return std::clamp(value, 0.0f, 1.0f);
}

std::optional<float> readFloat(const common::Preferences& store, const std::string& key) {
    const std::optional<std::string> text = store.get(key);
    if (!text)
        return std::nullopt;
    // from_chars reads the same whatever the process locale (the GUI switches it to the user's, where
    // strtof stops at the "." of "0.8"). It takes "NaN" and "Infinity" as the store may hold them; leading
    // blanks and a "+" are allowed too.
    const std::string_view stored(*text);
    const char* first = stored.data() + std::min(stored.size(), stored.find_first_not_of(" \t\r\n"));
    const char* last = stored.data() + stored.size();
    if (first != last && *first == '+')
        ++first;
    double value = 0.0;
    if (std::from_chars(first, last, value).ec != std::errc())
        return std::nullopt;
    return static_cast<float>(value);  // beyond a float's range: infinity
}

void writeFloat(common::Preferences& store, const std::string& key, float value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    store.put(key, std::string(buffer, result.ptr));
}

std::optional<float> PreferenceVolumes::read(const std::string& key) {
    return readFloat(node_, key);
}

void PreferenceVolumes::write(const std::string& key, float value) {
    writeFloat(node_, key, value);
}

std::optional<float> MemoryVolumes::read(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    return found == values_.end() ? std::nullopt : std::optional<float>(found->second);
}

void MemoryVolumes::write(const std::string& key, float value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}

}  // namespace orlex::audio
