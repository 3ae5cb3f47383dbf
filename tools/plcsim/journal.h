// The time-stamped side of a simulated PLC: its clock and its event files.
//
// A P200 or P200X keeps a journal (file 1, one record per change of any
// variable) and memo files (one per variable, numbered by that variable's
// J-bus address), each a ring of fixed-length records. The driver reaches
// them through holding registers:
//
//   0x0900...  the file table, 52 words on a P200, 120 on a P200X
//   0x0100     file selection: writing a file number selects that file
//   0x0102...  16 header words of the selected file
//   first + i  record i of the selected file
//   1 to 4     the clock, set by one block write of 8 bytes
//
// There is one register address per record although a record is several
// words long: a read of N words at first + i returns records i, i + 1, ...
// laid end to end, cut at N words.
#pragma once

#include "plcsim/simulator.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace plcsim {

constexpr std::uint16_t kFileTableRegister = 0x0900;
constexpr std::uint16_t kFileSelectRegister = 0x0100;
constexpr std::uint16_t kFileHeaderRegister = 0x0102;
constexpr std::uint16_t kFileHeaderWords = 16;
constexpr std::uint16_t kClockRegister = 1;
constexpr std::uint16_t kClockRegisters = 4;
constexpr std::uint16_t kJournalFileNumber = 1; // any other number is a memo file
constexpr std::uint16_t kDefaultFirstRecordRegister = 0x1000;

// Header words the driver reads.
constexpr std::size_t kHeaderRecordCount = 3;
constexpr std::size_t kHeaderRecordWords = 4;
constexpr std::size_t kHeaderUsedRecords = 5;
constexpr std::size_t kHeaderNextRecord = 6;
constexpr std::size_t kHeaderFirstRecordAddress = 8;

// Table entries with a meaning of their own.
constexpr std::uint16_t kEmptyTableSlot = 0xFFFF;
constexpr std::uint16_t kTableEndMark = 3; // ends a P200X table

// A PLC time stamp: date word (year in a 16-year cycle from 1990, month,
// day) and time-of-day word (seconds / 2, minutes, hours).
struct Stamp {
    std::uint16_t date = 0;
    std::uint16_t time = 0;
};
Stamp StampOf(const std::tm& local);

// The two value words of a record as the given model lays a value out: a
// P200 keeps 24 bits in bytes b0 b1 b2, a P200X 32 bits in b0 to b3, most
// significant byte first.
void ValueWords(Model model, std::uint32_t value, std::uint16_t* words);

struct FileLayout {
    std::uint16_t number = kJournalFileNumber;
    std::uint16_t recordCount = 100;
    std::uint16_t recordWords = 5; // 5 for the journal, 4 for a memo file
    std::uint16_t firstRecordAddress = kDefaultFirstRecordRegister;
};

// One station's clock and files, hooked into the station's holding
// registers. Safe to use from the simulator's serving thread, its own
// generators and a test or host thread at once.
class StationJournal : public RegisterHook {
  public:
    explicit StationJournal(Model model);
    ~StationJournal() override; // stops the generators
    StationJournal(const StationJournal&) = delete;
    StationJournal& operator=(const StationJournal&) = delete;

    Model model() const { return model_; }

    // --- clock ---
    // The clock runs from the last setting; until set it shows the PC's time.
    void setClock(const std::tm& local);
    void advanceClock(std::chrono::seconds seconds);
    std::tm clockNow() const;
    // Clock settings received through registers 1 to 4, as the 8 bytes came.
    std::vector<std::vector<std::uint8_t>> clockFrames() const;

    // --- files ---
    // Adds a file (or replaces one of the same number) and enters it in the
    // first free table slot.
    void addFile(const FileLayout& layout);
    // Writes a raw table entry (0xFFFF, 2 and 3 included).
    void setTableEntry(std::size_t slot, std::uint16_t value);
    std::vector<std::uint16_t> table() const;
    // Appends a record of raw words (cut or padded to the record length).
    void appendRecord(std::uint16_t fileNumber, const std::vector<std::uint16_t>& words);
    // A journal event: stamp from the clock (or `at`), J-bus address, value.
    void appendJournalEvent(std::uint16_t jbusAddress, std::uint32_t value,
                            std::optional<std::tm> at = std::nullopt);
    // A memo value of the variable the memo file belongs to.
    void appendMemoValue(std::uint16_t fileNumber, std::uint32_t value,
                         std::optional<std::tm> at = std::nullopt);
    // Empties a file: no records used, writing starts over at record 0.
    void clearFile(std::uint16_t fileNumber);
    // Replaces one header word as served (for headers a PLC should not send).
    void overrideHeaderWord(std::uint16_t fileNumber, std::size_t word, std::uint16_t value);
    std::uint16_t usedRecords(std::uint16_t fileNumber) const;
    std::uint16_t nextRecord(std::uint16_t fileNumber) const;
    std::uint16_t selectedFile() const;

    // Appends one record every `period` until stopped: journal events of
    // `jbusAddress` for file 1, values of the memo file's variable otherwise;
    // the values count up from `firstValue`.
    void generate(std::uint16_t fileNumber, std::uint16_t jbusAddress,
                  std::chrono::milliseconds period, std::uint32_t firstValue = 0);
    void stopGenerating();

    // --- register view ---
    // The words of a holding-register read, or nothing when the read does not
    // start in a register this object answers for.
    std::optional<std::vector<std::uint16_t>> readWords(std::uint16_t address,
                                                        std::uint16_t count) const;
    // True when the write was to a register this object answers for.
    bool writeWords(std::uint16_t address, const std::vector<std::uint16_t>& values);

    // The same, as the simulator asks on the station's behalf.
    HookResult readRegisters(Station& station, std::uint16_t start,
                             std::span<std::uint16_t> values) override;
    HookResult writeRegisters(Station& station, std::uint8_t function, std::uint16_t start,
                              std::span<const std::uint16_t> values) override;

  private:
    struct File {
        FileLayout layout;
        std::vector<std::uint16_t> words; // recordCount × recordWords
        std::uint16_t used = 0;
        std::uint16_t next = 0;
        std::vector<std::optional<std::uint16_t>> headerOverrides;
    };

    File* find(std::uint16_t number);
    const File* find(std::uint16_t number) const;
    std::vector<std::uint16_t> header(const File& file) const;
    std::tm nowLocked() const;
    void append(File& file, const std::vector<std::uint16_t>& words);

    mutable std::mutex mutex_;
    Model model_;
    std::vector<std::uint16_t> table_;
    std::vector<File> files_;
    std::uint16_t selected_ = 0;
    std::time_t clockSetting_;
    std::chrono::steady_clock::time_point clockSetAt_;
    std::chrono::seconds clockAdvance_{0};
    std::vector<std::vector<std::uint8_t>> clockFrames_;

    std::mutex generatorMutex_;
    std::condition_variable generatorWake_;
    bool stopping_ = false;
    std::vector<std::thread> generators_;
};

// The journal of a station on the simulator, attached on first use (with the
// station's model). Throws std::out_of_range for a station not on the line.
std::shared_ptr<StationJournal> JournalOf(Simulator& simulator, std::uint8_t station);

} // namespace plcsim
