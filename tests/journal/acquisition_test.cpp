#include "journal/journal_world.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

using namespace kovra;

using Strings = std::vector<std::string>;

namespace {

constexpr std::uint16_t kJournal = 1;
constexpr std::uint16_t kMemo = 0x0040;
constexpr const char* kOverflowText = "KOVRA01 05:'Journal de Bord' overflow probably records lost";
constexpr const char* kClearedText = "KOVRA01 05:'Journal de Bord' cleared probably records lost";

class JournalCollection : public JournalWorld {
  protected:
    JournalCollection() {
        DefineGate("0530010");
        DefineGate("0530011");
    }

    // A journal of `count` records of `words` words at 0x1000 on station 5.
    plcsim::StationJournal& journalOf(std::uint16_t count, std::uint16_t words = 5) {
        plcsim::StationJournal& plcJournal = journal(kP200X);
        plcJournal.addFile(plcsim::FileLayout{kJournal, count, words, 0x1000});
        return plcJournal;
    }
    // Events of J-bus address 0x10 with values first, first + 1, ..., the
    // value also numbering the stamp.
    static void events(plcsim::StationJournal& plcJournal, int first, int count) {
        for (int value = first; value < first + count; ++value) {
            plcJournal.appendJournalEvent(0x10, static_cast<std::uint32_t>(value), At(value));
        }
    }
    static Strings passedValues(int first, int count) {
        Strings expected;
        for (int value = first; value < first + count; ++value) {
            expected.push_back(Passed("0530010", value, value));
        }
        return expected;
    }
    static Strings Concat(Strings a, const Strings& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

// --- Passing records on ---

TEST_F(JournalCollection, TheFirstCollectionPassesEveryRecordOnceOldestFirstUnderItsPlcTime) {
    start();
    auto& plcJournal = journalOf(20);
    plcJournal.appendJournalEvent(0x10, 100, At(0));
    plcJournal.appendJournalEvent(0x11, 200, At(1));
    plcJournal.appendJournalEvent(0x00, 999, At(2)); // a line without event
    plcJournal.appendJournalEvent(0x10, 101, At(3));

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_EQ(passed(), (Strings{Passed("0530010", 100, 0), Passed("0530011", 200, 1),
                                 Passed("0530010", 101, 3)}));
    EXPECT_EQ(wire(),
              (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1000 20", "R 0102 16"}));
    EXPECT_TRUE(logged("KOVRA> ReadHoroFile() plc 05 reading 'Journal de Bord'", kSeverityTrace));
}

TEST_F(JournalCollection, TheNextCollectionPassesOnlyTheNewRecords) {
    start();
    auto& plcJournal = journalOf(20);
    events(plcJournal, 0, 3);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    events(plcJournal, 3, 2);

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_EQ(passed(), passedValues(3, 2));
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1002 5", "R 1003 10"}));
}

// On 26 October 2025 Paris clocks went back from 03:00 to 02:00: the journal's
// order tells the two 02:xx hours apart, within a collection and across two.
TEST_F(JournalCollection, TheRepeatedAutumnHourIsOrderedByTheRing) {
    setenv("TZ", "Europe/Paris", 1);
    tzset();
    start();
    auto& plcJournal = journalOf(20);
    const auto paris = [](int month, int day, int hours, int minutes) {
        std::tm local{};
        local.tm_year = 125;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hours;
        local.tm_min = minutes;
        return local;
    };
    plcJournal.appendJournalEvent(0x10, 1, paris(7, 14, 12, 0));
    plcJournal.appendJournalEvent(0x10, 2, paris(10, 26, 2, 50)); // summer time
    plcJournal.appendJournalEvent(0x10, 3, paris(10, 26, 2, 10)); // winter time from here on
    plcJournal.appendJournalEvent(0x10, 4, paris(10, 26, 2, 40));
    const auto quietCollection = [this] {
        EXPECT_EQ(collect(kP200X), kStatusDone);
        for (const std::string& message : messages()) {
            EXPECT_EQ(message.find("Horo2SecSince1970"), std::string::npos) << message;
        }
        return passed();
    };
    const Strings first = quietCollection();
    plcJournal.appendJournalEvent(0x10, 5, paris(10, 26, 2, 5));
    plcJournal.appendJournalEvent(0x10, 6, paris(10, 26, 3, 10));

    // 14 July 10:00, 26 October 00:50, 01:10, 01:40, 01:05 (UTC, after the
    // last record of the first collection), 02:10.
    EXPECT_EQ(Concat(first, quietCollection()),
              (Strings{"0530010=1@1752487200", "0530010=2@1761439800", "0530010=3@1761441000",
                       "0530010=4@1761442800", "0530010=5@1761440700", "0530010=6@1761444600"}));
}

TEST_F(JournalCollection, AnUnchangedFileCostsOneSelectionOneHeaderAndOneRecord) {
    start();
    auto& plcJournal = journalOf(20);
    events(plcJournal, 0, 3);
    ASSERT_EQ(collect(kP200X), kStatusDone);

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_TRUE(passed().empty());
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1002 5"}));
}

TEST_F(JournalCollection, AWrappedRingPassesTheTailOfTheRingThenItsHead) {
    start();
    auto& plcJournal = journalOf(10);
    events(plcJournal, 0, 8);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    events(plcJournal, 8, 5); // records 8, 9, then 0, 1, 2
    ASSERT_EQ(plcJournal.nextRecord(kJournal), 3);

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_EQ(passed(), passedValues(8, 5));
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1007 5", "R 1008 10",
                               "R 1000 15"}));
    EXPECT_TRUE(messages(kSeverityError).empty());

    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_TRUE(passed().empty());
    EXPECT_EQ(wire().back(), "R 1002 5");
}

// --- Lost records ---

TEST_F(JournalCollection, AnOverwrittenFileIsReportedAndRaisedThenPassedOnWhole) {
    start(); // alert mode 2
    auto& plcJournal = journalOf(10);
    events(plcJournal, 0, 4);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    events(plcJournal, 4, 10); // the ring turns past record 3

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_TRUE(logged(kOverflowText, kSeverityError));
    ASSERT_EQ(halvo::Alerts().size(), 1u);
    EXPECT_EQ(halvo::Alerts()[0].name, "KOVRA");
    EXPECT_EQ(halvo::Alerts()[0].text, kOverflowText);
    EXPECT_EQ(halvo::Alerts()[0].flags, 0x40000000u);
    EXPECT_EQ(passed(), passedValues(4, 10)); // records 4 to 9, then 0 to 3
}

TEST_F(JournalCollection, AClearedFileIsReportedAsTheAlertModeSaysThenPassedOnWhole) {
    start("ALERTS = 0\n");
    auto& plcJournal = journalOf(10);
    events(plcJournal, 0, 4);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    plcJournal.clearFile(kJournal);
    events(plcJournal, 20, 2); // fewer records than were passed on

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_TRUE(logged(kClearedText, kSeverityTrace));
    EXPECT_TRUE(halvo::Alerts().empty());
    EXPECT_EQ(passed(), passedValues(20, 2));
    // Record 4 is no longer there: nothing to read again.
    EXPECT_EQ(wire(),
              (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1000 10", "R 0102 16"}));
}

TEST_F(JournalCollection, AFileRefilledToTheSameLengthIsReportedCleared) {
    start("ALERTS = 4\n");
    auto& plcJournal = journalOf(10);
    events(plcJournal, 0, 4);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    plcJournal.clearFile(kJournal);
    events(plcJournal, 30, 4);

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_TRUE(logged(kClearedText, kSeverityError));
    ASSERT_EQ(halvo::Alerts().size(), 1u);
    EXPECT_EQ(halvo::Alerts()[0].flags, 0x60000000u);
    EXPECT_EQ(passed(), passedValues(30, 4));
}

TEST_F(JournalCollection, AnEmptiedFileStartsOverFromItsFirstRecord) {
    start();
    auto& plcJournal = journalOf(10);
    events(plcJournal, 0, 3);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    plcJournal.clearFile(kJournal);

    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_TRUE(logged(kClearedText, kSeverityError));
    EXPECT_TRUE(passed().empty());

    events(plcJournal, 10, 1);
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(passed(), passedValues(10, 1));
    EXPECT_TRUE(messages(kSeverityError).empty());
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1000 5", "R 0102 16"}));
}

TEST_F(JournalCollection, ARestartedDriverResumesWithoutPassingAnythingTwice) {
    start();
    auto& plcJournal = journalOf(10);
    events(plcJournal, 0, 6);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    ASSERT_EQ(passed().size(), 6u);

    restart();
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_TRUE(passed().empty());
    EXPECT_TRUE(messages(kSeverityError).empty());

    events(plcJournal, 6, 2);
    restart();
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(passed(), passedValues(6, 2));
}

TEST_F(JournalCollection, AGateLookupErrorKeepsTheRecordForTheNextCollection) {
    start();
    auto& plcJournal = journalOf(10);
    events(plcJournal, 0, 1);
    ASSERT_EQ(collect(kP200X), kStatusDone);
    events(plcJournal, 1, 1);
    halvo::FailCalls(halvo::Call::GetGateId, 9, 1);

    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_TRUE(passed().empty());
    EXPECT_TRUE(logged("KOVRA> LogRecord() error Halvo5GetGateIdByAddressStr(), rc 9"));

    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(passed(), passedValues(1, 1));
}

TEST_F(JournalCollection, APositionThatCannotBeSavedIsNotedAndTheFilesAfterItAreStillRead) {
    start();
    // An empty memo file saves its position at every collection: listed
    // first, it must not hold up the journal behind it while the disk is full.
    auto& plcJournal = journal(kP200X);
    plcJournal.addFile(plcsim::FileLayout{kMemo, 10, 4, 0x2000});
    plcJournal.addFile(plcsim::FileLayout{kJournal, 10, 5, 0x1000});
    events(plcJournal, 0, 3);
    // The disk is full: every write of the last-event file fails.
    std::fclose(context().lastEventFile);
    context().lastEventFile = std::fopen("/dev/full", "rb+");
    ASSERT_NE(context().lastEventFile, nullptr);
    std::setvbuf(context().lastEventFile, nullptr, _IONBF, 0);

    for (const int first : {0, 3}) {
        EXPECT_EQ(collect(kP200X), kStatusRefused);

        EXPECT_EQ(
            messages(kSeverityError).back(),
            "KOVRA> WriteFileLastHoro() fwrite() failed: 'KOVRA01H.DAT' (No space left on device)");
        EXPECT_TRUE(logged("KOVRA> WriteLastQuery() fwrite() failed: 'KOVRA01H.DAT' (No space "
                           "left on device)",
                           kSeverityError));
        // The positions stay in the table: what was passed is not passed again.
        EXPECT_EQ(passed(), passedValues(first, 3));
        EXPECT_EQ(wire(),
                  Concat({"R 0900 120", "W 0100 0040", "R 0102 16", "W 0100 0001", "R 0102 16"},
                         first == 0 ? Strings{"R 1000 15", "R 0102 16"}
                                    : Strings{"R 1002 5", "R 1003 15"}));
        events(plcJournal, 3, 3);
    }
}

// --- A ring the PLC writes while it is read whole ---

// Records the PLC writes at one point of a collection that reads the whole
// file: a first collection or one after an overflow. The first `settled`
// events were collected before; `pending` more follow; `written` events
// numbered from 100 are written right after the request `after` (the file
// cleared first if `clears`).
struct WriteDuringRead {
    const char* name;
    int settled;
    int pending;
    const char* after;
    int written;
    bool clears;
    int firstPassed; // the values first, first + 1, ... the newest pending
    int overflowTexts;
};

void PrintTo(const WriteDuringRead& write, std::ostream* out) {
    *out << write.name;
}

class WrittenWhileReadWhole : public JournalCollection,
                              public ::testing::WithParamInterface<WriteDuringRead> {};

TEST_P(WrittenWhileReadWhole, PassesEveryRecordAtMostOnceAndTheNewOnesNextTime) {
    const WriteDuringRead& c = GetParam();
    start();
    auto& plcJournal = journalOf(30);
    if (c.settled > 0) {
        events(plcJournal, 0, c.settled);
        ASSERT_EQ(collect(kP200X), kStatusDone);
    }
    events(plcJournal, c.settled, c.pending);
    std::atomic<bool> fired = false;
    plc().onExchange([&](const plcsim::Exchange& exchange) {
        if (!fired && Summary(exchange.request) == c.after) {
            fired = true;
            if (c.clears) {
                plcJournal.clearFile(kJournal);
            }
            events(plcJournal, 100, c.written);
        }
    });

    EXPECT_EQ(collect(kP200X), kStatusDone);
    plc().onExchange(nullptr);
    ASSERT_TRUE(fired);
    const int newest = c.settled + c.pending;
    EXPECT_EQ(passed(), passedValues(c.firstPassed, newest - c.firstPassed));
    const Strings errors = messages(kSeverityError);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), kOverflowText), c.overflowTexts);
    EXPECT_EQ(wire().back(), "R 0102 16");

