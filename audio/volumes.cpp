#include "audio/volumes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

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
    // strtof accepts "NaN" and "Infinity" as the store may hold them; anything else unparsable is absent.
    const char* begin = text->c_str();
    char* end = nullptr;
    const float value = std::strtof(begin, &end);
    if (end == begin)
        return std::nullopt;
    return value;
}

void writeFloat(common::Preferences& store, const std::string& key, float value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    store.put(key, std::string(buffer, result.ptr));
}

}  // namespace orlex::audio
