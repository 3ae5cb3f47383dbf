#include "link/crc.h"
#include "plcsim/crc.h"

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

TEST(Crc16, AgreesWithTheBitwiseDefinitionForEveryByteValue) {
    std::uint8_t run[256];
    for (unsigned value = 0; value < 256; ++value) {
        run[value] = static_cast<std::uint8_t>(value * 37 + 11);
        const auto byte = static_cast<std::uint8_t>(value);
        EXPECT_EQ(Crc16(&byte, 1), plcsim::Crc16(&byte, 1)) << "byte " << value;
    }
    EXPECT_EQ(Crc16(run, sizeof run), plcsim::Crc16(run, sizeof run));
}
