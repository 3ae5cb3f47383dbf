// The serial seam of the fuzz build: instead of a device, the far end of the
// line is a function that answers every frame the driver writes with the bytes
// that arrive afterwards. Reads take those bytes in order and time out at
// once when they run out; sleeps return at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kovra::fuzz {

using Bytes = std::vector<std::uint8_t>;
using Responder = std::function<Bytes(const Bytes& request)>;

void SetResponder(Responder responder);

// The bytes cut into replies, one per request: a length byte, then that many
// bytes (fewer at the end of the data). Requests beyond the last reply meet
// silence.
Responder ScriptedReplies(const std::uint8_t* data, std::size_t size);

} // namespace kovra::fuzz
