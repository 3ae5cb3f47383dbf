// The decisions of a file read, from the header, the stored position and
// whether the record passed on last still matches: no PLC needed.
#include "journal/read_plan.h"

#include <gtest/gtest.h>

using namespace kovra;

namespace {

// recordCount, recordWords, usedRecords, nextRecord, firstRecordAddress.
constexpr FileHeader Ring(std::uint16_t count, std::uint16_t used, std::uint16_t next,
                          std::uint16_t words = 5) {
    return FileHeader{count, words, used, next, 0x1000};
}

struct PlanCase {
    const char* name;
    FileHeader header;
    std::uint16_t lastRecord;
    bool matches;
    bool rereads;
    ReadPlan plan;
};

void PrintTo(const PlanCase& planCase, std::ostream* out) {
    *out << planCase.name;
}

class ReadPlans : public ::testing::TestWithParam<PlanCase> {};

TEST_P(ReadPlans, ReadOnlyWhatFollowsTheLastRecordOrTheWholeFileOldestFirst) {
    const PlanCase& c = GetParam();
    EXPECT_EQ(RereadsLastRecord(c.header, c.lastRecord), c.rereads);
    const ReadPlan plan = PlanReads(c.header, c.lastRecord, c.matches);
    EXPECT_EQ(plan.part1, c.plan.part1);
    EXPECT_EQ(plan.part2, c.plan.part2);
    EXPECT_EQ(plan.continuity, c.plan.continuity);
}

using enum Continuity;

INSTANTIATE_TEST_SUITE_P(
    JournalFiles, ReadPlans,
    ::testing::Values(
        PlanCase{"FirstReadOfAFile", Ring(20, 4, 4), 0, false, false, {{4, 4}, {0, 4}, FirstRead}},
        PlanCase{"FirstReadOfAWrappedRing",
                 Ring(10, 10, 3),
                 0,
                 false,
                 false,
                 {{3, 10}, {0, 3}, FirstRead}},
        PlanCase{"Continues", Ring(20, 15, 15), 10, true, true, {{10, 15}, {}, Continues}},
        PlanCase{"ContinuesPastTheEndOfTheRing",
                 Ring(3600, 3600, 2),
                 3598,
                 true,
                 true,
                 {{3598, 3600}, {0, 2}, Continues}},
        PlanCase{"NothingNew", Ring(20, 10, 10), 10, true, true, {{10, 10}, {}, Continues}},
        PlanCase{"OverwrittenWhenMoreRecordsAreUsed",
                 Ring(10, 10, 4),
                 4,
                 false,
                 true,
                 {{4, 10}, {0, 4}, Overwritten}},
        PlanCase{"ClearedWhenRefilledToTheSameLength",
                 Ring(10, 4, 4),
                 4,
                 false,
                 true,
                 {{4, 4}, {0, 4}, Cleared}},
        PlanCase{"ClearedWhenShorterThanTheStoredPosition",
                 Ring(10, 2, 2),
                 4,
                 true,
                 false,
                 {{2, 2}, {0, 2}, Cleared}},
        PlanCase{"EmptiedWithANextRecordLeftOver",
                 Ring(10, 0, 7),
                 4,
                 false,
                 false,
                 {{0, 0}, {0, 0}, Cleared}},
        PlanCase{
            "EmptyAndNeverRead", Ring(10, 0, 7), 0, false, false, {{0, 0}, {0, 0}, FirstRead}}),
    [](const ::testing::TestParamInfo<PlanCase>& param) { return std::string(param.param.name); });

struct HeaderCase {
    const char* name;
    FileHeader header;
    HeaderFault fault;
    std::uint16_t value;
};

void PrintTo(const HeaderCase& headerCase, std::ostream* out) {
    *out << headerCase.name;
}

class Headers : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Headers, AreRefusedForTheFirstFieldThatDoesNotFitTheBuffer) {
    const HeaderCase& c = GetParam();
    const HeaderVerdict verdict = CheckHeader(c.header);
    EXPECT_EQ(verdict.fault, c.fault);
    EXPECT_EQ(verdict.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    JournalFiles, Headers,
    ::testing::Values(
        HeaderCase{"TheLargestJournal", Ring(3600, 3600, 0), HeaderFault::None, 0},
        HeaderCase{"MoreThan3600Records", Ring(3601, 0, 0), HeaderFault::TooManyRecords, 3601},
        HeaderCase{"AnEmptyFileWithoutRecordLength", Ring(10, 0, 0, 0), HeaderFault::None, 0},
        HeaderCase{"RecordsOfNoWords", Ring(10, 1, 1, 0), HeaderFault::RecordWords, 0},
        HeaderCase{"RecordsLongerThanARead", Ring(1, 1, 1, 121), HeaderFault::RecordWords, 121},
        HeaderCase{"RecordsBeyondTheBuffer", Ring(3600, 1, 1, 6), HeaderFault::RecordWords, 6},
        HeaderCase{"MoreRecordsUsedThanHeld", Ring(20, 21, 0), HeaderFault::UsedRecords, 21},
        HeaderCase{"NextRecordBeyondTheUsedOnes", Ring(20, 3, 4), HeaderFault::NextRecord, 4},
        HeaderCase{"LastRecordAtTheTopOfTheMap", FileHeader{4, 5, 4, 0, 0xFFFC}, HeaderFault::None,
                   0},
        HeaderCase{"RecordsPastTheTopOfTheMap", FileHeader{4, 5, 4, 0, 0xFFFF},
                   HeaderFault::RecordAddress, 0xFFFF}),
    [](const ::testing::TestParamInfo<HeaderCase>& param) {
        return std::string(param.param.name);
    });

struct SettleCase {
    const char* name;
    FileHeader before;
    FileHeader after;
    SettledRead settled;
};

void PrintTo(const SettleCase& settleCase, std::ostream* out) {
    *out << settleCase.name;
}

class WholeReads : public ::testing::TestWithParam<SettleCase> {};

TEST_P(WholeReads, PassNoSlotThePlcWroteWhileTheRecordsWereRead) {
    const SettleCase& c = GetParam();
    const SettledRead settled = SettleWholeRead(c.before, c.after);
    EXPECT_EQ(settled.part1, c.settled.part1);
    EXPECT_EQ(settled.part2, c.settled.part2);
    EXPECT_EQ(settled.lostRecords, c.settled.lostRecords);
}

INSTANTIATE_TEST_SUITE_P(
    JournalFiles, WholeReads,
    ::testing::Values(
        SettleCase{"NothingWritten", Ring(30, 30, 5), Ring(30, 30, 5), {{5, 30}, {0, 5}, 0}},
        SettleCase{"TheOldestSlotsWritten", Ring(30, 30, 5), Ring(30, 30, 7), {{7, 30}, {0, 5}, 2}},
        SettleCase{
            "TheTailWrittenToItsEnd", Ring(30, 30, 5), Ring(30, 30, 0), {{30, 30}, {0, 5}, 25}},
        SettleCase{
            "WrittenOnIntoTheHead", Ring(30, 30, 5), Ring(30, 30, 2), {{30, 30}, {2, 5}, 27}},
        SettleCase{
            "AllButTheNewestWritten", Ring(30, 30, 5), Ring(30, 30, 4), {{30, 30}, {4, 5}, 29}},
        SettleCase{"OldestAtSlot0", Ring(30, 30, 0), Ring(30, 30, 3), {{3, 30}, {0, 0}, 3}},
        SettleCase{"NextRecordAtTheEnd", Ring(30, 30, 30), Ring(30, 30, 2), {{30, 30}, {2, 30}, 2}},
        SettleCase{"NotFullWrittenPastItsRecords",
                   Ring(30, 10, 10),
                   Ring(30, 13, 13),
                   {{10, 10}, {0, 10}, 0}},
        SettleCase{
            "NotFullFilledToTheEnd", Ring(30, 10, 10), Ring(30, 30, 0), {{10, 10}, {0, 10}, 0}},
        SettleCase{
            "NotFullFilledAndWrapped", Ring(30, 10, 10), Ring(30, 30, 4), {{10, 10}, {4, 10}, 4}},
        SettleCase{"ClearedInBetween", Ring(30, 30, 5), Ring(30, 2, 2), {}},
        SettleCase{"ReshapedInBetween", Ring(30, 30, 5), Ring(30, 30, 5, 4), {}},
        SettleCase{"MovedInBetween", Ring(30, 30, 5), FileHeader{30, 5, 30, 5, 0x2000}, {}},
        SettleCase{"NextRecordBeyondTheUsedOnes", Ring(30, 10, 10), Ring(30, 12, 13), {}},
        SettleCase{"EmptyBefore", Ring(30, 0, 0), Ring(30, 2, 2), {}},
        SettleCase{"MoreRecordsUsedThanHeld", Ring(0, 1, 1), Ring(0, 1, 1), {}}),
    [](const ::testing::TestParamInfo<SettleCase>& param) {
        return std::string(param.param.name);
    });

} // namespace
