#include "lastevent/file.h"

#include "contract/context.h"
#include "contract/host_library.h"
#include "lastevent/table.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kovra {

namespace {

constexpr long kEntriesOffset = static_cast<long>(kLastQueryAreaSize);

long EntryOffset(std::size_t index) {
    return kEntriesOffset + static_cast<long>(index * kLastEventEntrySize);
}

// The whole entries a file of that length holds; a partial tail is no entry.
std::size_t SlotsHeld(long length) {
    return length < kEntriesOffset
               ? 0
               : static_cast<std::size_t>(length - kEntriesOffset) / kLastEventEntrySize;
}

// The parts of an entry, for writing a key that moves in place in an order
// that a cut at any byte leaves a file whose load (KeepAscendingKeys) still
// finds each position that was on disk. A key is its station (most
// significant), then its file number's high byte, then its low byte; the rest
// of the entry is its tail.
struct EntryPart {
    std::size_t offset;
    std::size_t size;
};
constexpr EntryPart kStation{0, 1};
constexpr EntryPart kFileNumberHigh{2, 1};
constexpr EntryPart kFileNumberLow{1, 1};
constexpr EntryPart kFileNumber{1, 2}; // low byte first, as it lies in the file
constexpr EntryPart kTail{3, kLastEventEntrySize - 3};
constexpr EntryPart kWhole{0, kLastEventEntrySize};
// A slot whose key grows (a table moved towards the front): tail first, then
// the key from its least significant byte, so that the key read meanwhile is
// never above the new one, whose copy lies further back.
constexpr EntryPart kKeyGrowing[] = {kTail, kFileNumber, kStation};
// A slot whose key shrinks (entries shifted towards the back): the key from its
// most significant byte, so that the key read meanwhile is never above the old
// one, whose copy lies further back, then the tail.
constexpr EntryPart kKeyShrinking[] = {kStation, kFileNumberHigh, kFileNumberLow, kTail};

// The smallest of 128, 256, 512, ... that exceeds the entries a file holds,
// so that the next new key finds room; a full 16-bit table when that is what
// the file holds. 0 when they cannot fit at all.
std::size_t CapacityToLoad(std::size_t current, long entries) {
    if (entries > static_cast<long>(kMaxLastEventCapacity)) {
        return 0;
    }
    std::size_t capacity = current == 0 ? kInitialLastEventCapacity : current;
    while (static_cast<long>(capacity) <= entries && capacity < kMaxLastEventCapacity) {
        capacity *= 2;
    }
    return capacity;
}

// Unbuffered, every write reaches the system at once and a failed one leaves
// nothing pending in the stream that a later flush could put at a stale place.
std::FILE* OpenUnbuffered(const char* name, const char* mode) {
    std::FILE* file = std::fopen(name, mode);
    if (file != nullptr) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

} // namespace

void ReportFileFailure(const VpiRequest& request, const char* what, int error) {
    char name[kLastEventFileNameSize];
    LastEventFileName(request.driverNumber, name);
    err(kSeverityError, "KOVRA> %s failed: '%s' (%s)", what, name, std::strerror(error));
}

int WriteAt(VpiRequest& request, const char* caller, const char* seekName, long offset,
            const void* bytes, std::size_t size) {
    std::FILE* file = ContextOf(request).lastEventFile;
    char what[64];
    // A start whose file would not open leaves no stream to write to.
    if (file == nullptr) {
        std::snprintf(what, sizeof what, "%s %s", caller, seekName);
        ReportFileFailure(request, what, EBADF);
        return 1;
    }
    const char* call = nullptr;
    errno = 0;
    if (std::fseek(file, offset, SEEK_SET) != 0) {
        call = seekName;
    } else if (std::fwrite(bytes, size, 1, file) != 1 || std::ferror(file) != 0) {
        // The error flag too: a stream on a cookie of the C library counts an
        // unbuffered write that failed as written.
        call = "fwrite()";
    } else if (std::fflush(file) != 0) {
        call = "fflush()";
    }
    if (call == nullptr) {
        return 0;
    }
    const int error = errno;
    std::clearerr(file);
    std::snprintf(what, sizeof what, "%s %s", caller, call);
    ReportFileFailure(request, what, error);
    return 1;
}

namespace {

// Writes one part of table entry `slot` to the same slot of the file.
int WritePart(VpiRequest& request, const char* caller, std::size_t slot, EntryPart part) {
    const std::uint8_t* entry = ContextOf(request).lastEvents + slot * kLastEventEntrySize;
    return WriteAt(request, caller, "fseek()2", EntryOffset(slot) + static_cast<long>(part.offset),
                   entry + part.offset, part.size);
}

template <std::size_t N>
int WriteParts(VpiRequest& request, const char* caller, std::size_t slot,
               const EntryPart (&parts)[N]) {
    for (const EntryPart& part : parts) {
        if (WritePart(request, caller, slot, part) != 0) {
            return 1;
        }
    }
    return 0;
}

// Brings file slots [first, count) to the table's entries, from the back.
// First the slots the file lacks, each entry whole at the new end, where a cut
// leaves at most a partial tail that the load ignores; then the slots towards
// the front, one at a time. Every slot overwritten holds an entry whose key
// the table places at that slot or behind it, where it has just been written,
// so no position that was on disk is ever absent from it.
int WriteFromBack(VpiRequest& request, std::size_t held, std::size_t first) {
    const std::size_t count = ContextOf(request).lastEventCount;
    for (std::size_t slot = held; slot < count; ++slot) {
        if (WritePart(request, "WriteFileLastHoro()", slot, kWhole) != 0) {
            return 1;
        }
    }
    for (std::size_t slot = std::min(held, count); slot-- > first;) {
        if (WriteParts(request, "WriteFileLastHoro()", slot, kKeyShrinking) != 0) {
            return 1;
        }
    }
    return 0;
}

bool SlotHoldsKey(std::FILE* file, std::size_t held, std::size_t slot, const std::uint8_t* entry) {
    std::uint8_t key[3];
    if (slot >= held || std::fseek(file, EntryOffset(slot), SEEK_SET) != 0 ||
        std::fread(key, sizeof key, 1, file) != 1) {
        std::clearerr(file);
        return false;
    }
    return std::memcmp(key, entry, sizeof key) == 0;
}

SlotKeys KeysAround(const DriverContext& context, std::size_t held, std::size_t index) {
    const std::size_t count = context.lastEventCount;
    auto holds = [&](std::size_t slot, std::size_t entry) {
        return entry < count && SlotHoldsKey(context.lastEventFile, held, slot,
                                             context.lastEvents + entry * kLastEventEntrySize);
    };
    return {index == 0 || holds(index - 1, index - 1), holds(index, index),
            holds(index, index + 1)};
}

} // namespace

EntryWrite PlanEntryWrite(std::size_t held, std::size_t count, std::size_t index, bool shifted,
                          SlotKeys keys) {
    if (!shifted && held >= count && keys.entry) {
        return EntryWrite::InPlace;
    }
    // A new entry: the file is as the table was before it when it holds one
    // entry less and the keys on either side of the new one.
    const bool last = index + 1 == count;
    if (held + 1 == count && (shifted || last) && keys.previous && (last || keys.next)) {
        return EntryWrite::FromIndex;
    }
    return EntryWrite::Whole;
}

KeptEntries KeepAscendingKeys(std::uint8_t* entries, std::size_t count) {
    KeptEntries kept{0, count};
    for (std::size_t slot = 0; slot < count; ++slot) {
        std::uint8_t* entry = entries + slot * kLastEventEntrySize;
        std::uint8_t* place = entries + kept.count * kLastEventEntrySize;
        if (kept.count > 0 && CompareLastHoroKey(entry, place - kLastEventEntrySize) <= 0) {
            kept.firstMoved = std::min(kept.firstMoved, kept.count);
            continue;
        }
        if (place != entry) {
            std::memmove(place, entry, kLastEventEntrySize);
        }
        ++kept.count;
    }
    kept.firstMoved = std::min(kept.firstMoved, kept.count);
    return kept;
}

int OpenLastHoro(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    std::memset(context.lastQueryStamps, 0, sizeof context.lastQueryStamps);

    char name[kLastEventFileNameSize];
    LastEventFileName(request.driverNumber, name);

    context.lastEventFile = OpenUnbuffered(name, "rb+");
    if (context.lastEventFile == nullptr) {
        context.lastEventFile = OpenUnbuffered(name, "wb+");
        if (context.lastEventFile == nullptr) {
            err(kSeverityError, "KOVRA> OpenLastHoro() fopen() failed: '%s'", name);
            return 1;
        }
        if (std::fwrite(context.lastQueryStamps, kLastQueryStampSize, kStationCount,
                        context.lastEventFile) < kStationCount ||
            std::fflush(context.lastEventFile) != 0) {
            err(kSeverityError, "KOVRA> OpenLastHoro() fwrite() failed: '%s'", name);
            return 1;
        }
        err(kSeverityTrace, "KOVRA> OpenLastHoro() file created: '%s'", name);
        return 0;
    }

    std::FILE* file = context.lastEventFile;
    if (std::fseek(file, 0, SEEK_END) != 0) {
        err(kSeverityError, "KOVRA> OpenLastHoro() fseek()1 failed: '%s'", name);
        return 1;
    }
    const long length = std::ftell(file);
    if (length < kEntriesOffset) {
        err(kSeverityError, "KOVRA> OpenLastHoro() '%s' file size too small", name);
        return 1;
    }
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        err(kSeverityError, "KOVRA> OpenLastHoro() fseek()2 failed: '%s'", name);
        return 1;
    }
    if (std::fread(context.lastQueryStamps, kLastQueryStampSize, kStationCount, file) <
        kStationCount) {
        err(kSeverityError, "KOVRA> OpenLastHoro() fread()1 failed: '%s'", name);
        return 1;
    }