    // The slots written meanwhile come after the position stored.
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(passed(), passedValues(100, c.written));
    EXPECT_TRUE(messages(kSeverityError).empty());
}

// A ring of 30 five-word records; a full one of 35 events holds 5 to 34,
// the oldest at slot 5, read as records 5 to 28, 29, then 0 to 4.
INSTANTIATE_TEST_SUITE_P(
    JournalCollection, WrittenWhileReadWhole,
    ::testing::Values(
        WriteDuringRead{"BeforeTheFirstChunk", 0, 35, "R 0102 16", 2, false, 7, 1},
        WriteDuringRead{"AfterTheFirstChunk", 0, 35, "R 1005 120", 2, false, 7, 1},
        WriteDuringRead{"AfterTheLastChunk", 0, 35, "R 1000 25", 1, false, 6, 1},
        WriteDuringRead{"OnIntoTheRingsHead", 0, 35, "R 0102 16", 27, false, 32, 1},
        WriteDuringRead{"PastTheRecordsOfARingNotFull", 0, 10, "R 0102 16", 3, false, 0, 0},
        WriteDuringRead{"FillingARingAndWrapping", 0, 10, "R 0102 16", 24, false, 4, 1},
        // Records 20 to 49 after an overflow: reported once.
        WriteDuringRead{"AfterAnOverflow", 10, 40, "R 0102 16", 2, false, 22, 1},
        // Nothing is passed from a file cleared meanwhile: it is read whole
        // next time.
        WriteDuringRead{"ClearingTheFile", 0, 35, "R 0102 16", 2, true, 35, 0}),
    [](const ::testing::TestParamInfo<WriteDuringRead>& param) {
        return std::string(param.param.name);
    });

// --- Files and models ---

TEST_F(JournalCollection, AFileRefusedForItsHeaderIsPassedOverEveryTimeAndTheFilesAfterItRead) {
    start();
    DefineGate("0530040");
    auto& plcJournal = journal(kP200X);
    plcJournal.addFile(plcsim::FileLayout{kMemo, 10, 4, 0x2000});
    plcJournal.overrideHeaderWord(kMemo, 3, 3601);
    plcJournal.addFile(plcsim::FileLayout{kJournal, 10, 5, 0x1000});
    events(plcJournal, 0, 2);

    for (const int first : {0, 2}) {
        EXPECT_EQ(collect(kP200X), kStatusRefused);
        EXPECT_EQ(messages(kSeverityError),
                  Strings{"KOVRA> ERROR: number of lines in 'MemoFile $0040' too big : 3601"});
        EXPECT_EQ(passed(), passedValues(first, 2));
        events(plcJournal, 2, 2);
    }
}

TEST_F(JournalCollection, MemoFilesPassTheValuesOfTheirVariable) {
    start();
    DefineGate("0530040");
    auto& plcJournal = journalOf(10);
    plcJournal.addFile(plcsim::FileLayout{kMemo, 10, 4, 0x2000});
    events(plcJournal, 0, 1);
    plcJournal.appendMemoValue(kMemo, 0x1234, At(1));
    plcJournal.appendMemoValue(kMemo, 0x0042, At(2));

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_EQ(passed(), (Strings{Passed("0530010", 0, 0), Passed("0530040", 0x1234, 1),
                                 Passed("0530040", 0x42, 2)}));
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1000 5", "R 0102 16",
                               "W 0100 0040", "R 0102 16", "R 2000 8", "R 0102 16"}));
    EXPECT_TRUE(logged("KOVRA> ReadHoroFile() plc 05 reading 'MemoFile $0040'", kSeverityTrace));

    plcJournal.appendMemoValue(kMemo, 7, At(3));
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(passed(), Strings{Passed("0530040", 7, 3)});
}

