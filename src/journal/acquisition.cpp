#include "journal/acquisition.h"

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/host_library.h"
#include "contract/records.h"
#include "gates/read.h"
#include "gates/write.h"
#include "journal/clock_sync.h"
#include "journal/record_logging.h"
#include "lastevent/table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace kovra {

namespace {

constexpr std::int32_t kFileTableWordsP200 = 52;
constexpr std::int32_t kFileTableWordsP200X = 120;
// A P200X table is longer, but files beyond the P200's slots are never read.
constexpr std::size_t kExaminedFileSlots = 52;

constexpr std::uint16_t kEmptySlot = 0xFFFF;
constexpr std::uint16_t kSkippedSlot = 2;
constexpr std::uint16_t kTableEnd = 3; // ends a P200X table; merely skipped on a P200

constexpr std::size_t kFileNameSize = 24;
constexpr std::size_t kLostTextSize = 96;

unsigned StationOf(const VpiRequest& request) {
    return static_cast<std::uint8_t>(DescriptorOf(request).gate.station);
}

// Reads `words` registers from `address` to `destination` with one read
// transaction on a descriptor of our own.
int ReadRegisters(VpiRequest& request, std::int32_t address, std::uint16_t words,
                  std::uint16_t* destination) {
    const std::int32_t station = DescriptorOf(request).gate.station;
    if (words == 1) {
        // A transfer of one element uses the single layout, which puts the
        // word in bytes 2 and 3 of its area: read into a cell, then place it.
        std::uint8_t cell[4] = {};
        GateDescriptor descriptor = RegisterDescriptor(station, address, 1, cell);
        LentDescriptor lent(request, descriptor);
        const int result = DoRead(request);
        if (result == kStatusDone) {
            std::memcpy(destination, cell + 2, sizeof *destination);
        }
        return result;
    }
    GateDescriptor descriptor = RegisterDescriptor(station, address, words, destination);
    LentDescriptor lent(request, descriptor);
    return DoRead(request);
}

// Reads the records of one range into their places in the buffer, in chunks
// of whole records so that the register address (one per record) and the
// buffer position (recordWords per record) advance together.
int ReadRange(VpiRequest& request, const FileHeader& header, RecordRange range,
              std::uint16_t* buffer, unsigned part, const char* fileName) {
    if (range.begin >= range.end) {
        return kStatusDone;
    }
    const std::uint16_t chunkRecords = kMaxTransferWords / header.recordWords;
    std::int32_t address = header.firstRecordAddress + range.begin;
    std::uint16_t recordsLeft = static_cast<std::uint16_t>(range.end - range.begin);
    std::uint16_t* destination =
        buffer + static_cast<std::size_t>(range.begin) * header.recordWords;
    for (unsigned chunk = 1; recordsLeft > 0; ++chunk) {
        const std::uint16_t records = std::min(recordsLeft, chunkRecords);
        const auto words = static_cast<std::uint16_t>(records * header.recordWords);
        const int result = ReadRegisters(request, address, words, destination);
        if (result != kStatusDone) {
            err(kSeverityTrace,
                part == 1 ? "KOVRA> ReadHoroFile() plc %02x %s part1.%u read failed"
                          : "KOVRA> ReadHoroFile() plc %02x %s part2.%u read failed",
                StationOf(request), fileName, chunk);
            return result;
        }
        recordsLeft = static_cast<std::uint16_t>(recordsLeft - records);
        address += records;
        destination += words;
    }
    return kStatusDone;
}

// Reads the header of the selected file.
int ReadHeader(VpiRequest& request, const char* fileName, FileHeader& header) {
    std::uint16_t words[kHeaderWords] = {};
    const int result = ReadRegisters(request, kHeaderAddress, kHeaderWords, words);
    if (result != kStatusDone) {
        err(kSeverityTrace, "KOVRA> ReadHoroFile() plc %02x %s read header failed",
            StationOf(request), fileName);
        return result;
    }
    header = HeaderFromWords(words);
    return kStatusDone;
}

// How one file read ended: its status, and whether the failure leaves the
// files after it to be read all the same (a header refused, a position not
// saved).
struct FileOutcome {
    int status = kStatusDone;
    bool passedOver = false;
};

const char* HeaderFieldName(HeaderFault fault) {
    switch (fault) {
    case HeaderFault::RecordWords:
        return "recordWords";
    case HeaderFault::UsedRecords:
        return "usedRecords";
    case HeaderFault::NextRecord:
        return "nextRecord";
    case HeaderFault::RecordAddress:
        return "firstRecordAddress";
    default:
        return "recordCount";
    }
}

void ReportLostRecords(VpiRequest& request, Continuity continuity, const char* fileName) {
    if (continuity != Continuity::Overwritten && continuity != Continuity::Cleared) {
        return;
    }
    char text[kLostTextSize];
    std::snprintf(text, sizeof text,
                  continuity == Continuity::Overwritten
                      ? "KOVRA%02u %02x:%s overflow probably records lost"
                      : "KOVRA%02u %02x:%s cleared probably records lost",
                  static_cast<unsigned>(request.driverNumber), StationOf(request), fileName);
    HoroAlert(request, text);
}

FileOutcome CollectFile(VpiRequest& request, std::uint16_t fileNumber) {
    DriverContext& context = ContextOf(request);
    const unsigned station = StationOf(request);

    char fileName[kFileNameSize];
    if (fileNumber == kJournalFileNumber) {
        std::snprintf(fileName, sizeof fileName, "'Journal de Bord'");
    } else {
        std::snprintf(fileName, sizeof fileName, "'MemoFile $%04x'",
                      static_cast<unsigned>(fileNumber));
    }
    err(kSeverityTrace, "KOVRA> ReadHoroFile() plc %02x reading %s", station, fileName);

    FileHeader header{};
    if (const int result = ReadHeader(request, fileName, header); result != kStatusDone) {
        return {result};
    }

    if (const HeaderVerdict verdict = CheckHeader(header); verdict.fault != HeaderFault::None) {
        if (verdict.fault == HeaderFault::TooManyRecords) {
            err(kSeverityError, "KOVRA> ERROR: number of lines in %s too big : %u", fileName,
                static_cast<unsigned>(verdict.value));
        } else {
            err(kSeverityError, "KOVRA> ReadHoroFile() plc %02x %s illegal header, %s %u", station,
                fileName, HeaderFieldName(verdict.fault), static_cast<unsigned>(verdict.value));
        }
        return {kStatusRefused, true};
    }

    // Zeroed: words past the records read are never stale memory.
    std::unique_ptr<std::uint16_t[]> buffer(new (std::nothrow) std::uint16_t[kRecordBufferWords]());
    if (!buffer) {
        err(kSeverityError, "KOVRA> ReadHoroFile() ERROR: malloc memo buffer");
        return {kStatusRefused};
    }
    auto recordAt = [&](std::uint16_t index) {
        return buffer.get() + static_cast<std::size_t>(index) * header.recordWords;
    };

    std::uint8_t storedCopy[kRecordCopySize] = {};
    const std::uint16_t lastRecord =
        GetLastHoro(context, static_cast<std::uint8_t>(station), fileNumber, storedCopy);

    // Only the record passed on last is read again: if it still matches, the
    // PLC has neither overwritten nor cleared the file since.
    bool lastRecordMatches = false;
    if (RereadsLastRecord(header, lastRecord)) {
        const auto index = static_cast<std::uint16_t>(lastRecord - 1);
        const int result = ReadRegisters(request, header.firstRecordAddress + index,
                                         header.recordWords, recordAt(index));
        if (result != kStatusDone) {
            err(kSeverityTrace, "KOVRA> ReadHoroFile() plc %02x %s prev. rec read failed", station,
                fileName);
            return {result};
        }
        // A record shorter than the identifying length is identified by its
        // own words alone: the bytes after it belong to the next record, which
        // the re-read does not bring back.
        const std::size_t identifyingBytes =
            std::min(IdentifyingLength(fileNumber), std::size_t{2} * header.recordWords);
        lastRecordMatches = std::memcmp(recordAt(index), storedCopy, identifyingBytes) == 0;
    }

    ReadPlan plan = PlanReads(header, lastRecord, lastRecordMatches);
    ReportLostRecords(request, plan.continuity, fileName);

    if (const int result = ReadRange(request, header, plan.part1, buffer.get(), 1, fileName);
        result != kStatusDone) {
        return {result};
    }
    if (const int result = ReadRange(request, header, plan.part2, buffer.get(), 2, fileName);
        result != kStatusDone) {
        return {result};
    }
    // The new records' range ends before the slot the PLC writes next, but a
    // whole file starts there: which slots were written while it was read?
    if (plan.continuity != Continuity::Continues && header.usedRecords != 0) {
        FileHeader after{};
        if (const int result = ReadHeader(request, fileName, after); result != kStatusDone) {
            return {result};
        }
        const SettledRead settled = SettleWholeRead(header, after);
        if (settled.lostRecords != 0 && plan.continuity != Continuity::Overwritten) {
            ReportLostRecords(request, Continuity::Overwritten, fileName);
        }
        plan.part1 = settled.part1;
        plan.part2 = settled.part2;
    }

    std::uint16_t newLastRecord = 0;
    std::int32_t previousInstant =
        lastRecordMatches
            ? PassedRecordInstant(recordAt(static_cast<std::uint16_t>(lastRecord - 1)))
            : 0;
    for (const RecordRange& range : {plan.part1, plan.part2}) {
        for (std::uint16_t i = range.begin; i < range.end; ++i) {
            // A record whose gate lookup failed does not move the position, so
            // it is offered again unless a later record moves past it.
            if (LogRecord(request, recordAt(i), fileNumber, i, previousInstant) == kStatusDone) {
                newLastRecord = static_cast<std::uint16_t>(i + 1);
            }
        }
    }

    // A position that cannot be saved stays in the table, so the records are
    // not passed again by this instance; the failure is noted but the files
    // after this one are read all the same: an empty file saves its position
    // at every collection, and a full disk would otherwise starve the files
    // behind it until their rings wrap.
    int saved = kStatusDone;
    if (newLastRecord != 0) {
        saved = PutLastHoro(request, static_cast<std::uint8_t>(station), fileNumber, newLastRecord,
                            reinterpret_cast<const std::uint8_t*>(
                                recordAt(static_cast<std::uint16_t>(newLastRecord - 1))));
    } else if (header.usedRecords == 0) {
        // An emptied file starts over from its first record next time.
        saved = PutLastHoro(request, static_cast<std::uint8_t>(station), fileNumber, 0, nullptr);
    }
    return {saved, saved != kStatusDone};
}

} // namespace

