// Whether a reply answers the request it was sent for, judged from the two
// frames alone. Reads and writes share the check; each keeps its own messages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

// The first thing found wrong, in the order the reply is looked at: a reply
// from another station is dropped before anything else is read from it, and
// nothing, not even an exception, is believed before its CRC.
enum class ReplyFault {
    None,
    Station,   // another station answered
    Crc,       // the frame's CRC is wrong
    Exception, // the PLC refused the request
    Function,  // the reply is for another function
    ByteCount, // a read: not the data bytes the requested quantity takes
    Address,   // a write: another address echoed
    Value,     // a write of one bit or word: another value echoed
    Quantity,  // a write of words: another quantity echoed
};

struct ReplyCheck {
    ReplyFault fault = ReplyFault::None;
    // The reply's field that did not match (station, function, byte count,
    // echoed address, value or quantity), or the exception code.
    unsigned received = 0;
};

// `request` is the request frame as sent (read: functions 1 to 4; write: 5, 6
// and 16), `reply` the reply of `replyLength` bytes, CRC included, as Receive
// delivered it.
ReplyCheck CheckReply(const std::uint8_t* request, const std::uint8_t* reply,
                      std::size_t replyLength);

} // namespace kovra
