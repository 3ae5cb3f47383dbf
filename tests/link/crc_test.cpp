#include "link/crc.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kovra;

TEST(Crc16, MatchesTheModbusCheckValues) {
    EXPECT_EQ(Crc16(nullptr, 0), 0xFFFF);
    const char* digits = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(digits), std::strlen(digits)), 0x4B37);
    const std::uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(Crc16(request, sizeof request), 0x0A84);
}

TEST(Crc16, AWholeFrameChecksToZeroAndIsAcceptedOnlyIntact) {
    std::uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    EXPECT_EQ(Crc16(frame, sizeof frame), 0);
    EXPECT_TRUE(FrameCrcMatches(frame, sizeof frame));
    frame[3] ^= 0x01;
    EXPECT_FALSE(FrameCrcMatches(frame, sizeof frame));
    EXPECT_FALSE(FrameCrcMatches(frame, 1));
}
