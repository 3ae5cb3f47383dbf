#include "line/frames.h"
#include "link/crc.h"

#include <gtest/gtest.h>

using namespace kovra;

using namespace kovra_host;

namespace {

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame) {
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

} // namespace

TEST(Trace, RequestsAndRepliesAreCutByTheLengthsJbusImplies) {
    FrameSplitter requests(Direction::ToPlc);
    const auto read = WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01});
    const auto clock = WithCrc(
        {0x05, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08, 0x1C, 0x05, 0x7D, 0x0D, 0x2D, 0x1E, 0x00, 0x03});
    std::vector<std::uint8_t> stream = read;
    stream.insert(stream.end(), clock.begin(), clock.end());
    // Bytes arrive in pieces that do not follow the frames.
    auto first = requests.feed(stream.data(), 5);
    EXPECT_TRUE(first.empty());
    auto rest = requests.feed(stream.data() + 5, stream.size() - 5);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0], read);
    EXPECT_EQ(rest[1], clock);
    EXPECT_FALSE(requests.pending());

    FrameSplitter replies(Direction::FromPlc);
    const auto data = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    const auto refusal = WithCrc({0x01, 0x83, 0x02});
    stream = data;
    stream.insert(stream.end(), refusal.begin(), refusal.end());
    stream.push_back(0x01); // a reply cut short
    const auto frames = replies.feed(stream.data(), stream.size());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], refusal);
    EXPECT_TRUE(replies.pending());
    EXPECT_EQ(replies.flush(), std::vector<std::uint8_t>{0x01});
}

TEST(Trace, EachFrameIsToldInWords) {
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01})),
              "station 01: read 1 word at 0x0010");
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, WithCrc({0x01, 0x03, 0x02, 0x12, 0x34})),
              "station 01: reply, 2 data bytes: 0x1234");
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x02, 0x03, 0x09, 0x00, 0x00, 0x78})),
              "station 02: read 120 words at 0x0900 (journal file table)");
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x02, 0x06, 0x01, 0x00, 0x00, 0x01})),
              "station 02: write word 0x0100 = 0x0001 (select journal file $0001)");
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x01, 0x05, 0x00, 0x03, 0xFF, 0x00})),
              "station 01: write bit 0x0003 = 1");
    EXPECT_EQ(
        DescribeFrame(Direction::ToPlc, WithCrc({0x05, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08, 0x1C,
                                                 0x05, 0x7D, 0x0D, 0x2D, 0x1E, 0x00, 0x03})),
        "station 05: write 4 words at 0x0001 (set clock to 2025-05-28 13:45:30)");
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, WithCrc({0x01, 0x83, 0x02})),
              "station 01: exception 02 to function 03 (illegal data address)");
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, WithCrc({0x01, 0x06, 0x00, 0x10, 0x00, 0x07})),
              "station 01: write acknowledged");
}

TEST(Trace, ABadCrcAndACutFrameAreMarked) {
    auto frame = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    frame.back() ^= 0xFF;
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, frame),
              "station 01: reply, 2 data bytes: 0x1234 [CRC error]");
    EXPECT_EQ(TraceLine("13:45:30.125", Direction::FromPlc, {0x01, 0x03, 0x02, 0x12}, false),
              "13:45:30.125 <- 01 03 02 12  station 01: reply, 2 data bytes [incomplete]");
}
