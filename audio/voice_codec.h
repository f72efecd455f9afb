#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orlex::audio {

// G.711 μ-law (bias 132, clip 32,635, no zero-code trap) for staff voice frames: 160 samples of 8,000 Hz
// signed 16-bit mono (20 ms) become 160 bytes.
struct VoiceCodec {
    static constexpr std::size_t SAMPLES = 160;

    static std::uint8_t encode(std::int16_t sample);
    static std::int16_t decode(std::uint8_t byte);
};

}  // namespace orlex::audio