TEST_F(JournalCollection, AP200AndAP200XLayTheirValuesOutDifferently) {
    start();
    for (const char* station : {"05", "06"}) {
        const std::string prefix = station;
        DefineGate(prefix + "30010");
        DefineGate(prefix + "C0020", halvo::kHostLong);
        DefineGate(prefix + "10030", halvo::kHostDigital);
    }
    for (const std::uint8_t station : {kP200X, kP200}) {
        auto& plcJournal = journal(station);
        plcJournal.addFile(plcsim::FileLayout{kJournal, 10, 5, 0x1000});
        plcJournal.appendJournalEvent(0x10, 0x1234, At(0));
        plcJournal.appendJournalEvent(0x20, station == kP200X ? 0x12345678u : 0x123456u, At(1));
        plcJournal.appendJournalEvent(0x30, 1, At(2));
    }

    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(passed(), (Strings{Passed("0530010", 0x1234, 0), Passed("05C0020", 0x12345678, 1),
                                 Passed("0510030", 1, 2)}));

    EXPECT_EQ(collect(kP200), kStatusDone);
    // A P200 word gate takes the lowest byte of the 24-bit value.
    EXPECT_EQ(passed(), (Strings{Passed("0630010", 0x34, 0), Passed("06C0020", 0x123456, 1),
                                 Passed("0610030", 1, 2)}));
    EXPECT_EQ(wire().front(), "R 0900 52");
}

