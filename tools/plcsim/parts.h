// The simulator's parts as they see each other: the transport frames what
// comes off the line, the serving answers it as a station would, and the
// faults spoil the answer as a station or a line may.
#pragma once

#include "plcsim/simulator.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace plcsim {

constexpr std::size_t kFixedRequestLength = 8; // functions 1 to 6
constexpr std::size_t kWriteWordsHeader = 7;   // station, 16, start, count, byte count

// The length of the request at the start of `buffer`, when its header tells it.
std::optional<std::size_t> RequestLength(const std::vector<std::uint8_t>& buffer);

// The fault that applies to this request, used up by one.
std::optional<Fault> TakeFault(std::vector<Fault>& queue);

} // namespace plcsim
