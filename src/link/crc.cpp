#include "link/crc.h"

#include <array>

namespace kovra {

namespace {

// The register after shifting each byte value through the eight steps of the
// bitwise algorithm, so that a byte costs one lookup instead of eight shifts.
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint16_t crc = static_cast<std::uint16_t>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = crc & 1u;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (carry) {
                crc ^= 0xA001;
            }
        }
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

} // namespace

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>(crc >> 8 ^ kCrcTable[(crc ^ bytes[i]) & 0xFFu]);
    }
    return crc;
}

bool FrameCrcMatches(const std::uint8_t* frame, std::size_t length) {
    if (length < 2) {
        return false;
    }
    const std::uint16_t crc = Crc16(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

} // namespace kovra
