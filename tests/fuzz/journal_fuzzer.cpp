// Journal tables, file headers and records as a PLC serves them: the fuzzed
// words are the PLC's memory, and a small register model in this harness
// answers the driver's requests from it. A second collection from the
// unchanged PLC must store nothing and report no lost records.
#include "contract/context.h"
#include "fuzz_driver.h"
#include "halvopro/halvopro.h"
#include "link/crc.h"
#include "scripted_port.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

using namespace kovra;

namespace {

constexpr std::uint8_t kStation = 5;
constexpr std::size_t kTableSlots = 8;
constexpr std::size_t kHeaderWords = 16;
constexpr std::size_t kRecordWordsWord = 4;
constexpr std::size_t kUsedRecordsWord = 5;
constexpr std::size_t kFirstRecordWord = 8;

// The PLC's journal memory: the file table, a header per file, and one pool
// of words from which every file's records are served.
struct JournalMemory {
    std::vector<std::uint16_t> table;
    std::map<std::uint16_t, std::array<std::uint16_t, kHeaderWords>> headers;
    std::vector<std::uint16_t> records;
    std::uint16_t selected = 0;

    std::uint16_t word(std::uint16_t address) const {
        if (address >= 0x0900 && address < 0x0900 + table.size()) {
            return table[address - 0x0900];
        }
        const auto header = headers.find(selected);
        if (header == headers.end()) {
            return 0;
        }
        if (address >= 0x0102 && address < 0x0102 + kHeaderWords) {
            return header->second[address - 0x0102];
        }
        return 0;
    }

    // A read of `count` words from `start`: one register address per record,
    // records laid end to end from there.
    std::vector<std::uint16_t> read(std::uint16_t start, std::uint16_t count) const {
        std::vector<std::uint16_t> words(count);
        const auto header = headers.find(selected);
        const bool inRecords = header != headers.end() && start != 0x0900 && start != 0x0102 &&
                               start >= header->second[kFirstRecordWord];
        for (std::uint16_t i = 0; i < count; ++i) {
            if (inRecords) {
                const std::size_t at = std::size_t{static_cast<std::uint16_t>(
                                           start - header->second[kFirstRecordWord])} *
                                           header->second[kRecordWordsWord] +
                                       i;
                words[i] = at < records.size() ? records[at] : 0;
            } else {
                words[i] = word(static_cast<std::uint16_t>(start + i));
            }
        }
        return words;
    }

    // Records that would lie on the file table or the selection and header
    // registers.
    bool overlapsItsRegisters() const {
        for (const auto& [file, header] : headers) {
            const unsigned first = header[kFirstRecordWord];
            const unsigned end = first + header[kUsedRecordsWord];
            if (header[kUsedRecordsWord] != 0 &&
                ((first < 0x0100 + 2 + kHeaderWords && end > 0x0100) ||
                 (first < 0x0900 + 120 && end > 0x0900))) {
                return true;
            }
        }
        return false;
    }

    fuzz::Bytes answer(const fuzz::Bytes& request) {
        fuzz::Bytes reply{request[0], request[1]};
        const auto start = static_cast<std::uint16_t>(request[2] << 8 | request[3]);
        const auto quantity = static_cast<std::uint16_t>(request[4] << 8 | request[5]);
        if (request[1] == 3 && quantity >= 1 && quantity <= 125) {
            reply.push_back(static_cast<std::uint8_t>(quantity * 2));
            for (const std::uint16_t w : read(start, quantity)) {
                reply.push_back(static_cast<std::uint8_t>(w >> 8));
                reply.push_back(static_cast<std::uint8_t>(w));
            }
        } else if (request[1] == 6 || request[1] == 16) {
            if (request[1] == 6 && start == 0x0100) {
                selected = quantity;
            }
            reply.insert(reply.end(), request.begin() + 2, request.begin() + 6);
        } else {
            reply = {request[0], static_cast<std::uint8_t>(request[1] | 0x80), 0x01};
        }
        const std::uint16_t crc = Crc16(reply.data(), reply.size());
        reply.push_back(static_cast<std::uint8_t>(crc));
        reply.push_back(static_cast<std::uint8_t>(crc >> 8));
        return reply;
    }
};

// The input as big-endian words: flags (bit 0 P200X, bit 1 clock
// synchronisation), the table's first slots, a header per distinct file in
// table order, then the record pool.
JournalMemory MemoryOf(const std::uint8_t* data, std::size_t size, std::uint16_t& flags) {
    std::size_t at = 0;
    auto next = [&]() -> std::uint16_t {
        if (at + 2 > size) {
            at = size;
            return 0;
        }
        at += 2;
        return static_cast<std::uint16_t>(data[at - 2] << 8 | data[at - 1]);
    };
    JournalMemory memory;
    flags = next();
    memory.table.assign(120, 0xFFFF);
    for (std::size_t slot = 0; slot < kTableSlots; ++slot) {
        memory.table[slot] = next();
    }
    for (std::size_t slot = 0; slot < kTableSlots; ++slot) {
        const std::uint16_t file = memory.table[slot];
        if (file == 0xFFFF || file == 2 || file == 3) {
            continue; // never selected
        }
        const auto [header, added] = memory.headers.try_emplace(file);
        if (!added) {
            continue;
        }
        for (auto& w : header->second) {
            w = next();
        }
    }
    while (at < size) {
        memory.records.push_back(next());
    }
    return memory;
}

int Collect(fuzz::FuzzDriver& driver) {
    GateDescriptor descriptor{};
    std::array<std::uint8_t, 8> values{};
    if (!driver.parse("05I0000", 1, 6, descriptor)) {
        std::abort();
    }
    descriptor.values = values.data();
    halvo::ClearRecords();
    return driver.call(kSingleRead, &descriptor);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::EnterScratchDirectory();
    fuzz::RemoveFile("KOVRA01.INT");
    fuzz::RemoveFile("KOVRA01H.DAT");
    std::uint16_t flags = 0;
    JournalMemory memory = MemoryOf(data, size, flags);
    fuzz::SetResponder([&memory](const fuzz::Bytes& request) { return memory.answer(request); });

    fuzz::FuzzDriver driver;
    if (driver.coldStart() != kStatusDone) {
        std::abort();
    }
    driver.context().stationIsP200X[kStation] = flags & 1;
    driver.context().clockSync = (flags >> 1) & 1;
    // Gates for the first J-bus addresses, so that their records are logged.
    for (unsigned address = 0; address < 16; ++address) {
        char text[16];
        std::snprintf(text, sizeof text, "%02X3%04X", kStation, address);
        halvo::DefineGate(halvo::Gate{0, text, halvo::kHostWord});
    }

    const int first = Collect(driver);
    const int second = Collect(driver);
    fuzz::SetResponder(nullptr);
    if (memory.overlapsItsRegisters()) {
        return 0; // not a PLC: the same register would answer for two things
    }
    if (first < kStatusDone || first > kStatusUnavailable || second != first ||
        !halvo::History().empty() || !halvo::Alerts().empty() ||
        fuzz::LoggedContaining("probably records lost")) {
        std::abort();
    }
    return 0;
}
