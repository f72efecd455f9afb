#include "audio/voice_codec.h"

#include <algorithm>

namespace orlex::audio {

std::uint8_t VoiceCodec::encode(std::int16_t sample) {
    int value = sample;
    int sign = 0;
    if (value < 0) {
        sign = 0x80;
        value = -value;
    }
    const int m = std::min(32635, value) + 132;
    int exponent = 0;
    for (int bit = 14, e = 7; bit >= 8; --bit, --e) {
        if ((m & (1 << bit)) != 0) {
            exponent = e;
            break;
        }
    }
    const int mantissa = (m >> (exponent + 3)) & 0x0F;
    return static_cast<std::uint8_t>(~(sign | exponent << 4 | mantissa));
}

std::int16_t VoiceCodec::decode(std::uint8_t byte) {
    const int u = static_cast<std::uint8_t>(~byte);
    const int t = ((u & 0x0F) * 8 + 132) << ((u / 16) & 7);
    return static_cast<std::int16_t>((u & 0x80) != 0 ? 132 - t : t - 132);
}

}  // namespace orlex::audio
