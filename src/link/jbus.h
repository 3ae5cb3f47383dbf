// One J-bus frame each way over the context's port.
#pragma once

#include "link/frame_length.h"

#include <cstddef>
#include <cstdint>

namespace kovra {

struct DriverContext;

// A transaction sends its frame up to this many times before it gives up.
constexpr int kAttempts = 4;

// Waits the inter-frame gap, discards stale input, appends the CRC (frame has
// room for two more bytes) and writes the frame, switching RTS around it when
// configured. 0 when the whole frame left, 2 otherwise.
int Send(DriverContext& context, std::uint8_t* frame, std::size_t length);

// Reads one reply in up to three timed parts: exception (5 bytes), write echo
// (8 bytes, while writeReplyPending is 1) or read data (5 + byte count); a
// part already read along with an earlier one costs no further wait. 0 with
// the total length in receivedLength, or 2 after logging why. The CRC is not
// checked here. buffer holds at least kMaxReplyLength bytes.
int Receive(DriverContext& context, std::uint8_t* buffer, std::size_t& receivedLength);

} // namespace kovra
