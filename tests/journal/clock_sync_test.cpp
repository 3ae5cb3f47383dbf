#include "journal/clock_sync.h"
#include "journal/journal_world.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

using namespace kovra;

namespace {

std::vector<std::uint8_t> FrameFor(int year, int month, int day, int hour, int minute, int second,
                                   int weekday) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_wday = weekday;
    std::vector<std::uint8_t> frame(kClockFrameSize, 0xEE);
    FillClockFrame(local, frame.data());
    return frame;
}

TEST(ClockFrame, CarriesDayMonthYearTimeAndWeekdayAsPlainBytes) {
    // Wednesday 28 May 2025, 13:45:30.
    EXPECT_EQ(FrameFor(2025, 5, 28, 13, 45, 30, 3),
              (std::vector<std::uint8_t>{0x1C, 0x05, 0x7D, 0x0D, 0x2D, 0x1E, 0x00, 0x03}));
}

TEST(ClockFrame, SundayIsZeroAndTheYear2000Is100) {
    EXPECT_EQ(FrameFor(2000, 1, 2, 0, 0, 0, 0),
              (std::vector<std::uint8_t>{0x02, 0x01, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

} // namespace

namespace {

class ClockSetting : public JournalWorld {
  protected:
    // The clock bytes of the one block write on the wire, checked against the
    // PC's local time read just before and just after the request.
    void expectClockFromThePc(std::uint32_t functionCode) {
        const std::time_t before = std::time(nullptr);
        EXPECT_EQ(access("05S0000", functionCode), kStatusDone);
        const std::time_t after = std::time(nullptr);

        const auto requests = plc().requests();
        ASSERT_EQ(requests.size(), 1u);
        const std::vector<std::uint8_t>& frame = requests[0];
        ASSERT_EQ(frame.size(), 17u);
        EXPECT_EQ(Hex({frame.begin(), frame.begin() + 7}), "05 10 00 01 00 04 08");
        const std::vector<std::uint8_t> clock(frame.begin() + 7, frame.begin() + 15);
        EXPECT_TRUE(clock == LocalClockBytes(before) || clock == LocalClockBytes(after))
            << Hex(clock);
        EXPECT_EQ(journal(kP200X).clockFrames(), std::vector<std::vector<std::uint8_t>>{clock});
    }

    static std::vector<std::uint8_t> LocalClockBytes(std::time_t when) {
        std::tm local{};
        localtime_r(&when, &local);
        return {static_cast<std::uint8_t>(local.tm_mday),
                static_cast<std::uint8_t>(local.tm_mon + 1),
                static_cast<std::uint8_t>(local.tm_year % 256),
                static_cast<std::uint8_t>(local.tm_hour),
                static_cast<std::uint8_t>(local.tm_min),
                static_cast<std::uint8_t>(local.tm_sec),
                0,
                static_cast<std::uint8_t>(local.tm_wday)};
    }

    // How far the station's clock is from the PC's, in seconds.
    std::time_t clockOffset(std::uint8_t station) {
        std::tm plcTime = journal(station).clockNow();
        return std::mktime(&plcTime) - std::time(nullptr);
    }
};

TEST_F(ClockSetting, ReadingAnSGateSetsAP200XClockFromThePcsLocalTime) {
    start();
    expectClockFromThePc(kSingleRead);
}

TEST_F(ClockSetting, WritingAnSGateSetsItToo) {
    start();
    expectClockFromThePc(kSingleWrite);
}

TEST_F(ClockSetting, AP200GetsNothing) {
    start();
    EXPECT_EQ(access("06S0000"), kStatusRefused);
    EXPECT_TRUE(plc().requests().empty());
    EXPECT_TRUE(logged("KOVRA> SyncClocks() only supported on P200-X", kSeverityTrace));
}

TEST_F(ClockSetting, APlcThatNeverAnswersCostsFourAttemptsAndFails) {
    start();
    plc().injectFault(kP200X, plcsim::Fault::Silent());
    EXPECT_EQ(access("05S0000"), kStatusRefused);
    EXPECT_EQ(plc().requests().size(), 4u);
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_TRUE(logged("KOVRA> DoWrite() receive error, retry " + std::to_string(attempt)));
    }
    EXPECT_EQ(messages(kSeverityError),
              std::vector<std::string>{"KOVRA> SyncClocks() plc 05 failed, rc 1"});
}

TEST_F(ClockSetting, WithClockSyncEveryCollectionSetsTheClockFirstAndEventsCarryItsTime) {
    start("CLOCKSYNC = YES\n");
    DefineGate("0530010");
    auto& plcJournal = journal(kP200X);
    plcJournal.addFile(plcsim::FileLayout{1, 10, 5, 0x1000});
    plcJournal.setClock(At(0)); // far behind the PC

    EXPECT_EQ(collect(kP200X), kStatusDone);
    const auto requests = wire();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], "B 0001 4");
    EXPECT_EQ(requests[1], "R 0900 120");
    EXPECT_LE(std::abs(clockOffset(kP200X)), 2);

    plcJournal.appendJournalEvent(0x10, 7);
    const std::time_t now = std::time(nullptr);
    EXPECT_EQ(collect(kP200X), kStatusDone);
    const auto history = halvo::History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_LE(std::abs(history[0].time - now), 3);
}

TEST_F(ClockSetting, WithClockSyncAP200sJournalIsStillRead) {
    start("CLOCKSYNC = YES\n");
    journal(kP200).addFile(plcsim::FileLayout{1, 10, 5, 0x1000});
    EXPECT_EQ(collect(kP200), kStatusDone);
    EXPECT_TRUE(logged("KOVRA> SyncClocks() only supported on P200-X", kSeverityTrace));
    EXPECT_EQ(wire(), (std::vector<std::string>{"R 0900 52", "W 0100 0001", "R 0102 16"}));
}

TEST_F(ClockSetting, APlcRefusingTheClockStillHasItsJournalRead) {
    start("CLOCKSYNC = YES\n");
    journal(kP200X).addFile(plcsim::FileLayout{1, 10, 5, 0x1000});
    plc().injectFault(kP200X, plcsim::Fault::WithException(plcsim::kIllegalAddress, 1));
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_TRUE(logged("KOVRA> SyncClocks() plc 05 failed, rc 1", kSeverityError));
    EXPECT_EQ(wire(),
              (std::vector<std::string>{"B 0001 4", "R 0900 120", "W 0100 0001", "R 0102 16"}));
}

TEST_F(ClockSetting, AClockFrameThatCannotBeSentAbandonsTheCollection) {
    auto line = std::make_unique<PtyPair>();
    start("CLOCKSYNC = YES\n", line->slavePath());
    line.reset(); // the line hangs up

    EXPECT_EQ(collect(kP200X), kStatusUnavailable);

    EXPECT_TRUE(logged("KOVRA> SyncClocks() plc 05 failed, rc 2", kSeverityError));
    EXPECT_TRUE(logged("KOVRA> ReadHoroData() plc05 aborted, SyncClocks() failed", kSeverityTrace));
    EXPECT_FALSE(logged("KOVRA> ReadHoroData() plc 05 'TABLE $0900' open failed"));
}

} // namespace
