#include "common/uuid.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>

#include "common/failure.h"
#include "common/hex.h"

namespace orlex::common {

std::string randomUuid() {
    std::array<std::uint8_t, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw IoFailure("Source aléatoire indisponible");
    }
    bytes[6] = (bytes[6] & 0x0f) | 0x40;
    bytes[8] = (bytes[8] & 0x3f) | 0x80;
    const std::string hex = hexEncode(bytes);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
           "-" + hex.substr(20);
}

}  // namespace orlex::common
