// The CRC of J-bus frames, computed bit by bit as the Modbus definition
// reads: the simulator's own, independent of the driver's table, and the
// reference that the driver's CRC is tested against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plcsim {

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t length);
// Appends the CRC, low byte first.
void AppendCrc(std::vector<std::uint8_t>& frame);

} // namespace plcsim
