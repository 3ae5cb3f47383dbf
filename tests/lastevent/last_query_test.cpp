#include "last_event_world.h"

#include "lastevent/last_query.h"

#include <cstring>
#include <ctime>

using namespace kovra;

namespace {

int ThisYearSince1900() {
    const std::time_t now = std::time(nullptr);
    return std::localtime(&now)->tm_year;
}

// The 4-bit year field that the PLC writes for a full year.
unsigned YearField(int fullYear) {
    return static_cast<unsigned>((fullYear - 1990) % 16);
}

std::uint16_t DateWord(unsigned yearField, unsigned month, unsigned day) {
    return static_cast<std::uint16_t>((day << 8) | (month << 4) | yearField);
}

std::uint16_t TimeWord(unsigned hours, unsigned minutes, unsigned seconds) {
    return static_cast<std::uint16_t>((hours << 11) | (minutes << 5) | (seconds / 2));
}

class LastQuery : public LastEventTest {
  protected:
    LastQuery() {
        EXPECT_EQ(OpenLastHoro(instance.request()), 0);
        halvo::ClearRecords();
        instance.descriptor().gate.station = 5;
    }

    Bytes stampFileBytes(std::size_t station) {
        const Bytes file = fileBytes();
        return Bytes(file.begin() + static_cast<long>(station * 6),
                     file.begin() + static_cast<long>(station * 6 + 6));
    }

    // Offers a record of this year, as the read transaction stores it.
    void logRecord(unsigned month, unsigned day, unsigned hours, unsigned minutes,
                   unsigned seconds) {
        const std::uint16_t record[5] = {
            DateWord(YearField(1900 + ThisYearSince1900()), month, day),
            TimeWord(hours, minutes, seconds), 0x0010, 0, 1};
        EXPECT_EQ(UpdateLastQuery(instance.request(), record), 0);
    }

