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

    // Marks the file on disk behind the driver's back: bytes the driver does
    // not write keep the mark.
    void markFile() {
        Bytes marked = initial;
        std::fill(marked.begin() + 1536, marked.end(), 0x5A);
        writeFileBytes(marked);
    }

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

    Bytes expected = initial;
    std::fill(expected.begin() + 1536, expected.end(), 0x5A);
    const Bytes replaced = Entry(4, 1, 13, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0});
    std::copy(replaced.begin(), replaced.end(), expected.begin() + 1566);
    EXPECT_EQ(fileBytes(), expected);
    EXPECT_EQ(instance.context().lastEventCount, 3);
}

TEST_F(LastEventWriteThrough, AppendingWritesOneEntryAtTheEnd) {
    markFile();

    EXPECT_EQ(PutLastHoro(instance.request(), 4, 2, 1, Bytes(10, 0x77).data()), 0);

    Bytes expected = initial;
    std::fill(expected.begin() + 1536, expected.end(), 0x5A);
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
