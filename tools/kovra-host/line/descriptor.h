// Writing to a non-blocking descriptor: the relay's ends and a device
// server's connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra_host {

// Writes every byte, waiting while the descriptor is full; false on failure.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count);

} // namespace kovra_host