    Instance instance;
};

TEST_F(LastQuery, OnlyAStrictlyLaterEventAdvancesTheStationsStamp) {
    const auto year = static_cast<std::uint8_t>(ThisYearSince1900());
    logRecord(3, 14, 14, 30, 20);
    const Bytes first{year, 3, 14, 14, 30, 20};
    EXPECT_EQ(stampFileBytes(5), first);

    logRecord(3, 14, 14, 30, 22);
    const Bytes later{year, 3, 14, 14, 30, 22};
    EXPECT_EQ(
        Bytes(instance.context().lastQueryStamps + 30, instance.context().lastQueryStamps + 36),
        later);
    EXPECT_EQ(stampFileBytes(5), later);

    // Earlier and equal stamps leave memory and file alone, even when the
    // file on disk says otherwise.
    Bytes marked = fileBytes();
    std::fill(marked.begin() + 30, marked.begin() + 36, 0x77);
    writeFileBytes(marked);
    logRecord(3, 14, 14, 30, 20);
    logRecord(3, 14, 14, 30, 22);
    logRecord(2, 28, 23, 59, 58);
    EXPECT_EQ(
        Bytes(instance.context().lastQueryStamps + 30, instance.context().lastQueryStamps + 36),
        later);
    EXPECT_EQ(stampFileBytes(5), Bytes(6, 0x77));

    logRecord(3, 15, 0, 0, 0);
    EXPECT_EQ(stampFileBytes(5), (Bytes{year, 3, 15, 0, 0, 0}));

    const Bytes file = fileBytes();
    EXPECT_EQ(file.size(), 1536u);
    EXPECT_TRUE(
        std::all_of(file.begin(), file.begin() + 30, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(file.begin() + 36, file.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(messages().empty());
}

TEST_F(LastQuery, EachStationHasItsOwnStampAtSixTimesItsNumber) {
    instance.descriptor().gate.station = 0xFF;
    logRecord(1, 2, 3, 4, 6);
    EXPECT_EQ(stampFileBytes(0xFF),
              (Bytes{static_cast<std::uint8_t>(ThisYearSince1900()), 1, 2, 3, 4, 6}));
    EXPECT_EQ(stampFileBytes(5), Bytes(6, 0));
}

TEST(PlcYearWindow, TheSixteenYearBlockEndsOneYearAfterTheCurrentOne) {
    // In 2006 the fields 0 and 1 are 2006 and 2007, 2 to 15 are 1992 to 2005.
    EXPECT_EQ(PlcYearsSince1900(0, 106), 106);
    EXPECT_EQ(PlcYearsSince1900(1, 106), 107);
    EXPECT_EQ(PlcYearsSince1900(2, 106), 92);
    EXPECT_EQ(PlcYearsSince1900(15, 106), 105);
    // In 2025 the fields 0 to 4 are 2022 to 2026, 5 to 15 are 2011 to 2021.
    EXPECT_EQ(PlcYearsSince1900(0, 125), 122);
    EXPECT_EQ(PlcYearsSince1900(4, 125), 126);
    EXPECT_EQ(PlcYearsSince1900(5, 125), 111);
    EXPECT_EQ(PlcYearsSince1900(15, 125), 121);
    // In 2026 the field 5 is 2027 and 6 is 2012.
    EXPECT_EQ(PlcYearsSince1900(5, 126), 127);
    EXPECT_EQ(PlcYearsSince1900(6, 126), 112);
}

TEST(PlcYearWindow, TodaysFieldsCoverTheFifteenYearsBeforeNextYear) {
    const int now = ThisYearSince1900();
    EXPECT_EQ(CurrentYearsSince1900(), now);
    for (unsigned field = 0; field < 16; ++field) {
        const int years = PlcYearsSince1900(field, CurrentYearsSince1900());
        EXPECT_GE(years, now - 14);
        EXPECT_LE(years, now + 1);
        EXPECT_EQ(YearField(1900 + years), field);
    }
}

TEST_F(LastQuery, LetterGatesReadTheirComponentIntoTheValueArea) {
    const std::uint8_t stamp[6] = {126, 7, 31, 23, 59, 58};
    std::copy(std::begin(stamp), std::end(stamp), instance.context().lastQueryStamps + 5 * 6);
    const char letters[] = "AOJHMS";
    for (int k = 0; k < 6; ++k) {
        std::uint8_t values[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        instance.descriptor().gate.address = letters[k];
        instance.descriptor().values = values;

        EXPECT_EQ(SampleLastQuery(instance.request()), 0);

        std::uint16_t component = 0;
        std::memcpy(&component, values + 2, 2);
        EXPECT_EQ(component, stamp[k]) << letters[k];
        EXPECT_EQ(values[0], 0xEE);
        EXPECT_EQ(values[1], 0xEE);
    }
    EXPECT_TRUE(halvo::History().empty());
}

TEST_F(LastQuery, ANewFileReadsZeroAndAnUnknownAddressIsRefusedUntouched) {
    std::uint8_t values[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    instance.descriptor().values = values;
    instance.descriptor().gate.address = 'A';
    EXPECT_EQ(SampleLastQuery(instance.request()), 0);
    EXPECT_EQ(values[2], 0);
    EXPECT_EQ(values[3], 0);

    for (const std::int32_t address : {0, 2, static_cast<int>('B'), 0x0141}) {
        std::uint8_t untouched[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        instance.descriptor().values = untouched;
        instance.descriptor().gate.address = address;
        EXPECT_EQ(SampleLastQuery(instance.request()), 1) << address;
        EXPECT_EQ(Bytes(untouched, untouched + 4), Bytes(4, 0xEE)) << address;
    }
}

class TriggerGate : public LastQuery {
  protected:
    TriggerGate() {
        instance.descriptor().gate.station = 0x1A;
        instance.descriptor().gate.address = 1;
        instance.descriptor().values = area;
        const std::uint8_t stamp[6] = {125, 5, 28, 13, 45, 30};
        std::copy(std::begin(stamp), std::end(stamp),
                  instance.context().lastQueryStamps + 0x1A * 6);
    }

    void define(const std::string& address, double scale = 1.0) {
        halvo::DefineGate(
            halvo::Gate{0, address, halvo::kHostWord, halvo::CookRule::Linear, scale, 0});
    }

    std::vector<std::pair<std::string, double>> pushed() {
        std::vector<std::pair<std::string, double>> values;
        for (const auto& entry : halvo::History()) {
            values.emplace_back(entry.address, entry.value);
            EXPECT_EQ(entry.time, 0);
        }
        return values;
    }

    std::uint8_t area[4] = {0xEE, 0xEE, 0xEE, 0xEE};
};

TEST_F(TriggerGate, PushesAllSixComponentsCookedThroughTheHost) {
    for (const char* address : {"1AHA", "1AHO", "1AHJ", "1AHH", "1AHM"}) {
        define(address);
    }
    define("1AHS", 10.0);

    EXPECT_EQ(SampleLastQuery(instance.request()), 0);

    using Pushed = std::vector<std::pair<std::string, double>>;
    EXPECT_EQ(
        pushed(),
        (Pushed{
            {"1AHA", 125}, {"1AHO", 5}, {"1AHJ", 28}, {"1AHH", 13}, {"1AHM", 45}, {"1AHS", 300}}));
    EXPECT_EQ(Bytes(area, area + 4), Bytes(4, 0xEE));
    EXPECT_TRUE(messages().empty());
}

TEST_F(TriggerGate, AMissingLetterGateCostsOnlyItsComponent) {
    for (const char* address : {"1AHA", "1AHO", "1AHH", "1AHM", "1AHS"}) {
        define(address);
    }

    EXPECT_EQ(SampleLastQuery(instance.request()), 1);

    EXPECT_EQ(messages(kSeverityTrace),
              std::vector<std::string>{
                  "KOVRA> SampleLastQuery() gate with gate addr str '1AHJ' not found"});
    EXPECT_EQ(messages().size(), 1u);
    using Pushed = std::vector<std::pair<std::string, double>>;
    EXPECT_EQ(pushed(),
              (Pushed{{"1AHA", 125}, {"1AHO", 5}, {"1AHH", 13}, {"1AHM", 45}, {"1AHS", 30}}));
}

TEST_F(TriggerGate, AFailedCookOrPutCostsOnlyItsComponent) {
    for (const char* address : {"1AHA", "1AHO", "1AHJ", "1AHH", "1AHM", "1AHS"}) {
        define(address);
    }
    halvo::FailCalls(halvo::Call::Cook, 0x10007, 1); // only the low 16 bits count

    EXPECT_EQ(SampleLastQuery(instance.request()), 1);
    EXPECT_EQ(messages(), std::vector<std::string>{"KOVRA> SampleLastQuery() Halvo5Cook() rc 7"});
    EXPECT_EQ(pushed().size(), 5u);
    EXPECT_EQ(pushed().front().first, "1AHO");

    halvo::ClearRecords();
    halvo::FailCalls(halvo::Call::PutGateVal, 3, 2);
    EXPECT_EQ(SampleLastQuery(instance.request()), 1);
    EXPECT_EQ(messages(kSeverityTrace),
              (std::vector<std::string>{"KOVRA> SampleLastQuery() Halvo5PutGateVal() rc 3",
                                        "KOVRA> SampleLastQuery() Halvo5PutGateVal() rc 3"}));
    EXPECT_EQ(pushed().size(), 4u);
    EXPECT_EQ(pushed().front().first, "1AHJ");
}

TEST_F(LastQuery, ARestartServesTheStampsTheLastInstanceWrote) {
    logRecord(6, 30, 8, 15, 44);
    Instance restarted;
    ASSERT_EQ(OpenLastHoro(restarted.request()), 0);
    std::uint8_t values[4] = {};
    restarted.descriptor().gate = GateAddress{5, 'H', 'M', -1, 16};
    restarted.descriptor().values = values;

    EXPECT_EQ(SampleLastQuery(restarted.request()), 0);

    std::uint16_t minute = 0;
    std::memcpy(&minute, values + 2, sizeof minute);
    EXPECT_EQ(minute, 15);
    EXPECT_EQ(
        Bytes(restarted.context().lastQueryStamps + 30, restarted.context().lastQueryStamps + 36),
        (Bytes{static_cast<std::uint8_t>(ThisYearSince1900()), 6, 30, 8, 15, 44}));
}

} // namespace
