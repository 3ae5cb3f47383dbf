// A journal collection followed on the line: the frames the driver sends and
// the PLC's good replies, and what they tell of the records lost and read.
#include "line/journal_reads.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace kovra_host;

namespace {

using Frame = std::vector<std::uint8_t>;

constexpr std::uint8_t kStation = 0x05;
constexpr std::uint16_t kFirst = 0x1000;

// The CRC is not looked at: the relay hands over good replies only.
Frame Request(std::uint8_t function, std::uint16_t address, std::uint16_t value) {
    return {kStation,
            function,
            static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value),
            0,
            0};
}

Frame Reply(const std::vector<std::uint16_t>& words) {
    Frame reply{kStation, 3, static_cast<std::uint8_t>(2 * words.size())};
    for (const auto word : words) {
        reply.push_back(static_cast<std::uint8_t>(word >> 8));
        reply.push_back(static_cast<std::uint8_t>(word));
    }
    reply.insert(reply.end(), {0, 0});
    return reply;
}

// A step of a file read: a header (count, used, next), or a read of records.
struct Step {
    bool header = false;
    std::uint16_t a = 0, b = 0, c = 0; // header: count, used, next; read: first record, records
};
Step Header(std::uint16_t count, std::uint16_t used, std::uint16_t next) {
    return {true, count, used, next};
}
Step Records(std::uint16_t first, std::uint16_t records) {
    return {false, first, records};
}

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::optional<std::string> lost;
    unsigned recordsRead;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class FollowedReads : public ::testing::TestWithParam<Case> {};

TEST_P(FollowedReads, TellTheRecordsAnOverflowLostAndTheRecordsRead) {
    constexpr std::uint16_t kWords = 5;
    JournalReads reads;
    EXPECT_EQ(reads.exchange(Request(3, 0x0900, 52), Reply(std::vector<std::uint16_t>(52, 0))), 0u);
    reads.exchange(Request(6, 0x0100, 1), Frame{});
    unsigned recordsRead = 0;
    for (const Step& step : GetParam().steps) {
        if (step.header) {
            std::vector<std::uint16_t> words(16);
            words[3] = step.a;
            words[4] = kWords;
            words[5] = step.b;
            words[6] = step.c;
            words[8] = kFirst;
            EXPECT_EQ(reads.exchange(Request(3, 0x0102, 16), Reply(words)), 0u);
        } else {
            const auto count = static_cast<std::uint16_t>(step.b * kWords);
            recordsRead +=
                reads.exchange(Request(3, static_cast<std::uint16_t>(kFirst + step.a), count),
                               Reply(std::vector<std::uint16_t>(count)));
        }
    }
    EXPECT_EQ(recordsRead, GetParam().recordsRead);
    const FileRead* read = reads.latest(kStation, 1);
    ASSERT_NE(read, nullptr);
    const auto lost = LostInOverflow(*read);
    EXPECT_EQ(lost ? std::optional<std::string>(LostText(*lost)) : std::nullopt, GetParam().lost);
    EXPECT_EQ(reads.latest(kStation, 0x20), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    JournalFiles, FollowedReads,
    ::testing::Values(
        // Passed on last: record 4 (index 3). 105 written since into a ring
        // of 100: the PLC writes at 9, the first 5 of them are gone.
        Case{"TheRingTurnedPastThePosition",
             {Header(100, 100, 9), Records(3, 1), Records(9, 24), Records(33, 24), Records(57, 24),
              Records(81, 19), Records(0, 9), Header(100, 100, 9)},
             "at least 5 records lost",
             101},
        Case{"ExactlyOneTurn",
             {Header(100, 100, 4), Records(3, 1), Records(4, 24), Header(100, 100, 4)},
             "no record lost unless the ring of 100 turned over more than once",
             25},
        Case{"SlotsWrittenDuringTheWholeReadAddTheirRecords",
             {Header(100, 100, 9), Records(3, 1), Records(9, 24), Header(100, 100, 12)},
             "at least 8 records lost",
             25},
        // Nothing passed on before: the whole file from its oldest record,
        // two of which the PLC wrote over meanwhile.
        Case{"AFirstReadWithSlotsWrittenMeanwhile",
             {Header(100, 100, 9), Records(9, 24), Records(33, 24), Header(100, 100, 11)},
             "2 records lost",
             48},
        // Record 50 of 50 read again and changed: cleared and written round
        // since, which tells nothing; the slots written during the read do.
        Case{"ClearedToThePositionThenWrittenDuringTheRead",
             {Header(50, 50, 7), Records(49, 1), Records(7, 24), Header(50, 50, 9)},
             "2 records lost",
             25},
        Case{"RefilledAfterAClear",
             {Header(100, 60, 60), Records(3, 1), Records(0, 24), Header(100, 60, 60)},
             std::nullopt,
             25},
        Case{"ReadCutShortAfterTheReread", {Header(100, 100, 9), Records(3, 1)}, std::nullopt, 1},
        Case{"NothingWrittenAndNoTurnSeen",
             {Header(100, 100, 9), Records(9, 24), Header(100, 100, 9)},
             std::nullopt,
             24}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

} // namespace
