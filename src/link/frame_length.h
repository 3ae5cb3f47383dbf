// The length of a J-bus frame as its first bytes tell it: the rule by which
// a reply is read, shared with whatever else cuts frames out of a byte stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

// Set in the function byte of a reply: the PLC refused the request and byte 2
// holds its exception code.
constexpr std::uint8_t kExceptionFlag = 0x80;

// The largest reply: read data of 255 bytes.
constexpr std::size_t kMaxReplyLength = 5 + 255;

namespace frame_layout {
constexpr std::size_t kHeaderLength = 2;       // station, function
constexpr std::size_t kByteCountLength = 3;    // station, function, byte count
constexpr std::size_t kExceptionLength = 5;    // header, exception code, CRC
constexpr std::size_t kWriteEchoLength = 8;    // header, address, value or count, CRC
constexpr std::size_t kReadOverhead = 5;       // header, byte count, CRC
constexpr std::size_t kFixedRequestLength = 8; // header, address, quantity or value, CRC
constexpr std::size_t kWriteWordsHead = 7;     // header, address, count, byte count
constexpr std::size_t kWriteWordsOverhead = 9; // the head and the CRC
} // namespace frame_layout

// Total length, CRC included, of the request whose first `known` bytes are at
// `head`, or 0 while they do not tell it: 8 bytes for functions 1 to 6, 9 +
// the byte count for 15 and 16, and 0 for any other function.
constexpr std::size_t RequestLength(const std::uint8_t* head, std::size_t known) {
    using namespace frame_layout;
    if (known < kHeaderLength) {
        return 0;
    }
    const unsigned function = head[1];
    if (function >= 1 && function <= 6) {
        return kFixedRequestLength;
    }
    if ((function == 15 || function == 16) && known >= kWriteWordsHead) {
        return kWriteWordsOverhead + head[kWriteWordsHead - 1];
    }
    return 0;
}

// The same for a reply: 5 bytes for an exception, 8 for the echo of a write
// (`writeEcho`: a write awaits it), 5 + the byte count for read data.
constexpr std::size_t ReplyLength(const std::uint8_t* head, std::size_t known, bool writeEcho) {
    using namespace frame_layout;
    if (known < kHeaderLength) {
        return 0;
    }
    if ((head[1] & kExceptionFlag) != 0) {
        return kExceptionLength;
    }
    if (writeEcho) {
        return kWriteEchoLength;
    }
    return known < kByteCountLength ? 0 : kReadOverhead + head[kByteCountLength - 1];
}

} // namespace kovra
