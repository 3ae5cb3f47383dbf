#include "last_event_world.h"

#include "lastevent/last_query.h"

#include <algorithm>
#include <filesystem>

using namespace kovra;

namespace {

class LastEventFile : public LastEventTest {};

TEST_F(LastEventFile, AMissingFileIsCreatedAs1536ZeroBytes) {
    Instance instance;
    std::fill(std::begin(instance.context().lastQueryStamps),
              std::end(instance.context().lastQueryStamps), 0xAB);

    EXPECT_EQ(OpenLastHoro(instance.request()), 0);

    EXPECT_EQ(fileBytes(), Bytes(1536, 0));
    EXPECT_TRUE(logged("KOVRA> OpenLastHoro() file created: 'KOVRA03H.DAT'", kSeverityTrace));
    EXPECT_EQ(instance.context().lastEventCount, 0);
    EXPECT_EQ(instance.context().lastEventCapacity, 128);
    EXPECT_TRUE(std::all_of(std::begin(instance.context().lastQueryStamps),
                            std::end(instance.context().lastQueryStamps),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST_F(LastEventFile, TheDriverNumberNamesTheFile) {
    Instance instance(7);
    EXPECT_EQ(OpenLastHoro(instance.request()), 0);
    EXPECT_TRUE(std::filesystem::exists(directory.path() / "KOVRA07H.DAT"));
}

struct LoadCase {
    std::size_t entries;
    std::uint16_t capacity;
};

std::ostream& operator<<(std::ostream& out, const LoadCase& c) {
    return out << c.entries << " entries";
}

class LastEventFileLoad : public LastEventTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LastEventFileLoad, LoadsEveryEntryIntoTheSmallestDoublingThatLeavesRoom) {
    const LoadCase loadCase = GetParam();
    Bytes bytes = FileWithEntries(loadCase.entries);
    bytes[5 * 6] = 125; // station 5 stamp: 2025-05-28 13:45:30
    bytes[5 * 6 + 1] = 5;
    bytes[5 * 6 + 2] = 28;
    bytes[5 * 6 + 3] = 13;
    bytes[5 * 6 + 4] = 45;
    bytes[5 * 6 + 5] = 30;
    writeFileBytes(bytes);
    Instance instance;

    EXPECT_EQ(OpenLastHoro(instance.request()), 0);

    DriverContext& context = instance.context();
    EXPECT_EQ(context.lastEventCount, loadCase.entries);
    EXPECT_EQ(context.lastEventCapacity, loadCase.capacity);
    EXPECT_EQ(Bytes(context.lastQueryStamps, context.lastQueryStamps + 1536),
              Bytes(bytes.begin(), bytes.begin() + 1536));
    EXPECT_TRUE(logged("KOVRA> OpenLastHoro() file 'KOVRA03H.DAT' opened: " +
                           std::to_string(loadCase.entries) + " zones read",
                       kSeverityTrace));
    if (loadCase.entries > 0) {
        const std::size_t last = loadCase.entries - 1;
        std::uint8_t copy[10] = {};
        EXPECT_EQ(GetLastHoro(context, static_cast<std::uint8_t>(last / 256),
                              static_cast<std::uint16_t>(last % 256 + 1), copy),
                  last + 1);
        EXPECT_EQ(Bytes(copy, copy + 10), Bytes(10, static_cast<std::uint8_t>(last)));
    }
    EXPECT_EQ(fileBytes(), bytes);
}

INSTANTIATE_TEST_SUITE_P(Capacities, LastEventFileLoad,
                         ::testing::Values(LoadCase{0, 128}, LoadCase{127, 128}, LoadCase{128, 256},
                                           LoadCase{200, 256}, LoadCase{600, 1024}));

TEST_F(LastEventFile, AShortFileIsRefusedAndLeftAlone) {
    Bytes bytes(1535);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    writeFileBytes(bytes);
    Instance instance;

    EXPECT_EQ(OpenLastHoro(instance.request()), 1);

    EXPECT_TRUE(logged("KOVRA> OpenLastHoro() 'KOVRA03H.DAT' file size too small", kSeverityError));
    EXPECT_EQ(fileBytes(), bytes);
    EXPECT_EQ(instance.context().lastEventCount, 0);
}

TEST_F(LastEventFile, APartialTailIsReportedAndTheNextAppendOverwritesIt) {
    writeFileBytes(FileWithEntries(2, 7));
    Instance instance;

    ASSERT_EQ(OpenLastHoro(instance.request()), 0);
    EXPECT_TRUE(
        logged("KOVRA> OpenLastHoro() WARNING 'KOVRA03H.DAT'illegal file size", kSeverityError));
    EXPECT_EQ(instance.context().lastEventCount, 2);

    halvo::ClearRecords();
    EXPECT_EQ(PutLastHoro(instance.request(), 9, 1, 4, nullptr), 0);

    EXPECT_EQ(fileBytes(), Concat({FileWithEntries(2), Entry(9, 1, 4)}));
    EXPECT_TRUE(messages().empty());
}

TEST_F(LastEventFile, AnInsertionOverAPartialTailWarnsThenRewritesTheTail) {
    writeFileBytes(FileWithEntries(2, 7));
    Instance instance;
    ASSERT_EQ(OpenLastHoro(instance.request()), 0);
    halvo::ClearRecords();

    EXPECT_EQ(PutLastHoro(instance.request(), 0, 0, 4, nullptr), 0);

    const Bytes two = FileWithEntries(2);
    EXPECT_EQ(fileBytes(), Concat({Bytes(two.begin(), two.begin() + 1536), Entry(0, 0, 4),
                                   Bytes(two.begin() + 1536, two.end())}));
    EXPECT_EQ(messages(),
              std::vector<std::string>{
                  "KOVRA> WriteFileLastHoro() WARNING 2: illegal file length, might be corrupted"});
}

class LastEventWriteThrough : public LastEventTest {
  protected:
    LastEventWriteThrough() {
        initial = Concat({Bytes(1536, 0), Entry(2, 1, 10, Bytes(10, 0x21)),
                          Entry(2, 0x0500, 11, Bytes(10, 0x22)), Entry(4, 1, 12, Bytes(10, 0x23))});
        writeFileBytes(initial);
        EXPECT_EQ(OpenLastHoro(instance.request()), 0);
    }

    // Marks the entries' tails on disk behind the driver's back (their keys
    // stay, which the driver checks before writing in place): bytes the
    // driver does not write keep the mark.
    static Bytes Marked(Bytes bytes) {
        for (std::size_t at = 1536; at < bytes.size(); at += 15) {
            std::fill(bytes.begin() + static_cast<long>(at) + 3,
                      bytes.begin() + static_cast<long>(at) + 15, 0x5A);
        }
        return bytes;
    }
    void markFile() { writeFileBytes(Marked(initial)); }

    Bytes initial;
    Instance instance;
};

TEST_F(LastEventWriteThrough, InsertingAtTheFrontRewritesEveryEntryFromThere) {
    const Bytes record{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

    EXPECT_EQ(PutLastHoro(instance.request(), 1, 0x0500, 3, record.data()), 0);

    const Bytes expected =
        Concat({Bytes(1536, 0), Entry(1, 0x0500, 3, {1, 2, 3, 4, 5, 6, 7, 8, 0, 0}),
                Bytes(initial.begin() + 1536, initial.end())});
    EXPECT_EQ(fileBytes(), expected);
    EXPECT_EQ(expected.size(), 1596u);
    EXPECT_EQ(instance.context().lastEventCount, 4);
}

TEST_F(LastEventWriteThrough, ReplacingAnEntryRewritesOnlyItsFifteenBytes) {
    markFile();
    const Bytes record{9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xFF};

    EXPECT_EQ(PutLastHoro(instance.request(), 4, 1, 13, record.data()), 0);

    Bytes expected = Marked(initial);
    const Bytes replaced = Entry(4, 1, 13, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0});
    std::copy(replaced.begin(), replaced.end(), expected.begin() + 1566);
    EXPECT_EQ(fileBytes(), expected);
    EXPECT_EQ(instance.context().lastEventCount, 3);
}

TEST_F(LastEventWriteThrough, AppendingWritesOneEntryAtTheEnd) {
    markFile();

    EXPECT_EQ(PutLastHoro(instance.request(), 4, 2, 1, Bytes(10, 0x77).data()), 0);

    Bytes expected = Marked(initial);
    const Bytes appended = Entry(4, 2, 1, Concat({Bytes(8, 0x77), Bytes(2, 0)}));
    expected.insert(expected.end(), appended.begin(), appended.end());
    EXPECT_EQ(fileBytes(), expected);
    EXPECT_EQ(messages().size(), 1u); // only the load message
}

TEST_F(LastEventWriteThrough, AFileCutShortBehindTheDriverIsReportedOnAppend) {
    writeFileBytes(Bytes(initial.begin(), initial.begin() + 1536 + 15));
    halvo::ClearRecords();

    EXPECT_EQ(PutLastHoro(instance.request(), 4, 2, 1, nullptr), 0);

    EXPECT_EQ(messages(),
              std::vector<std::string>{
                  "KOVRA> WriteFileLastHoro() WARNING 1: illegal file length, might be corrupted"});
    EXPECT_EQ(fileBytes().size(), 1536u + 4 * 15);
}

// --- A write that fails ---

enum class Stream { None, Buffered, Unbuffered };

struct FailingWrite {
    const char* name;
    Stream stream; // buffered, the full device refuses the flush; unbuffered, the write
    bool stamp;    // a last-query stamp rather than a position
    const char* message;
};

void PrintTo(const FailingWrite& write, std::ostream* out) {
    *out << write.name;
}

class FailingWriteThrough : public LastEventTest,
                            public ::testing::WithParamInterface<FailingWrite> {};

TEST_P(FailingWriteThrough, IsReportedWithTheFileAndTheSystemsReasonAndAnswersOne) {
    const FailingWrite& write = GetParam();
    Instance instance;
    ASSERT_EQ(OpenLastHoro(instance.request()), 0);
    std::fclose(instance.context().lastEventFile);
    instance.context().lastEventFile = nullptr;
    if (write.stream != Stream::None) {
        std::FILE* full = std::fopen("/dev/full", "rb+"); // every write: ENOSPC
        ASSERT_NE(full, nullptr);
        if (write.stream == Stream::Unbuffered) {
            std::setvbuf(full, nullptr, _IONBF, 0);
        }
        instance.context().lastEventFile = full;
    }
    halvo::ClearRecords();

    const std::uint8_t stamp[6] = {125, 5, 28, 13, 45, 30};
    EXPECT_EQ(write.stamp ? WriteLastQuery(instance.request(), stamp, 5)
                          : PutLastHoro(instance.request(), 5, 1, 7, nullptr),
              1);

    ASSERT_FALSE(messages(kSeverityError).empty());
    EXPECT_EQ(messages(kSeverityError).back(), write.message);
    std::uint8_t copy[10];
    EXPECT_EQ(GetLastHoro(instance.context(), 5, 1, copy), write.stamp ? 0 : 7);
}

INSTANTIATE_TEST_SUITE_P(
    LastEventFile, FailingWriteThrough,
    ::testing::Values(
        FailingWrite{"PositionFlush", Stream::Buffered, false,
                     "KOVRA> WriteFileLastHoro() fflush() failed: 'KOVRA03H.DAT' (No space left on "
                     "device)"},
        FailingWrite{"PositionWrite", Stream::Unbuffered, false,
                     "KOVRA> WriteFileLastHoro() fwrite() failed: 'KOVRA03H.DAT' (No space left on "
                     "device)"},
        FailingWrite{"PositionWithoutFile", Stream::None, false,
                     "KOVRA> WriteFileLastHoro() fseek()1 failed: 'KOVRA03H.DAT' (Bad file "
                     "descriptor)"},
        FailingWrite{"StampFlush", Stream::Buffered, true,
                     "KOVRA> WriteLastQuery() fflush() failed: 'KOVRA03H.DAT' (No space left on "
                     "device)"},
        FailingWrite{"StampWrite", Stream::Unbuffered, true,
                     "KOVRA> WriteLastQuery() fwrite() failed: 'KOVRA03H.DAT' (No space left on "
                     "device)"}),
    [](const ::testing::TestParamInfo<FailingWrite>& param) {
        return std::string(param.param.name);
    });

// --- An insertion cut short ---

// Neighbouring keys differ in every byte, so that a key half moved could pass
// for another.
const Bytes kBeforeCut = Concat(
    {Bytes(1536, 0x11), Entry(2, 0x0301, 5, Bytes(10, 0xA1)), Entry(4, 0x0102, 6, Bytes(10, 0xA2)),
     Entry(4, 0x0201, 7, Bytes(10, 0xA3)), Entry(9, 0x00FF, 8, Bytes(10, 0xA4))});
// Inserted at index 1, (3, 0x02FF) moves the three entries behind it: 15
// bytes at the new end and 45 in place.
constexpr std::size_t kInsertionBytes = 60;

class CutInsertion : public LastEventTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(CutInsertion, LeavesAFileThatLoadsEveryPositionItHeldAndCatchesUpOnTheNextWrite) {
    const std::size_t cut = GetParam();
    writeFileBytes(kBeforeCut);
    Instance instance;
    ASSERT_EQ(OpenLastHoro(instance.request()), 0);
    std::fclose(instance.context().lastEventFile);
    CutFile cutFile;
    cutFile.budget = cut;
    instance.context().lastEventFile = CutFile::Open(kFileName, cutFile);
    ASSERT_NE(instance.context().lastEventFile, nullptr);

    EXPECT_EQ(PutLastHoro(instance.request(), 3, 0x02FF, 4, Bytes(10, 0xB0).data()),
              cut < kInsertionBytes ? 1 : 0);
    EXPECT_EQ(cutFile.written, std::min(cut, kInsertionBytes));
    const Bytes cutBytes = fileBytes();

    {
        Instance restarted;
        ASSERT_EQ(OpenLastHoro(restarted.request()), 0);
        for (std::size_t at = 1536; at < kBeforeCut.size(); at += 15) {
            const std::uint8_t* entry = kBeforeCut.data() + at;
            std::uint8_t copy[10] = {};
            EXPECT_EQ(GetLastHoro(restarted.context(), entry[0],
                                  static_cast<std::uint16_t>(entry[1] | entry[2] << 8), copy),
                      entry[3])
                << "station " << int{entry[0]};
            EXPECT_EQ(Bytes(copy, copy + 10), Bytes(entry + 5, entry + 15));
        }
        EXPECT_EQ(
            Bytes(restarted.context().lastQueryStamps, restarted.context().lastQueryStamps + 1536),
            Bytes(1536, 0x11));
    }

    // The instance that was cut, its disk back: a later entry's position goes
    // through without harm, and the inserted one's next position brings the
    // whole file up to the table.
    writeFileBytes(cutBytes);
    std::fclose(instance.context().lastEventFile);
    instance.context().lastEventFile = std::fopen(kFileName, "rb+");
    std::setvbuf(instance.context().lastEventFile, nullptr, _IONBF, 0);
    EXPECT_EQ(PutLastHoro(instance.request(), 9, 0x00FF, 9, Bytes(10, 0xA5).data()), 0);
    EXPECT_EQ(PutLastHoro(instance.request(), 3, 0x02FF, 5, Bytes(10, 0xB1).data()), 0);
    EXPECT_EQ(fileBytes(), Concat({Bytes(kBeforeCut.begin(), kBeforeCut.begin() + 1551),
                                   Entry(3, 0x02FF, 5, Concat({Bytes(8, 0xB1), Bytes(2, 0)})),
                                   Bytes(kBeforeCut.begin() + 1551, kBeforeCut.begin() + 1581),
                                   Entry(9, 0x00FF, 9, Concat({Bytes(8, 0xA5), Bytes(2, 0)}))}));
}

INSTANTIATE_TEST_SUITE_P(EveryByte, CutInsertion,
                         ::testing::Range<std::size_t>(0, kInsertionBytes + 1));

// --- The decisions of a write and of a load ---

TEST(PlanEntryWrite, WritesInPlaceOnlyWhereTheFileHoldsTheTableAsItWasBefore) {
    struct Case {
        const char* name;
        std::size_t held, count, index;
        bool shifted;
        SlotKeys keys; // previous, entry, next
        EntryWrite plan;
    };
    const Case cases[] = {
        {"replaced over its own key", 4, 4, 2, false, {true, true, false}, EntryWrite::InPlace},
        {"replaced, the file longer", 6, 4, 3, false, {true, true, false}, EntryWrite::InPlace},
        {"replaced over another key", 4, 4, 2, false, {true, false, true}, EntryWrite::Whole},
        {"replaced, the file a slot short", 3, 4, 1, false, {true, true, false}, EntryWrite::Whole},
        {"appended", 3, 4, 3, false, {true, false, false}, EntryWrite::FromIndex},
        {"appended to an empty file", 0, 1, 0, false, {true, false, false}, EntryWrite::FromIndex},
        {"appended after another key", 3, 4, 3, false, {false, false, false}, EntryWrite::Whole},
        {"appended, the file two slots short",
         2,
         4,
         3,
         false,
         {true, false, false},
         EntryWrite::Whole},
        {"inserted", 3, 4, 1, true, {true, false, true}, EntryWrite::FromIndex},
        {"inserted at the front", 3, 4, 0, true, {true, false, true}, EntryWrite::FromIndex},
        {"inserted before another key", 3, 4, 1, true, {true, false, false}, EntryWrite::Whole},
        {"inserted after another key", 3, 4, 1, true, {false, false, true}, EntryWrite::Whole},
        {"inserted, the file two slots short",
         2,
         4,
         1,
         true,
         {true, false, true},
         EntryWrite::Whole},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PlanEntryWrite(c.held, c.count, c.index, c.shifted, c.keys), c.plan) << c.name;
    }
}

TEST(KeepAscendingKeys, KeepsTheFirstOfEveryKeyAndEveryKeyAboveTheOnesKept) {
    struct Case {
        const char* name;
        std::vector<Bytes> entries;
        std::vector<Bytes> kept;
        std::size_t firstMoved;
    };
    const Bytes a = Entry(2, 0x0301, 5), b = Entry(4, 0x0102, 6), c = Entry(4, 0x0201, 7);
    const Bytes moved = Entry(4, 0x0102, 9); // b's key, a later position
    const Case cases[] = {
        {"none", {}, {}, 0},
        {"ascending", {a, b, c}, {a, b, c}, 3},
        {"a copy left by a cut move", {a, b, b, c}, {a, b, c}, 2},
        {"the first copy wins", {a, b, moved, c}, {a, b, c}, 2},
        {"a key below the one before", {a, c, b}, {a, c}, 2},
        {"file numbers high byte first", {a, Entry(2, 0x02FF, 0), b}, {a, b}, 1},
        {"out of order at the front", {b, a, c}, {b, c}, 1},
    };
    for (const Case& test : cases) {
        Bytes entries;
        for (const Bytes& entry : test.entries) {
            entries.insert(entries.end(), entry.begin(), entry.end());
        }
        Bytes expected;
        for (const Bytes& entry : test.kept) {
            expected.insert(expected.end(), entry.begin(), entry.end());
        }
        const KeptEntries kept = KeepAscendingKeys(entries.data(), test.entries.size());
        EXPECT_EQ(kept.count, test.kept.size()) << test.name;
        EXPECT_EQ(kept.firstMoved, test.firstMoved) << test.name;
        EXPECT_EQ(Bytes(entries.begin(), entries.begin() + static_cast<long>(expected.size())),
                  expected)
            << test.name;
    }
}

TEST_F(LastEventFile, AFileLeftOutOfOrderIsLoadedAscendingAndRewrittenToMatchTheTable) {
    const Bytes a = Entry(2, 0x0301, 5, Bytes(10, 1)), b = Entry(4, 0x0102, 6, Bytes(10, 2)),
                c = Entry(4, 0x0201, 7, Bytes(10, 3));
    writeFileBytes(Concat({Bytes(1536, 0), a, b, b, Entry(3, 7, 1), c}));
    Instance instance;

    ASSERT_EQ(OpenLastHoro(instance.request()), 0);

    EXPECT_EQ(instance.context().lastEventCount, 3);
    EXPECT_EQ(fileBytes(), Concat({Bytes(1536, 0), a, b, c}));
    EXPECT_EQ(messages(kSeverityError),
              std::vector<std::string>{
                  "KOVRA> OpenLastHoro() WARNING 'KOVRA03H.DAT' 2 zones out of order left out"});
}

TEST_F(LastEventFile, ARestartSeesWhatTheLastInstanceWrote) {
    {
        Instance first;
        ASSERT_EQ(OpenLastHoro(first.request()), 0);
        ASSERT_EQ(PutLastHoro(first.request(), 7, 1, 5, Bytes(10, 0x31).data()), 0);
        ASSERT_EQ(PutLastHoro(first.request(), 3, 0x0200, 9, Bytes(10, 0x32).data()), 0);
        ASSERT_EQ(PutLastHoro(first.request(), 7, 1, 6, Bytes(10, 0x33).data()), 0);
    }
    Instance second;

    ASSERT_EQ(OpenLastHoro(second.request()), 0);

    std::uint8_t copy[10] = {};
    EXPECT_EQ(GetLastHoro(second.context(), 7, 1, copy), 6);
    EXPECT_EQ(Bytes(copy, copy + 10), Bytes(10, 0x33));
    EXPECT_EQ(GetLastHoro(second.context(), 3, 0x0200, copy), 9);
    EXPECT_EQ(Bytes(copy, copy + 10), Concat({Bytes(8, 0x32), Bytes(2, 0)}));
    EXPECT_EQ(second.context().lastEventCount, 2);
}

// The count and the capacity are 16-bit: 32768 entries is the most a table holds.
TEST_F(LastEventFile, AFullSixteenBitTableRefusesANewKeyButKeepsWorking) {
    writeFileBytes(FileWithEntries(32767));
    Instance instance;
    ASSERT_EQ(OpenLastHoro(instance.request()), 0);
    DriverContext& context = instance.context();
    EXPECT_EQ(context.lastEventCapacity, 32768);

    EXPECT_EQ(PutLastHoro(instance.request(), 255, 1, 1, nullptr), 0);
    EXPECT_EQ(context.lastEventCount, 32768);
    const Bytes full = fileBytes();
    EXPECT_EQ(full.size(), 1536u + 32768u * 15);
    const Bytes table(context.lastEvents, context.lastEvents + 32768 * 15);
    halvo::ClearRecords();

    EXPECT_EQ(PutLastHoro(instance.request(), 0, 0, 1, nullptr), 1);

    EXPECT_EQ(messages(), std::vector<std::string>{"KOVRA> PutLastHoro() ERROR realloc failed !!"});
    EXPECT_EQ(halvo::Log().front().severity, kSeverityError);
    EXPECT_EQ(context.lastEventCount, 32768);
    EXPECT_EQ(context.lastEventCapacity, 32768);
    EXPECT_EQ(Bytes(context.lastEvents, context.lastEvents + 32768 * 15), table);
    EXPECT_EQ(fileBytes(), full);

    EXPECT_EQ(PutLastHoro(instance.request(), 255, 1, 2, nullptr), 0);
    std::uint8_t copy[10];
    EXPECT_EQ(GetLastHoro(context, 255, 1, copy), 2);
}

TEST_F(LastEventFile, AFullSixteenBitFileLoadsAgain) {
    writeFileBytes(FileWithEntries(32768));
    Instance instance;

    EXPECT_EQ(OpenLastHoro(instance.request()), 0);

    EXPECT_EQ(instance.context().lastEventCount, 32768);
    EXPECT_EQ(instance.context().lastEventCapacity, 32768);
    EXPECT_EQ(PutLastHoro(instance.request(), 255, 1, 1, nullptr), 1);
}

TEST_F(LastEventFile, AFileWithMoreEntriesThanFitIsRefusedAndLeftAlone) {
    const Bytes bytes = FileWithEntries(32769);
    writeFileBytes(bytes);
    Instance instance;

    EXPECT_EQ(OpenLastHoro(instance.request()), 1);

    EXPECT_TRUE(logged("KOVRA> OpenLastHoro() 'KOVRA03H.DAT' too many zones", kSeverityError));
    EXPECT_EQ(instance.context().lastEventCount, 0);
    EXPECT_EQ(instance.context().lastEventCapacity, 128);
    EXPECT_EQ(fileBytes(), bytes);
}

} // namespace