    const long rest = length - kEntriesOffset;
    if (rest % static_cast<long>(kLastEventEntrySize) != 0) {
        err(kSeverityError, "KOVRA> OpenLastHoro() WARNING '%s'illegal file size", name);
    }
    const long entries = rest / static_cast<long>(kLastEventEntrySize);

    const std::size_t capacity = CapacityToLoad(context.lastEventCapacity, entries);
    if (capacity == 0) {
        err(kSeverityError, "KOVRA> OpenLastHoro() '%s' too many zones", name);
        return 1;
    }
    if (capacity != context.lastEventCapacity || context.lastEvents == nullptr) {
        void* grown = std::realloc(context.lastEvents, capacity * kLastEventEntrySize);
        if (grown == nullptr) {
            err(kSeverityFatal, "KOVRA> OpenLastHoro() ERROR realloc failed !!");
            return 1;
        }
        context.lastEvents = static_cast<std::uint8_t*>(grown);
        context.lastEventCapacity = static_cast<std::uint16_t>(capacity);
    }

    const auto wanted = static_cast<std::size_t>(entries);
    if (std::fread(context.lastEvents, kLastEventEntrySize, wanted, file) < wanted) {
        err(kSeverityError, "KOVRA> OpenLastHoro() fread()2 failed: '%s'", name);
        context.lastEventCount = 0;
        return 1;
    }
    const KeptEntries kept = KeepAscendingKeys(context.lastEvents, wanted);
    context.lastEventCount = static_cast<std::uint16_t>(kept.count);
    if (kept.count < wanted) {
        err(kSeverityError, "KOVRA> OpenLastHoro() WARNING '%s' %u zones out of order left out",
            name, static_cast<unsigned>(wanted - kept.count));
        // Towards the front, each key written after its tail and from its
        // least significant byte: a cut leaves the moved entry's first copy
        // further back, and every key before it below it.
        for (std::size_t slot = kept.firstMoved; slot < kept.count; ++slot) {
            if (WriteParts(request, "OpenLastHoro()", slot, kKeyGrowing) != 0) {
                return 1;
            }
        }
        // Slots left behind would only be left out again; removed, they no
        // longer make the length warnings speak.
        std::error_code error;
        std::filesystem::resize_file(name, static_cast<std::uintmax_t>(EntryOffset(kept.count)),
                                     error);
        if (error) {
            err(kSeverityError, "KOVRA> OpenLastHoro() resize_file() failed: '%s' (%s)", name,
                error.message().c_str());
        }
    }
    err(kSeverityTrace, "KOVRA> OpenLastHoro() file '%s' opened: %u zones read", name,
        static_cast<unsigned>(kept.count));
    return 0;
}

