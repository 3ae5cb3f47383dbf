#include "lastevent/file.h"

#include "contract/context.h"
#include "contract/host_library.h"
#include "lastevent/table.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kovra {

namespace {

constexpr long kEntriesOffset = static_cast<long>(kLastQueryAreaSize);

long EntryOffset(std::size_t index) {
    return kEntriesOffset + static_cast<long>(index * kLastEventEntrySize);
}

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
    } else if (std::fwrite(bytes, size, 1, file) != 1) {
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
    context.lastEventCount = static_cast<std::uint16_t>(wanted);
    err(kSeverityTrace, "KOVRA> OpenLastHoro() file '%s' opened: %u zones read", name,
        static_cast<unsigned>(wanted));
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
    std::size_t size = kLastEventEntrySize;
    if (shifted == 0) {
        if (length < offset) {
            err(kSeverityError,
                "KOVRA> WriteFileLastHoro() WARNING 1: illegal file length, might be corrupted");
        }
    } else {
        const std::size_t count = context.lastEventCount;
        size = (count - index) * kLastEventEntrySize;
        if (length != EntryOffset(count - 1)) {
            err(kSeverityError,
                "KOVRA> WriteFileLastHoro() WARNING 2: illegal file length, might be corrupted");
        }
    }
    return WriteAt(request, "WriteFileLastHoro()", "fseek()2", offset,
                   context.lastEvents + std::size_t{index} * kLastEventEntrySize, size);
}

} // namespace kovra
