#include "lastevent/table.h"

#include "contract/context.h"
#include "contract/host_library.h"
#include "lastevent/file.h"

#include <cstdlib>
#include <cstring>

namespace kovra {

namespace {

constexpr std::size_t kStationOffset = 0;
constexpr std::size_t kFileNumberOffset = 1;
constexpr std::size_t kLastRecordOffset = 3;
constexpr std::size_t kRecordCopyOffset = 5;

std::uint16_t ReadLittle16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

void WriteLittle16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint8_t* EntryAt(DriverContext& context, std::size_t index) {
    return context.lastEvents + index * kLastEventEntrySize;
}

// Unfilled copy bytes are left zero so that the file never carries stale heap.
void BuildEntry(std::uint8_t* entry, std::uint8_t station, std::uint16_t fileNumber,
                std::uint16_t lastRecord) {
    std::memset(entry, 0, kLastEventEntrySize);
    entry[kStationOffset] = station;
    WriteLittle16(entry + kFileNumberOffset, fileNumber);
    WriteLittle16(entry + kLastRecordOffset, lastRecord);
}

bool SameKey(const std::uint8_t* left, const std::uint8_t* right) {
    return CompareLastHoroKey(left, right) == 0;
}

// Makes room for one more entry by doubling. The count and the capacity are
// 16-bit, so a table that would need more than kMaxLastEventCapacity entries is
// refused rather than left to wrap.
bool GrowLastEvents(DriverContext& context) {
    const std::size_t wanted = context.lastEventCapacity == 0
                                   ? kInitialLastEventCapacity
                                   : std::size_t{context.lastEventCapacity} * 2;
    if (wanted > kMaxLastEventCapacity) {
        return false;
    }
    void* grown = std::realloc(context.lastEvents, wanted * kLastEventEntrySize);
    if (grown == nullptr) {
        return false;
    }
    context.lastEvents = static_cast<std::uint8_t*>(grown);
    context.lastEventCapacity = static_cast<std::uint16_t>(wanted);
    return true;
}

} // namespace

int CompareLastHoroKey(const void* left, const void* right) {
    const auto* l = static_cast<const std::uint8_t*>(left);
    const auto* r = static_cast<const std::uint8_t*>(right);
    if (l[kStationOffset] != r[kStationOffset]) {
        return l[kStationOffset] < r[kStationOffset] ? -1 : 1;
    }
    const std::uint16_t leftFile = ReadLittle16(l + kFileNumberOffset);
    const std::uint16_t rightFile = ReadLittle16(r + kFileNumberOffset);
    if (leftFile != rightFile) {
        return leftFile < rightFile ? -1 : 1;
    }
    return 0;
}

int SearchSorted(const void* key, const void* base, std::size_t count, std::size_t elementSize,
                 int (*compare)(const void*, const void*)) {
    if (count == 0) {
        return 0;
    }
    const auto* elements = static_cast<const std::uint8_t*>(base);
    auto element = [&](long index) {
        return elements + static_cast<std::size_t>(index) * elementSize;
    };
    long lo = 0;
    long hi = static_cast<long>(count) - 1;
    while (hi - lo > 1) {
        const long mid = (lo + hi) / 2;
        if (compare(key, element(mid)) < 0) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    if (compare(key, element(lo)) <= 0) {
        return static_cast<int>(lo);
    }
    if (compare(key, element(hi)) > 0) {
        return static_cast<int>(hi + 1);
    }
    return static_cast<int>(hi);
}

std::uint16_t GetLastHoro(DriverContext& context, std::uint8_t station, std::uint16_t fileNumber,
                          std::uint8_t* copy) {
    std::uint8_t key[kLastEventEntrySize];
    BuildEntry(key, station, fileNumber, 0);
    const int i = SearchSorted(key, context.lastEvents, context.lastEventCount, kLastEventEntrySize,
                               CompareLastHoroKey);
    if (i >= context.lastEventCount || !SameKey(EntryAt(context, i), key)) {
        return 0;
    }
    const std::uint8_t* entry = EntryAt(context, i);
    std::memcpy(copy, entry + kRecordCopyOffset, kRecordCopySize);
    return ReadLittle16(entry + kLastRecordOffset);
}

int PutLastHoro(VpiRequest& request, std::uint8_t station, std::uint16_t fileNumber,
                std::uint16_t lastRecord, const std::uint8_t* record) {
    DriverContext& context = ContextOf(request);
    std::uint8_t entry[kLastEventEntrySize];
    BuildEntry(entry, station, fileNumber, lastRecord);
    if (lastRecord != 0 && record != nullptr) {
        const std::size_t copied = IdentifyingLength(fileNumber);
        std::memcpy(entry + kRecordCopyOffset, record, copied);
    }

    // When the file write fails the table keeps the new position: the records
    // up to it have already gone to the host, and in memory they must not be
    // passed on again. The failure goes back to the caller, because the file
    // now lags behind and a restart would pass them once more; a host that
    // keeps its own history puts the file back and reloads it.
    const std::uint16_t count = context.lastEventCount;
    const int found =
        SearchSorted(entry, context.lastEvents, count, kLastEventEntrySize, CompareLastHoroKey);
    const auto i = static_cast<std::uint16_t>(found);
    if (i < count && SameKey(EntryAt(context, i), entry)) {
        std::memcpy(EntryAt(context, i), entry, kLastEventEntrySize);
        return WriteFileLastHoro(request, i, 0);
    }

    if (count == context.lastEventCapacity && !GrowLastEvents(context)) {
        err(kSeverityError, "KOVRA> PutLastHoro() ERROR realloc failed !!");
        return 1;
    }
    if (i < count) {
        std::memmove(EntryAt(context, i + 1), EntryAt(context, i),
                     static_cast<std::size_t>(count - i) * kLastEventEntrySize);
        std::memcpy(EntryAt(context, i), entry, kLastEventEntrySize);
        context.lastEventCount = static_cast<std::uint16_t>(count + 1);
        return WriteFileLastHoro(request, i, 1);
    }
    std::memcpy(EntryAt(context, count), entry, kLastEventEntrySize);
    context.lastEventCount = static_cast<std::uint16_t>(count + 1);
    return WriteFileLastHoro(request, count, 0);
}

} // namespace kovra
