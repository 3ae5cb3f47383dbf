#pragma once

#include "contract/driver_files.h"

#include <cstddef>
#include <cstdint>

namespace kovra {

struct DriverContext;
struct VpiRequest;

constexpr std::size_t kRecordCopySize = 10;
constexpr std::uint16_t kInitialLastEventCapacity = 128;

// File 1 is the journal; every other number is a memo file.
constexpr std::uint16_t kJournalFileNumber = 1;

// The leading bytes that identify a record of a file, kept as its recordCopy:
// date, time, address and value of a journal record; date, time and value of
// a memo record.
constexpr std::size_t IdentifyingLength(std::uint16_t fileNumber) {
    return fileNumber == kJournalFileNumber ? 10 : 8;
}
// The count and the capacity are 16-bit: the last doubling that fits.
constexpr std::size_t kMaxLastEventCapacity = 32768;

int CompareLastHoroKey(const void* left, const void* right);
int SearchSorted(const void* key, const void* base, std::size_t count, std::size_t elementSize,
                 int (*compare)(const void*, const void*));
std::uint16_t GetLastHoro(DriverContext& context, std::uint8_t station, std::uint16_t fileNumber,
                          std::uint8_t* copy);
// Stores a position and writes it through to the last-event file. 0 stored;
// 1 the table could not grow (nothing changed) or the file write failed (the
// table keeps the position, the file does not have it).
int PutLastHoro(VpiRequest& request, std::uint8_t station, std::uint16_t fileNumber,
                std::uint16_t lastRecord, const std::uint8_t* record);

} // namespace kovra