TEST_F(JournalCollection, OnlyTheFirst52TableSlotsAreExaminedAnd3EndsAP200XTable) {
    start();
    auto& x = journal(kP200X);
    x.addFile(plcsim::FileLayout{kJournal, 10, 5, 0x1000});
    x.addFile(plcsim::FileLayout{kMemo, 10, 4, 0x2000});
    x.setTableEntry(1, 0xFFFF);
    x.setTableEntry(52, kMemo); // beyond the examined slots
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16"}));

    x.setTableEntry(0, 3); // ends the table before the journal
    x.setTableEntry(1, kJournal);
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(wire(), Strings{"R 0900 120"});

    auto& p200 = journal(kP200);
    p200.addFile(plcsim::FileLayout{kMemo, 10, 4, 0x2000});
    p200.setTableEntry(0, 3); // merely skipped on a P200
    p200.setTableEntry(1, 2);
    p200.setTableEntry(2, kMemo);
    EXPECT_EQ(collect(kP200), kStatusDone);
    EXPECT_EQ(wire(), (Strings{"R 0900 52", "W 0100 0040", "R 0102 16"}));
}

TEST_F(JournalCollection, TheLargestJournalIsReadWholeIn120WordChunks) {
    start();
    auto& plcJournal = journalOf(3600);
    for (int i = 0; i < 3600; ++i) {
        plcJournal.appendJournalEvent(0x10, static_cast<std::uint32_t>(i), At(0));
    }

    EXPECT_EQ(collect(kP200X), kStatusDone);

    const auto history = halvo::History();
    ASSERT_EQ(history.size(), 3600u);
    for (std::size_t i = 0; i < history.size(); ++i) {
        ASSERT_EQ(history[i].value, static_cast<double>(i)) << "record " << i;
    }
    const Strings requests = wire();
    ASSERT_EQ(requests.size(), 3u + 150u + 1u);
    EXPECT_EQ(requests[4], "R 1018 120"); // 24 records further on
    EXPECT_EQ(requests[requests.size() - 2], "R 1DF8 120");
}

