// Listening to a serial line without a word sent: the device opened with the
// line settings, and what it receives handed on with its time.
#pragma once

#include "contract/records.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kovra_host {

// Calls `seen` with each chunk of bytes and the seconds since the start, and
// `idle` every few milliseconds and after each chunk with the time; stops when
// `idle` returns false. False with the reason when the device cannot be
// opened or fails.
bool Listen(const std::string& device, const kovra::CommSettings& settings,
            const std::function<void(double, const std::uint8_t*, std::size_t)>& seen,
            const std::function<bool(double)>& idle, std::string& error);

} // namespace kovra_host
