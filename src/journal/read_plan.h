// The decisions of a journal file read, from plain values: which records to
// read and pass on, given the file's header and the position passed on last.
// They need no PLC and no driver context, so that whoever watches a journal
// read on the line can follow it by the same rules.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

// The PLC's journal registers.
constexpr std::uint16_t kFileTableAddress = 0x0900;
constexpr std::uint16_t kFileSelectAddress = 0x0100;
constexpr std::uint16_t kHeaderAddress = 0x0102;
constexpr std::uint16_t kHeaderWords = 16;

constexpr std::uint16_t kMaxRecordCount = 3600;
// Room for the largest journal: 3600 records of 5 words.
constexpr std::size_t kRecordBufferWords = 18000;
// The largest block of words one read reply carries.
constexpr std::uint16_t kMaxTransferWords = 120;

// The header words that describe a file's ring of records.
struct FileHeader {
    std::uint16_t recordCount;
    std::uint16_t recordWords;
    std::uint16_t usedRecords;
    std::uint16_t nextRecord;
    std::uint16_t firstRecordAddress;
};
// The header from the 16 words read at kHeaderAddress.
FileHeader HeaderFromWords(const std::uint16_t (&words)[kHeaderWords]);

// A half-open range of record indices; empty when begin is not below end.
struct RecordRange {
    std::uint16_t begin = 0;
    std::uint16_t end = 0;
    friend bool operator==(const RecordRange&, const RecordRange&) = default;
};

enum class HeaderFault : std::uint8_t {
    None,
    TooManyRecords, // more records than the buffer is made for
    RecordWords,    // records of no words, longer than a read, or beyond the buffer
    UsedRecords,    // more records used than held
    NextRecord,     // the next record beyond the used ones
    RecordAddress,  // used records whose register addresses run past 0xFFFF
};
struct HeaderVerdict {
    HeaderFault fault = HeaderFault::None;
    std::uint16_t value = 0; // the refused field's value
};
// Whether every record the header describes fits the buffer and can be read
// in whole records.
HeaderVerdict CheckHeader(const FileHeader& header);

// How the file stands against the last collection.
enum class Continuity : std::uint8_t {
    FirstRead,   // nothing passed on yet: the whole file, no loss
    Continues,   // the record passed on last is still there: only what follows
    Overwritten, // the ring has turned past it: the whole file, records lost
    Cleared,     // the file was emptied or shortened: the whole file, records lost
};
struct ReadPlan {
    RecordRange part1;
    RecordRange part2;
    Continuity continuity = Continuity::FirstRead;
    friend bool operator==(const ReadPlan&, const ReadPlan&) = default;
};
// Whether the record passed on last (1-based, 0 none) is within the used
// records, and so is to be read again and compared with its stored copy.
bool RereadsLastRecord(const FileHeader& header, std::uint16_t lastRecord);
// The records to read and pass on, oldest first, given whether the re-read
// record matched its stored copy (ignored when it was not re-read).
ReadPlan PlanReads(const FileHeader& header, std::uint16_t lastRecord, bool lastRecordMatches);

// The records of a whole-file read that may be passed on, given the header
// read before the records (`before`) and the one read after them (`after`).
// A whole file starts at the slot the PLC writes next, so the slots written
// in between (from before's nextRecord to after's) may hold a record newer
// than every other one: they are left to the next collection, which finds
// them after the position this read stores, the newest record of `before`.
// What they held is lost. A file cleared or reshaped in between passes
// nothing, and is read whole again next time.
struct SettledRead {
    RecordRange part1;
    RecordRange part2;
    std::uint16_t lostRecords = 0; // records in the slots written in between
    friend bool operator==(const SettledRead&, const SettledRead&) = default;
};
SettledRead SettleWholeRead(const FileHeader& before, const FileHeader& after);

} // namespace kovra