// --- Headers and record lengths the original reading got wrong ---

TEST_F(JournalCollection, RecordsOfSevenWordsAreReadInChunksOfWholeRecords) {
    start();
    auto& plcJournal = journalOf(60, 7);
    events(plcJournal, 0, 40);

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_EQ(passed(), passedValues(0, 40));
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1000 119", "R 1011 119",
                               "R 1022 42", "R 0102 16"}));

    events(plcJournal, 40, 18);
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(passed(), passedValues(40, 18));
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16", "R 1027 7", "R 1028 119",
                               "R 1039 7"}));
}

TEST_F(JournalCollection, RecordsShorterThanTheirIdentifyingBytesAreRecognisedNextTime) {
    // Three-word memo records: the last one passed on is followed in the
    // buffer by the next record, which the re-read does not bring back.
    start();
    DefineGate("0530040");
    auto& plcJournal = journal(kP200X);
    plcJournal.addFile(plcsim::FileLayout{kMemo, 5, 3, 0x2000});
    for (std::uint16_t i = 0; i < 7; ++i) {
        plcJournal.appendRecord(kMemo, {static_cast<std::uint16_t>(0x1C53),
                                        static_cast<std::uint16_t>(0x6D00 + 2 * i), i});
    }
    ASSERT_EQ(collect(kP200X), kStatusDone);
    ASSERT_EQ(passed().size(), 5u);

    for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(collect(kP200X), kStatusDone);
        EXPECT_TRUE(passed().empty());
        EXPECT_TRUE(messages(kSeverityError).empty());
    }
}

