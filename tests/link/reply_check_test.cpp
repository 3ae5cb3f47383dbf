// Whether a reply answers its request, judged from the two frames alone.
#include "link/crc.h"
#include "link/reply_check.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kovra;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes WithCrc(Bytes frame) {
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

Bytes WithBadCrc(Bytes frame) {
    frame = WithCrc(frame);
    frame.back() ^= 0xFF;
    return frame;
}

struct Case {
    const char* what;
    Bytes request;
    Bytes reply; // CRC included
    ReplyFault fault;
    unsigned received;
};

TEST(ReplyCheck, NamesTheFirstThingThatDoesNotAnswerTheRequest) {
    const Bytes readWords{1, 3, 0x00, 0x10, 0x00, 0x02};
    const Bytes readBits{1, 1, 0x00, 0x10, 0x00, 0x0A};
    const Bytes writeBit{1, 5, 0x00, 0x10, 0xFF, 0x00};
    const Bytes writeWord{1, 6, 0x00, 0x10, 0x12, 0x34};
    const Bytes writeWords{5, 16, 0x00, 0x01, 0x00, 0x04, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    const Case cases[] = {
        {"a read answered", readWords, WithCrc({1, 3, 4, 1, 2, 3, 4}), ReplyFault::None, 0},
        {"bits take whole bytes", readBits, WithCrc({1, 1, 2, 0xFF, 0x03}), ReplyFault::None, 0},
        {"another station", readWords, WithCrc({7, 3, 4, 1, 2, 3, 4}), ReplyFault::Station, 7},
        {"another station before its CRC", readWords, WithBadCrc({7, 3, 4, 1, 2, 3, 4}),
         ReplyFault::Station, 7},
        {"a bad CRC", readWords, WithBadCrc({1, 3, 4, 1, 2, 3, 4}), ReplyFault::Crc, 0},
        {"an exception", readWords, WithCrc({1, 0x83, 2}), ReplyFault::Exception, 2},
        {"an exception with a bad CRC", readWords, WithBadCrc({1, 0x83, 2}), ReplyFault::Crc, 0},
        {"a read of another function", readWords, WithCrc({1, 4, 4, 1, 2, 3, 4}),
         ReplyFault::Function, 4},
        {"a read short of data", readWords, WithCrc({1, 3, 2, 1, 2}), ReplyFault::ByteCount, 2},
        {"a bit write echoed", writeBit, WithCrc(writeBit), ReplyFault::None, 0},
        {"a word write echoed", writeWord, WithCrc(writeWord), ReplyFault::None, 0},
        {"a words write echoed", writeWords, WithCrc({5, 16, 0x00, 0x01, 0x00, 0x04}),
         ReplyFault::None, 0},
        {"a write echoed by another station", writeWord, WithCrc({7, 6, 0x00, 0x10, 0x12, 0x34}),
         ReplyFault::Station, 7},
        {"a write's exception with a bad CRC", writeWord, WithBadCrc({1, 0x86, 2}), ReplyFault::Crc,
         0},
        {"a write's exception", writeWord, WithCrc({1, 0x86, 3}), ReplyFault::Exception, 3},
        {"a write echoing another function", writeWord, WithCrc({1, 5, 0x00, 0x10, 0x12, 0x34}),
         ReplyFault::Function, 5},
        {"a write echoing another address", writeWord, WithCrc({1, 6, 0x00, 0x11, 0x12, 0x34}),
         ReplyFault::Address, 0x0011},
        {"a word write echoing another value", writeWord, WithCrc({1, 6, 0x00, 0x10, 0x12, 0x35}),
         ReplyFault::Value, 0x1235},
        {"a bit write echoing another value", writeBit, WithCrc({1, 5, 0x00, 0x10, 0x00, 0x00}),
         ReplyFault::Value, 0},
        {"a words write echoing another address", writeWords,
         WithCrc({5, 16, 0x01, 0x01, 0x00, 0x04}), ReplyFault::Address, 0x0101},
        {"a words write echoing another quantity", writeWords,
         WithCrc({5, 16, 0x00, 0x01, 0x00, 0x03}), ReplyFault::Quantity, 3},
    };
    for (const Case& c : cases) {
        const ReplyCheck check = CheckReply(c.request.data(), c.reply.data(), c.reply.size());
        EXPECT_EQ(check.fault, c.fault) << c.what;
        EXPECT_EQ(check.received, c.received) << c.what;
    }
}

} // namespace
