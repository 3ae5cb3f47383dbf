#include "line/device.h"

#include <gtest/gtest.h>

using namespace kovra_host;

TEST(Device, TheFileTableTellsTheModelAndTheClockRegistersTheTime) {
    std::vector<std::uint32_t> table(kFileTableWords, 0);
    EXPECT_EQ(ModelFromFileTable(table), std::nullopt);
    table[0] = 0x0001;
    EXPECT_EQ(ModelFromFileTable(table), "P200");
    table[kP200FileTableWords] = 0x0002;
    EXPECT_EQ(ModelFromFileTable(table), "P200X");

    // Day, month, year since 1900, hour, minute, second: a byte each, high first.
    EXPECT_EQ(ClockFromRegisters({0x1C05, 0x7D0D, 0x2D1E, 0x0000}), "2025-05-28 13:45:30");
    EXPECT_EQ(ClockFromRegisters({0x0005, 0x7D0D, 0x2D1E, 0x0000}), std::nullopt); // day 0
    EXPECT_EQ(ClockFromRegisters({0x1C0D, 0x7D0D, 0x2D1E, 0x0000}), std::nullopt); // month 13
    EXPECT_EQ(ClockFromRegisters({0x1C05, 0x7D18, 0x2D1E, 0x0000}), std::nullopt); // hour 24
    EXPECT_EQ(ClockFromRegisters({0x1C05, 0x7D0D}), std::nullopt);
}

TEST(Device, BytesTakeTheirStartDataParityAndStopBitsOnTheWire) {
    // Speed, data bits, stop bits (0 one, 1 one and a half, 2 two), parity.
    EXPECT_DOUBLE_EQ(WireSeconds(960, {9600, 8, 0, 0}), 1.0);    // 8N1: 10 bits
    EXPECT_DOUBLE_EQ(WireSeconds(960, {9600, 7, 2, 2}), 1.1);    // 7E2: 11 bits
    EXPECT_DOUBLE_EQ(WireSeconds(1920, {19200, 5, 1, 0}), 0.75); // 5N1.5: 7.5 bits
}