TEST_F(JournalCollection, OneWordTransfersLandAtTheirRecordsPlace) {
    start();
    auto& plcJournal = journal(kP200X);
    plcJournal.addFile(plcsim::FileLayout{kMemo, 200, 1, 0x2000});
    for (std::uint16_t i = 0; i < 121; ++i) {
        plcJournal.appendRecord(kMemo, {static_cast<std::uint16_t>(0xA000 + i)});
    }
    // The file's last-event entry: station 5, file 0x0040, the last record
    // and the identifying bytes the driver held for it (8 for a memo file).
    const auto entry = [&] {
        const auto bytes = lastEventFile();
        return bytes.size() >= 1536 + 13
                   ? std::vector<std::uint8_t>(bytes.begin() + 1536, bytes.begin() + 1536 + 13)
                   : std::vector<std::uint8_t>{};
    };

    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0040", "R 0102 16", "R 2000 120", "R 2078 1",
                               "R 0102 16"}));
    // Record 120 is one word, 0xA078, followed by nothing read.
    EXPECT_EQ(Hex(entry()), "05 40 00 79 00 78 A0 00 00 00 00 00 00");

    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(wire().back(), "R 2078 1");
    EXPECT_TRUE(messages(kSeverityError).empty());

    plcJournal.appendRecord(kMemo, {0xA079});
    EXPECT_EQ(collect(kP200X), kStatusDone);
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0040", "R 0102 16", "R 2078 1", "R 2079 1"}));
    EXPECT_TRUE(messages(kSeverityError).empty());
    EXPECT_EQ(Hex(entry()), "05 40 00 7A 00 79 A0 00 00 00 00 00 00");
}

