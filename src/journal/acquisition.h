#pragma once

#include <cstdint>

namespace kovra {

struct VpiRequest;

// Journal acquisition for the station of the request's current descriptor.
// A file refused for its header or whose position could not be saved makes
// the answer 1, but the files after it are read all the same; any other
// failure ends the acquisition with its code.
int ReadHoroData(VpiRequest& request);
// Reads one file of that station; the file must already be selected on the PLC.
int ReadHoroFile(VpiRequest& request, std::uint16_t fileNumber);

// --- The decisions of a file read, from plain values ---

// The header words that describe a file's ring of records.
struct FileHeader {
    std::uint16_t recordCount;
    std::uint16_t recordWords;
    std::uint16_t usedRecords;
    std::uint16_t nextRecord;
    std::uint16_t firstRecordAddress;
};

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
    bool recordsLost = false; // slots that held records were written in between
    friend bool operator==(const SettledRead&, const SettledRead&) = default;
};
SettledRead SettleWholeRead(const FileHeader& before, const FileHeader& after);

} // namespace kovra
