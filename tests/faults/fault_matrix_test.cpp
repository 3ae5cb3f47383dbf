// The line and file faults a driver meets in the field, each against a read,
// a write and a journal collection on the simulated line: the status, the
// message, the number of request frames sent, a loose bound on the time, no
// descriptor left open, and for collections every record passed on exactly
// once once the fault is gone (a collection that fails counts for nothing:
// the host keeps only what a successful one passed on).
#include "journal/journal_world.h"
#include "support/file_size_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <thread>

using namespace kovra;
using namespace std::chrono_literals;
using plcsim::Fault;

namespace {

enum class Operation { Read, Write, Collect };
enum class Trouble { Line, Split, Vanish, DiskFull, ReadOnlyFile, FileCannotGrow, CutInsertion };

struct FaultCase {
    const char* name;
    Operation operation;
    Trouble trouble;
    Fault fault; // for Trouble::Line
    int status;
    int frames;          // request frames of a read or write; 0 not checked (a late reply may
                         // land in the second attempt or a later one, as the machine's load has it)
    const char* message; // part of a logged message; empty: not checked
    int passedUnderFault = -1; // records a collection passes despite the fault; -1 not checked
};

constexpr std::uint8_t kStation = 5;
constexpr std::uint8_t kOther = 6; // keys after the station's in the last-event file
constexpr std::uint16_t kReadRegister = 0x10;
constexpr std::uint16_t kWriteRegister = 0x20;
constexpr std::size_t kRecords = 5; // 3 journal events, 2 memo values

std::size_t OpenDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator{}));
}

const FaultCase kCases[] = {
    // name, operation, trouble, fault, status, frames, message
    {"ReadSilentOnce", Operation::Read, Trouble::Line, Fault::Silent(1), 0, 2,
     "KOVRA> Receive() timeout 1"},
    {"ReadSilent", Operation::Read, Trouble::Line, Fault::Silent(), 2, 4,
     "KOVRA> DoRead() error reading reply, retry 4"},
    {"ReadCutOnce", Operation::Read, Trouble::Line, Fault::CutAfter(3, 1), 0, 2,
     "KOVRA> Receive() reading timeout last data part message"},
    {"ReadBadCrcOnce", Operation::Read, Trouble::Line, Fault::CorruptCrc(1), 0, 2,
     "KOVRA> DoRead() crc error, retry 1"},
    {"ReadWrongStationOnce", Operation::Read, Trouble::Line, Fault::AsStation(9, 1), 0, 2,
     "KOVRA> DoRead() wrong plcaddr 9 of rcv. mess., retry 1"},
    {"ReadException", Operation::Read, Trouble::Line, Fault::WithException(2, 1), 1, 1,
     "KOVRA> DoRead() received 0x80 error code, 02h"},
    {"ReadGarbledExceptionFirst", Operation::Read, Trouble::Line,
     Fault::GarbageFirst({kStation, 0x83, 0x02, 0x00, 0x00}, 1), 0, 2,
     "KOVRA> DoRead() crc error, retry 1"},
    {"ReadGarbageFirst", Operation::Read, Trouble::Line, Fault::GarbageFirst({0xAA, 0x55}, 1), 0, 2,
     "KOVRA> Receive() wrong length last data part message"},
    {"ReadSlowWithinTimeout", Operation::Read, Trouble::Line, Fault::Delayed(10ms, 1), 0, 1, ""},
    {"ReadSlowBeyondTimeout", Operation::Read, Trouble::Line, Fault::Delayed(80ms, 1), 0, 0,
     "KOVRA> Receive() timeout 1"},
    {"ReadSplit", Operation::Read, Trouble::Split, {}, 0, 1, ""},
    {"ReadPortVanishes", Operation::Read, Trouble::Vanish, {}, 2, 0, ""},

    {"WriteSilentOnce", Operation::Write, Trouble::Line, Fault::Silent(1), 0, 2,
     "KOVRA> DoWrite() receive error, retry 1"},
    {"WriteSilent", Operation::Write, Trouble::Line, Fault::Silent(), 1, 4,
     "KOVRA> DoWrite() receive error, retry 4"},
    {"WriteCutOnce", Operation::Write, Trouble::Line, Fault::CutAfter(3, 1), 0, 2,
     "KOVRA> Receive() wrong length last data part message"},
    {"WriteBadCrcOnce", Operation::Write, Trouble::Line, Fault::CorruptCrc(1), 0, 2,
     "KOVRA> DoWrite() error in crc, retry 1"},
    {"WriteWrongStationOnce", Operation::Write, Trouble::Line, Fault::AsStation(9, 1), 0, 2, ""},
    {"WriteException", Operation::Write, Trouble::Line, Fault::WithException(2, 1), 1, 1,
     "KOVRA> DoWrite() plc sent 0x80 error code 02h"},
    {"WriteGarbledExceptionFirst", Operation::Write, Trouble::Line,
     Fault::GarbageFirst({kStation, 0x86, 0x02, 0x00, 0x00}, 1), 0, 2,
     "KOVRA> DoWrite() error in crc, retry 1"},
    {"WriteGarbageFirst", Operation::Write, Trouble::Line, Fault::GarbageFirst({0xAA, 0x55}, 1), 0,
     2, "KOVRA> DoWrite() wrong station aa of rcv. mess., retry 1"},
    {"WriteSlowWithinTimeout", Operation::Write, Trouble::Line, Fault::Delayed(10ms, 1), 0, 1, ""},
    {"WriteSlowBeyondTimeout", Operation::Write, Trouble::Line, Fault::Delayed(80ms, 1), 0, 0,
     "KOVRA> Receive() timeout 1"},
    {"WriteSplit", Operation::Write, Trouble::Split, {}, 0, 1, ""},
    {"WritePortVanishes", Operation::Write, Trouble::Vanish, {}, 2, 0, ""},

    {"CollectSilentOnce", Operation::Collect, Trouble::Line, Fault::Silent(1), 0, 0,
     "KOVRA> Receive() timeout 1"},
    {"CollectSilent", Operation::Collect, Trouble::Line, Fault::Silent(), 2, 0,
     "KOVRA> ReadHoroData() plc 05 'TABLE $0900' open failed"},
    {"CollectCutOnce", Operation::Collect, Trouble::Line, Fault::CutAfter(3, 1), 0, 0, ""},
    {"CollectBadCrcOnce", Operation::Collect, Trouble::Line, Fault::CorruptCrc(1), 0, 0,
     "KOVRA> DoRead() crc error, retry 1"},
    {"CollectWrongStationOnce", Operation::Collect, Trouble::Line, Fault::AsStation(9, 1), 0, 0,
     ""},
    {"CollectException", Operation::Collect, Trouble::Line, Fault::WithException(2, 1), 1, 0,
     "KOVRA> ReadHoroData() plc 05 'TABLE $0900' open failed"},
    {"CollectGarbageFirst", Operation::Collect, Trouble::Line, Fault::GarbageFirst({0xAA, 0x55}, 2),
     0, 0, ""},
    {"CollectSlowBeyondTimeout", Operation::Collect, Trouble::Line, Fault::Delayed(80ms, 1), 0, 0,
     ""},
    {"CollectSplit", Operation::Collect, Trouble::Split, {}, 0, 0, ""},
    {"CollectPortVanishes", Operation::Collect, Trouble::Vanish, {}, 2, 0, ""},
    {"CollectDiskFull", Operation::Collect, Trouble::DiskFull, {}, 1, 0, "No space left on device"},
    {"CollectFileReadOnly", Operation::Collect, Trouble::ReadOnlyFile, {}, 1, 0, "KOVRA01H.DAT"},
    // Every file is read though no position can be saved.
    {"CollectFileCannotGrow",
     Operation::Collect,
     Trouble::FileCannotGrow,
     {},
     1,
     0,
     "KOVRA> WriteFileLastHoro() fwrite() failed: 'KOVRA01H.DAT' (File too large)",
     5},
    // The file holds another station's positions, behind which this one's
    // would be inserted: none of them may be lost.
    {"CollectInsertionCut",
     Operation::Collect,
     Trouble::CutInsertion,
     {},
     1,
     0,
     "(File too large)",
     5},
};