TEST_F(JournalCollection, AnEmptyFileWithoutARecordLengthDoesNotHoldUpTheFilesAfterIt) {
    start();
    DefineGate("0530040");
    auto& plcJournal = journal(kP200X);
    plcJournal.addFile(plcsim::FileLayout{0x0041, 10, 4, 0x3000});
    plcJournal.overrideHeaderWord(0x0041, 4, 0);
    plcJournal.addFile(plcsim::FileLayout{kMemo, 10, 4, 0x2000});
    plcJournal.appendMemoValue(kMemo, 0x1234, At(1));

    EXPECT_EQ(collect(kP200X), kStatusDone);

    EXPECT_EQ(passed(), Strings{Passed("0530040", 0x1234, 1)});
    EXPECT_TRUE(messages(kSeverityError).empty());
}

struct BadHeader {
    const char* name;
    std::vector<std::pair<std::size_t, std::uint16_t>> words; // header word, value served
    const char* message;
};

void PrintTo(const BadHeader& header, std::ostream* out) {
    *out << header.name;
}

class RefusedHeaders : public JournalCollection, public ::testing::WithParamInterface<BadHeader> {};

TEST_P(RefusedHeaders, RefuseTheFileBeforeAnyRecordIsReadAndStoreNothing) {
    start();
    auto& plcJournal = journalOf(20);
    events(plcJournal, 0, 3);
    for (const auto& [word, value] : GetParam().words) {
        plcJournal.overrideHeaderWord(kJournal, word, value);
    }

    EXPECT_EQ(collect(kP200X), kStatusRefused);

    EXPECT_EQ(messages(kSeverityError), Strings{GetParam().message});
    EXPECT_EQ(wire(), (Strings{"R 0900 120", "W 0100 0001", "R 0102 16"}));
    EXPECT_TRUE(passed().empty());
    EXPECT_EQ(lastEventFile().size(), 1536u);
}

INSTANTIATE_TEST_SUITE_P(
    JournalCollection, RefusedHeaders,
    ::testing::Values(
        BadHeader{"MoreThan3600Records",
                  {{3, 3601}},
                  "KOVRA> ERROR: number of lines in 'Journal de Bord' too big : 3601"},
        BadHeader{"RecordsOfNoWords",
                  {{4, 0}},
                  "KOVRA> ReadHoroFile() plc 05 'Journal de Bord' illegal header, recordWords 0"},
        BadHeader{"RecordsLongerThanARead",
                  {{4, 121}},
                  "KOVRA> ReadHoroFile() plc 05 'Journal de Bord' illegal header, recordWords 121"},
        BadHeader{"RecordsBeyondTheBuffer",
                  {{3, 3600}, {4, 6}},
                  "KOVRA> ReadHoroFile() plc 05 'Journal de Bord' illegal header, recordWords 6"},
        BadHeader{"MoreRecordsUsedThanHeld",
                  {{5, 21}},
                  "KOVRA> ReadHoroFile() plc 05 'Journal de Bord' illegal header, usedRecords 21"},
        BadHeader{"NextRecordBeyondTheUsedOnes",
                  {{6, 4}},
                  "KOVRA> ReadHoroFile() plc 05 'Journal de Bord' illegal header, nextRecord 4"}),
    [](const ::testing::TestParamInfo<BadHeader>& param) { return std::string(param.param.name); });

} // namespace