int ReadHoroData(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    const std::int32_t station = DescriptorOf(request).gate.station;
    const unsigned stationNumber = StationOf(request);

    if (context.clockSync == 1 && SyncClocks(request) == kStatusUnavailable) {
        err(kSeverityTrace, "KOVRA> ReadHoroData() plc%02x aborted, SyncClocks() failed",
            stationNumber);
        return kStatusUnavailable;
    }

    const bool p200x = context.stationIsP200X[stationNumber] == 1;
    std::uint16_t table[kFileTableWordsP200X] = {};
    {
        GateDescriptor descriptor = RegisterDescriptor(
            station, kFileTableAddress, p200x ? kFileTableWordsP200X : kFileTableWordsP200, table);
        LentDescriptor lent(request, descriptor);
        const int result = SingleRead(request);
        if (result != kStatusDone) {
            err(kSeverityTrace, "KOVRA> ReadHoroData() plc %02x 'TABLE $0900' open failed",
                stationNumber);
            return result;
        }
    }

    int status = kStatusDone;
    for (std::size_t slot = 0; slot < kExaminedFileSlots; ++slot) {
        const std::uint16_t fileNumber = table[slot];
        if (p200x && fileNumber == kTableEnd) {
            break;
        }
        if (fileNumber == kEmptySlot || fileNumber == kSkippedSlot || fileNumber == kTableEnd) {
            continue;
        }
        {
            std::uint8_t selection[4] = {};
            std::memcpy(selection + 2, &fileNumber, sizeof fileNumber);
            GateDescriptor descriptor =
                RegisterDescriptor(station, kFileSelectAddress, 1, selection);
            LentDescriptor lent(request, descriptor);
            const int result = SingleWrite(request);
            if (result != kStatusDone) {
                err(kSeverityTrace, "KOVRA> ReadHoroData() plc %02x file $%04x open failed",
                    stationNumber, static_cast<unsigned>(fileNumber));
                return result;
            }
        }
        // A file refused for its header would be refused at every collection,
        // and a position the disk will not take would fail at every one too:
        // such a file is passed over so that the files after it are still read.
        const FileOutcome file = CollectFile(request, fileNumber);
        if (file.passedOver) {
            status = kStatusRefused;
        } else if (file.status != kStatusDone) {
            return file.status;
        }
    }
    return status;
}

int ReadHoroFile(VpiRequest& request, std::uint16_t fileNumber) {
    return CollectFile(request, fileNumber).status;
}

} // namespace kovra
