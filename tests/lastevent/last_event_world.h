// A driver instance as the cold start leaves it (table of 128 entries, no
// entry yet) in a temporary current directory, with the stand-in host library.
#pragma once

#include "contract/context.h"
#include "contract/gate_records.h"
#include "lastevent/file.h"
#include "lastevent/table.h"
#include "support/world.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace kovra {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kEntriesStart = 1536;

// One driver instance; owns what the driver would keep until the process ends.
class Instance {
  public:
    explicit Instance(std::int32_t driverNumber = 3) : context_(std::make_unique<DriverContext>()) {
        context_->lastEvents = static_cast<std::uint8_t*>(
            std::malloc(kInitialLastEventCapacity * kLastEventEntrySize));
        context_->lastEventCapacity = kInitialLastEventCapacity;
        context_->lastEventCount = 0;
        request_.context = context_.get();
        request_.driverNumber = driverNumber;
        request_.operationData = &descriptor_;
    }
    ~Instance() {
        if (context_->lastEventFile != nullptr) {
            std::fclose(context_->lastEventFile);
        }
        std::free(context_->lastEvents);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    DriverContext& context() { return *context_; }
    VpiRequest& request() { return request_; }
    GateDescriptor& descriptor() { return descriptor_; }

  private:
    std::unique_ptr<DriverContext> context_;
    GateDescriptor descriptor_{};
    VpiRequest request_{};
};

// A 15-byte entry as the file holds it: station, file number and last record
// little-endian, then the ten copy bytes.
inline Bytes Entry(std::uint8_t station, std::uint16_t fileNumber, std::uint16_t lastRecord,
                   Bytes copy = Bytes(10, 0)) {
    Bytes entry{station, static_cast<std::uint8_t>(fileNumber & 0xFF),
                static_cast<std::uint8_t>(fileNumber >> 8),
                static_cast<std::uint8_t>(lastRecord & 0xFF),
                static_cast<std::uint8_t>(lastRecord >> 8)};
    copy.resize(10, 0);
    entry.insert(entry.end(), copy.begin(), copy.end());
    return entry;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
inline std::string ToString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// An unbuffered stream on a real file whose writes stop after `budget` bytes,
// the write that crosses it cut at that byte, as when a disk fills or power
// fails mid-write; later writes fail with ENOSPC. `written` counts the bytes
// that reached the file.
struct CutFile {
    int descriptor = -1;
    off64_t position = 0;
    std::size_t budget = 0;
    std::size_t written = 0;

    static std::FILE* Open(const char* path, CutFile& cut) {
        cut.descriptor = ::open(path, O_RDWR);
        if (cut.descriptor < 0) {
            return nullptr;
        }
        const cookie_io_functions_t functions{Read, Write, Seek, Close};
        std::FILE* file = fopencookie(&cut, "rb+", functions);
        std::setvbuf(file, nullptr, _IONBF, 0);
        return file;
    }

  private:
    static ssize_t Read(void* cookie, char* bytes, std::size_t size) {
        auto& cut = *static_cast<CutFile*>(cookie);
        const ssize_t got = ::pread(cut.descriptor, bytes, size, cut.position);
        cut.position += std::max<ssize_t>(got, 0);
        return got;
    }
    static ssize_t Write(void* cookie, const char* bytes, std::size_t size) {
        auto& cut = *static_cast<CutFile*>(cookie);
        const std::size_t allowed = std::min(size, cut.budget - cut.written);
        if (allowed == 0) {
            errno = ENOSPC;
            return -1;
        }
        const ssize_t put = ::pwrite(cut.descriptor, bytes, allowed, cut.position);
        if (put > 0) {
            cut.position += put;
            cut.written += static_cast<std::size_t>(put);
        }
        return put;
    }
    static int Seek(void* cookie, off64_t* offset, int whence) {
        auto& cut = *static_cast<CutFile*>(cookie);
        struct stat status {};
        if (whence == SEEK_END && ::fstat(cut.descriptor, &status) != 0) {
            return -1;
        }
        const off64_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? cut.position
                                                  : status.st_size;
        cut.position = base + *offset;
        *offset = cut.position;
        return 0;
    }
    static int Close(void* cookie) {
        auto& cut = *static_cast<CutFile*>(cookie);
        return ::close(cut.descriptor);
    }
};

class LastEventTest : public HostLibraryTest {
  protected:
    static constexpr const char* kFileName = "KOVRA03H.DAT";

    Bytes fileBytes() const { return ToBytes(directory.readFile(kFileName)); }
    void writeFileBytes(const Bytes& bytes) const {
        directory.writeFile(kFileName, ToString(bytes));
    }

    // A file with the given stamps area and entries (i → station i / 256,
    // file i % 256 + 1, last record i + 1), in key order.
    static Bytes FileWithEntries(std::size_t count, std::size_t tail = 0) {
        Bytes bytes(kEntriesStart, 0);
        bytes.reserve(kEntriesStart + count * kLastEventEntrySize + tail);
        for (std::size_t i = 0; i < count; ++i) {
            const Bytes entry =
                Entry(static_cast<std::uint8_t>(i / 256), static_cast<std::uint16_t>(i % 256 + 1),
                      static_cast<std::uint16_t>(i + 1), Bytes(10, static_cast<std::uint8_t>(i)));
            bytes.insert(bytes.end(), entry.begin(), entry.end());
        }
        bytes.insert(bytes.end(), tail, 0xEE);
        return bytes;
    }

    TempCurrentDirectory directory;
};

} // namespace kovra
