// How long characters take on a serial line.
#pragma once

#include "contract/records.h"

#include <chrono>
#include <cstdint>

namespace kovra {

// One character in the settings' format, counted in half bits (for one and a
// half stop bits): a start bit, the data bits, a parity bit unless the parity
// is none, and the stop bits (code 0 one, 1 one and a half, 2 two). The low
// byte of each code counts.
constexpr unsigned CharacterHalfBits(const CommSettings& settings) {
    return 2 + 2 * (settings.dataBits & 0xFFu) + ((settings.parity & 0xFFu) != 0 ? 2 : 0) + 2 +
           (settings.stopBits & 0xFFu);
}

// How long `characters` characters of `halfBits` each take at `baud` bit/s,
// rounded up to the microsecond; nothing at speed 0.
constexpr std::chrono::microseconds WireTime(unsigned characters, unsigned halfBits,
                                             std::uint32_t baud) {
    if (baud == 0) {
        return std::chrono::microseconds{0};
    }
    const std::uint64_t halfBitsPerSecond = 2 * std::uint64_t{baud};
    const std::uint64_t total = std::uint64_t{characters} * halfBits * 1000000;
    return std::chrono::microseconds{static_cast<std::chrono::microseconds::rep>(
        (total + halfBitsPerSecond - 1) / halfBitsPerSecond)};
}

} // namespace kovra