void PrintTo(const FaultCase& row, std::ostream* out) {
    *out << row.name;
}

class FaultMatrix : public JournalWorld, public ::testing::WithParamInterface<FaultCase> {
  protected:
    void SetUp() override {
        plc().set(kStation, plcsim::Table::Words, kReadRegister, {0x1234});
        journal(kStation).addFile({plcsim::kJournalFileNumber, 20, 5, 0x1000});
        journal(kStation).addFile({0x40, 10, 4, 0x2000});
        for (int k = 0; k < 3; ++k) {
            journal(kStation).appendJournalEvent(kReadRegister, 100 + k, At(k));
        }
        for (int k = 3; k < 5; ++k) {
            journal(kStation).appendMemoValue(0x40, 200 + k, At(k));
        }
        journal(kOther).addFile({plcsim::kJournalFileNumber, 20, 5, 0x1000});
        for (int k = 5; k < 7; ++k) {
            journal(kOther).appendJournalEvent(kReadRegister, 100 + k, At(k));
        }
        DefineGate("0530010");
        DefineGate("0530040");
        DefineGate("0630010");
        start();
    }

    // Points the driver's port at a pseudo-terminal that closes as soon as a
    // request arrives on it.
    void vanishOnRequest() {
        auto pair = std::make_shared<PtyPair>();
        std::filesystem::remove("plc");
        std::filesystem::create_symlink(pair->slavePath(), "plc");
        ASSERT_EQ(call(kReopenPort, nullptr), kStatusDone);
        setReplyTimeout(100); // 1 s: a vanished line must not cost a timeout per attempt
        closer_ = std::thread([pair]() mutable {
            (void)pair->read(5000, 1);
            pair.reset();
        });
    }

