#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

// CRC-16 of Modbus RTU: initial value 0xFFFF, reflected polynomial 0xA001, no
// final xor. A frame carries it low byte first.
std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t length);

// True when the last two bytes of a frame of the given total length hold the
// CRC of the bytes before them, low byte first.
bool FrameCrcMatches(const std::uint8_t* frame, std::size_t length);

} // namespace kovra