int WriteFileLastHoro(VpiRequest& request, std::uint16_t index, std::uint8_t shifted) {
    DriverContext& context = ContextOf(request);
    std::FILE* file = context.lastEventFile;
    errno = 0;
    if (file == nullptr || std::fseek(file, 0, SEEK_END) != 0) {
        ReportFileFailure(request, "WriteFileLastHoro() fseek()1", file == nullptr ? EBADF : errno);
        return 1;
    }
    const long length = std::ftell(file);
    const long offset = EntryOffset(index);
    const std::size_t count = context.lastEventCount;
    if (shifted == 0) {
        if (length < offset) {
            err(kSeverityError,
                "KOVRA> WriteFileLastHoro() WARNING 1: illegal file length, might be corrupted");
        }
    } else if (length != EntryOffset(count - 1)) {
        err(kSeverityError,
            "KOVRA> WriteFileLastHoro() WARNING 2: illegal file length, might be corrupted");
    }

    // The file lags the table where a write failed or was cut: its slots
    // then no longer match the table's indices, and all of it is brought back.
    const std::size_t held = SlotsHeld(length);
    switch (PlanEntryWrite(held, count, index, shifted != 0, KeysAround(context, held, index))) {
    case EntryWrite::InPlace:
        return WritePart(request, "WriteFileLastHoro()", index, kWhole);
    case EntryWrite::FromIndex:
        return WriteFromBack(request, held, index);
    case EntryWrite::Whole:
        break;
    }
    return WriteFromBack(request, held, 0);
}

} // namespace kovra