    // Swaps the driver's last-event stream for one whose writes fail.
    void failFileWrites(Trouble trouble) {
        std::FILE* failing = trouble == Trouble::DiskFull ? std::fopen("/dev/full", "rb+")
                                                          : std::fopen("KOVRA01H.DAT", "rb");
        ASSERT_NE(failing, nullptr);
        std::fclose(context().lastEventFile);
        context().lastEventFile = failing;
    }

    void healFile() {
        std::fclose(context().lastEventFile);
        context().lastEventFile = std::fopen("KOVRA01H.DAT", "rb+");
    }

    // The last-event file can no longer grow; with `otherFirst`, after the
    // other station's records were collected and their positions saved.
    void limitFileGrowth(bool otherFirst) {
        if (otherFirst) {
            ASSERT_EQ(collect(kOther), kStatusDone);
            ASSERT_EQ(passed().size(), 2u);
        }
        limit_.emplace(std::filesystem::file_size("KOVRA01H.DAT"));
    }

    int runOperation(Operation operation) {
        values_.fill(0);
        switch (operation) {
        case Operation::Read:
            return access("0530010");
        case Operation::Write:
            values_[2] = 0x42; // the single layout: the word in bytes 2 and 3, host order
            return access("0530020", kSingleWrite);
        case Operation::Collect:
            return collect(kStation);
        }
        return -1;
    }

    // Records of successful collections, accumulated.
    void keep(int status) {
        if (status == kStatusDone) {
            const auto entries = passed();
            accepted_.insert(accepted_.end(), entries.begin(), entries.end());
        }
    }

    std::thread closer_;
    std::vector<std::string> accepted_;
    std::optional<FileSizeLimit> limit_;
};

TEST_P(FaultMatrix, EndsAsExpectedAndRecovers) {
    const FaultCase& c = GetParam();
    const std::size_t descriptors = OpenDescriptors();
    switch (c.trouble) {
    case Trouble::Line:
        plc().injectFault(kStation, c.fault);
        break;
    case Trouble::Split:
        // A 245-byte reply takes 128 ms: in pieces, within the reply timeout.
        plc().setLine({19200, 8, 'N', 1});
        plc().setPacing(true);
        setReplyTimeout(100);
        break;
    case Trouble::Vanish:
        vanishOnRequest();
        break;
    case Trouble::DiskFull:
    case Trouble::ReadOnlyFile:
        failFileWrites(c.trouble);
        break;
    case Trouble::FileCannotGrow:
    case Trouble::CutInsertion:
        limitFileGrowth(c.trouble == Trouble::CutInsertion);
        break;
    }

    const auto begin = std::chrono::steady_clock::now();
    const int status = runOperation(c.operation);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    const auto frames = plc().requests().size();
    if (closer_.joinable()) {
        closer_.join();
    }

    EXPECT_EQ(status, c.status);
    if (c.frames != 0) {
        EXPECT_EQ(frames, static_cast<std::size_t>(c.frames));
    }
    if (*c.message != '\0') {
        bool found = false;
        for (const auto& text : messages()) {
            found = found || text.find(c.message) != std::string::npos;
        }
        EXPECT_TRUE(found) << "no message with: " << c.message;
    }
    if (c.passedUnderFault >= 0) {
        EXPECT_EQ(passed().size(), static_cast<std::size_t>(c.passedUnderFault));
    }
    EXPECT_LT(elapsed, c.trouble == Trouble::Vanish ? 1s : 3s);
    if (c.operation == Operation::Read && status == kStatusDone) {
        std::uint16_t value = 0;
        std::memcpy(&value, values_.data() + 2, sizeof value);
        EXPECT_EQ(value, 0x1234);
    }
    if (c.operation == Operation::Write && status == kStatusDone) {
        EXPECT_EQ(plc().get(kStation, plcsim::Table::Words, kWriteRegister), 0x42);
    }

    // Recovery: the fault gone, the line and the file back.
    plc().clearFaults(kStation);
    plc().setPacing(false);
    setReplyTimeout(5);
    if (c.trouble == Trouble::Vanish) {
        std::filesystem::remove("plc");
        std::filesystem::create_symlink(line_.path(), "plc");
        ASSERT_EQ(call(kReopenPort, nullptr), kStatusDone);
    }
    if (c.trouble == Trouble::DiskFull || c.trouble == Trouble::ReadOnlyFile) {
        healFile();
    }
    limit_.reset();
    if (c.operation == Operation::Collect) {
        keep(status);
        keep(collect(kStation));
        restart();
        keep(collect(kStation));
        const std::set<std::string> distinct(accepted_.begin(), accepted_.end());
        EXPECT_EQ(accepted_.size(), kRecords) << ::testing::PrintToString(accepted_);
        EXPECT_EQ(distinct.size(), kRecords) << ::testing::PrintToString(accepted_);
        if (c.trouble == Trouble::CutInsertion) {
            EXPECT_EQ(collect(kOther), kStatusDone);
            EXPECT_TRUE(passed().empty()) << ::testing::PrintToString(passed());
        }
    } else {
        EXPECT_EQ(runOperation(c.operation), kStatusDone);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

std::string CaseName(const ::testing::TestParamInfo<FaultCase>& row) {
    return std::string(row.param.name);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kCases), CaseName);

} // namespace
