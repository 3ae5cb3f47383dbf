// The simulator's journal files and clock, spoken to in raw frames.
#include "plcsim/config.h"
#include "plcsim/journal.h"
#include "plcsim/simulator.h"
#include "support/plc_line.h"
#include "support/world.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace kovra;

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace {

class SimulatedJournal : public ::testing::Test {
  protected:
    SimulatedJournal() {
        setenv("TZ", "UTC0", 1);
        tzset();
        plc().addStation(5, plcsim::Model::P200X);
        plc().addStation(6, plcsim::Model::P200);
    }
    plcsim::Simulator& plc() { return line_.plc(); }

    // Function 3 from station 5 (or `station`): the data words of the reply.
    std::string read(std::uint16_t start, std::uint16_t count, std::uint8_t station = 5) {
        const Bytes reply = end_.exchange({station, 3, static_cast<std::uint8_t>(start >> 8),
                                           static_cast<std::uint8_t>(start & 0xFF), 0,
                                           static_cast<std::uint8_t>(count)});
        return reply.size() < 5 ? "no reply" : Hex({reply.begin() + 3, reply.end() - 2});
    }
    void select(std::uint16_t file) {
        end_.exchange({5, 6, 0x01, 0x00, static_cast<std::uint8_t>(file >> 8),
                       static_cast<std::uint8_t>(file & 0xFF)});
    }

    SimulatedLine line_;
    SerialEnd end_{line_.path()};
};

TEST_F(SimulatedJournal, ARecordsAddressReadsItAndTheFollowingRecordsEndToEnd) {
    auto journal = plcsim::JournalOf(plc(), 5);
    journal->addFile(plcsim::FileLayout{0x40, 5, 3, 0x3000});
    journal->appendRecord(0x40, {1, 2, 3});
    journal->appendRecord(0x40, {4, 5, 6});
    journal->appendRecord(0x40, {7, 8}); // padded to three words
    select(0x40);

    EXPECT_EQ(read(0x3001, 4), "00 04 00 05 00 06 00 07");
    EXPECT_EQ(read(0x3002, 4), "00 07 00 08 00 00 00 00");
    EXPECT_EQ(read(0x0102, 9), "00 40 00 00 00 00 00 05 00 03 00 03 00 03 00 00 30 00");
    EXPECT_EQ(read(0x0900, 2), "00 40 FF FF");
    EXPECT_EQ(read(0x0900, 120).size(), 120u * 6 - 1); // a P200X table
}

TEST_F(SimulatedJournal, TheRingWrapsOverItsOldestRecord) {
    auto journal = plcsim::JournalOf(plc(), 5);
    journal->addFile(plcsim::FileLayout{0x40, 3, 1, 0x3000});
    for (std::uint16_t value = 1; value <= 4; ++value) {
        journal->appendRecord(0x40, {value});
    }
    select(0x40);
    EXPECT_EQ(read(0x0107, 2), "00 03 00 01"); // used, next
    EXPECT_EQ(read(0x3000, 3), "00 04 00 02 00 03");

    journal->clearFile(0x40);
    EXPECT_EQ(read(0x0107, 2), "00 00 00 00");
}

TEST_F(SimulatedJournal, EventsCarryTheClocksTimeAndTheModelsValueLayout) {
    const Bytes setting{0x1C, 0x05, 0x7D, 0x0D, 0x2D, 0x1E, 0x00, 0x03}; // 28/5/2025 13:45:30
    Bytes frame{5, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08};
    for (const std::uint8_t byte : setting) {
        frame.push_back(byte);
    }
    auto x = plcsim::JournalOf(plc(), 5);
    auto p200 = plcsim::JournalOf(plc(), 6);
    ASSERT_EQ(Hex(end_.exchange(frame)), Hex(WithCrc({5, 0x10, 0x00, 0x01, 0x00, 0x04})));
    EXPECT_EQ(x->clockFrames(), std::vector<Bytes>{setting});
    EXPECT_EQ(read(0x0001, 3).substr(0, 14), "1C 05 7D 0D 2D"); // running from the setting

    x->addFile(plcsim::FileLayout{1, 10, 5, 0x1000});
    x->appendJournalEvent(0x10, 0x12345678);
    select(1);
    // Date 0x1C53 (day 28, month 5, year 3 of 2022-2037), time 0x6DAF or a little later.
    const std::string record = read(0x1000, 5);
    EXPECT_EQ(record.substr(0, 8), "1C 53 6D");
    EXPECT_EQ(record.substr(12), "00 10 12 34 56 78");

    std::tm at{};
    at.tm_year = 125;
    at.tm_mon = 4;
    at.tm_mday = 28;
    p200->addFile(plcsim::FileLayout{1, 10, 5, 0x1000});
    p200->appendJournalEvent(0x10, 0x123456, at);
    end_.exchange({6, 6, 0x01, 0x00, 0x00, 0x01});
    EXPECT_EQ(read(0x1000, 5, 6), "1C 53 00 00 00 10 12 34 56 00");
    EXPECT_EQ(read(0x0900, 52, 6).size(), 52u * 6 - 1); // a P200 table
}

TEST_F(SimulatedJournal, ConfigurationStatementsBuildFilesAndAppendToThem) {
    std::istringstream text(R"(station 7 P200X
file 7 1 4 5
file 7 0x40 10 4 0x2000
clock 7 2025-05-28 13:45:30
event 7 0x10 100 6     # six events: the ring of four wraps
memo 7 0x40 0x1234
record 7 0x40 1 2 3 4
table 7 5 0x55
header 7 0x40 3 3601
clear 7 1
)");
    plcsim::Configure(plc(), text);
    auto journal = plcsim::JournalOf(plc(), 7);
    EXPECT_EQ(journal->usedRecords(1), 0);
    EXPECT_EQ(journal->usedRecords(0x40), 2);
    EXPECT_EQ(journal->table()[5], 0x55);
    end_.exchange({7, 6, 0x01, 0x00, 0x00, 0x40});
    EXPECT_EQ(read(0x0105, 1, 7), "0E 11"); // the overridden record count
    EXPECT_EQ(read(0x0107, 1, 7), "00 02");
    EXPECT_EQ(read(0x2000, 8, 7).substr(0, 5), "1C 53");
    EXPECT_EQ(read(0x2001, 4, 7), "00 01 00 02 00 03 00 04");

    const auto refusal = [&](const std::string& statement) {
        std::istringstream in(statement);
        try {
            plcsim::Configure(plc(), in);
        } catch (const plcsim::ConfigError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal("memo 7 0x41 1\n"), "line 1: no such memo file");
    EXPECT_EQ(refusal("clock 7 2025-13-01 00:00:00\n"),
              "line 1: '2025-13-01 00:00:00' is not a date and time");
    EXPECT_EQ(refusal("event 9 1 1\n"), "line 1: no station 9");
    EXPECT_EQ(refusal("file 7 2 10 0\n"),
              "line 1: a journal file needs records of at least one word");
    EXPECT_EQ(refusal("file 7 1 10 3\n"),
              "line 1: a journal record takes 5 words (date, time, J-bus address, value), not 3");
    EXPECT_EQ(refusal("file 7 2 10 2\n"),
              "line 1: a memo record takes 4 words (date, time, value), not 2");
}

TEST_F(SimulatedJournal, AGeneratorAppendsCountingValuesUntilStopped) {
    std::istringstream text("file 5 0x40 50 4\ngenerate 5 0x40 0 5 100\n");
    plcsim::Configure(plc(), text);
    auto journal = plcsim::JournalOf(plc(), 5);
    for (int wait = 0; wait < 400 && journal->usedRecords(0x40) < 3; ++wait) {
        std::this_thread::sleep_for(5ms);
    }
    journal->stopGenerating();
    const std::uint16_t used = journal->usedRecords(0x40);
    ASSERT_GE(used, 3);
    select(0x40);
    for (std::uint16_t i = 0; i < 3; ++i) {
        const std::string value = i == 0 ? "00 00 00 64" : i == 1 ? "00 00 00 65" : "00 00 00 66";
        EXPECT_EQ(read(static_cast<std::uint16_t>(0x1000 + i), 4).substr(12), value);
    }
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(journal->usedRecords(0x40), used); // stopped means stopped
}

} // namespace
