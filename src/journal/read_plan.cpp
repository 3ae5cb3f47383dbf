#include "journal/read_plan.h"

#include <algorithm>

namespace kovra {

namespace {

constexpr std::size_t kRecordCountWord = 3;
constexpr std::size_t kRecordWordsWord = 4;
constexpr std::size_t kUsedRecordsWord = 5;
constexpr std::size_t kNextRecordWord = 6;
constexpr std::size_t kFirstRecordAddressWord = 8;

} // namespace

FileHeader HeaderFromWords(const std::uint16_t (&words)[kHeaderWords]) {
    return FileHeader{words[kRecordCountWord], words[kRecordWordsWord], words[kUsedRecordsWord],
                      words[kNextRecordWord], words[kFirstRecordAddressWord]};
}

HeaderVerdict CheckHeader(const FileHeader& header) {
    if (header.recordCount > kMaxRecordCount) {
        return {HeaderFault::TooManyRecords, header.recordCount};
    }
    // An empty file reads nothing, whatever its record length, and must not
    // hold up the files after it.
    if (header.usedRecords == 0) {
        return {};
    }
    if (header.recordWords == 0 || header.recordWords > kMaxTransferWords ||
        static_cast<std::size_t>(header.recordCount) * header.recordWords > kRecordBufferWords) {
        return {HeaderFault::RecordWords, header.recordWords};
    }
    if (header.usedRecords > header.recordCount) {
        return {HeaderFault::UsedRecords, header.usedRecords};
    }
    if (header.nextRecord > header.usedRecords) {
        return {HeaderFault::NextRecord, header.nextRecord};
    }
    // Register addresses wrap at 16 bits: a record past 0xFFFF would be read
    // from the start of the map, and its re-read would never match.
    if (header.firstRecordAddress + header.usedRecords - 1 > 0xFFFF) {
        return {HeaderFault::RecordAddress, header.firstRecordAddress};
    }
    return {};
}

bool RereadsLastRecord(const FileHeader& header, std::uint16_t lastRecord) {
    return lastRecord != 0 && header.usedRecords >= lastRecord;
}

ReadPlan PlanReads(const FileHeader& header, std::uint16_t lastRecord, bool lastRecordMatches) {
    const std::uint16_t used = header.usedRecords;
    const std::uint16_t next = used == 0 ? 0 : header.nextRecord;
    if (RereadsLastRecord(header, lastRecord) && lastRecordMatches) {
        if (next >= lastRecord) {
            return {{lastRecord, next}, {}, Continuity::Continues};
        }
        // The ring has wrapped since: the tail of the ring, then its head.
        return {{lastRecord, used}, {0, next}, Continuity::Continues};
    }
    // Otherwise the whole file, oldest record first.
    const Continuity continuity = lastRecord == 0     ? Continuity::FirstRead
                                  : used > lastRecord ? Continuity::Overwritten
                                                      : Continuity::Cleared;
    return {{next, used}, {0, next}, continuity};
}

SettledRead SettleWholeRead(const FileHeader& before, const FileHeader& after) {
    const bool sameShape = after.recordCount == before.recordCount &&
                           after.recordWords == before.recordWords &&
                           after.firstRecordAddress == before.firstRecordAddress;
    if (before.usedRecords == 0 || before.usedRecords > before.recordCount || !sameShape ||
        after.usedRecords < before.usedRecords || after.nextRecord > after.usedRecords) {
        return {};
    }
    const ReadPlan whole = PlanReads(before, 0, false);
    const unsigned count = before.recordCount;
    const unsigned written = (after.nextRecord + count - whole.part1.begin) % count;
    // Past `count` when the writes went on at the ring's head.
    const unsigned writtenEnd = whole.part1.begin + written;
    const auto part1Begin =
        static_cast<std::uint16_t>(std::min<unsigned>(writtenEnd, whole.part1.end));
    const auto part2Begin = static_cast<std::uint16_t>(
        std::min<unsigned>(writtenEnd > count ? writtenEnd - count : 0, whole.part2.end));
    return {{part1Begin, whole.part1.end},
            {part2Begin, whole.part2.end},
            static_cast<std::uint16_t>(part1Begin - whole.part1.begin + part2Begin -
                                       whole.part2.begin)};
}

} // namespace kovra
