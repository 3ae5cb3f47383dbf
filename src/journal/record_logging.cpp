#include "journal/record_logging.h"

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/host_library.h"
#include "lastevent/last_query.h"
#include "lastevent/table.h"
#include "link/serial_port.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

namespace kovra {

namespace {

// Memory types under which a record's variable may be defined, tried in turn.
constexpr char kLookupOrder[] = {kMemoryBits, kMemoryInputBits, kMemoryWords, kMemoryInputWords,
                                 kMemoryCounter};
constexpr int kPutGateValMode = 2;

struct ValueField {
    std::uint8_t b0, b1, b2, b3; // PLC order: most significant byte first
};

ValueField ValueFieldOf(const std::uint16_t* record, std::uint16_t fileNumber) {
    const std::uint16_t* words = record + (fileNumber == kJournalFileNumber ? 3 : 2);
    return ValueField{
        static_cast<std::uint8_t>(words[0] >> 8), static_cast<std::uint8_t>(words[0] & 0xFF),
        static_cast<std::uint8_t>(words[1] >> 8), static_cast<std::uint8_t>(words[1] & 0xFF)};
}

// A P200 record carries a 24-bit value in b0 b1 b2, a P200X record a 32-bit
// value in b0 to b3. Bits need no cooking; words and counters are cooked by
// the host. Returns the host's cook status (0 for bits).
std::uint16_t GateValue(unsigned gateId, char memoryType, bool p200x, const ValueField& field,
                        double* value) {
    if (memoryType == kMemoryBits || memoryType == kMemoryInputBits) {
        *value = (p200x ? field.b3 : field.b2) != 0 ? 1.0 : 0.0;
        return kHalvoOk;
    }
    if (memoryType == kMemoryCounter) {
        const std::uint32_t raw =
            p200x ? (std::uint32_t{field.b0} << 24) | (std::uint32_t{field.b1} << 16) |
                        (std::uint32_t{field.b2} << 8) | field.b3
                  : (std::uint32_t{field.b0} << 16) | (std::uint32_t{field.b1} << 8) | field.b2;
        return HostStatus(HalvoCook(0, gateId, LongCell(raw), value));
    }
    const auto raw = static_cast<std::uint16_t>(p200x ? (field.b2 << 8) | field.b3 : field.b2);
    return HostStatus(HalvoCook(0, gateId, WordCell(raw), value));
}

// A local time as an instant: seconds since 1970, -1 when it cannot be
// converted; `skipped` when the clocks jumped over it.
struct LocalInstant {
    std::int64_t seconds;
    bool skipped;
};

// Depends on the broken-down time (its daylight-saving indicator unused) and
// on the instant of the record before it (0 when unknown) alone.
LocalInstant ResolveLocalTime(const std::tm& local, std::int32_t previous) {
    // The PLC clocks are set from the PC's civil time, daylight saving
    // included, and the stamp does not say which offset it was taken under.
    // Both readings are asked for explicitly: left to guess, the C library
    // answers from its memory of the previous conversion (and the Windows
    // runtime guesses otherwise than glibc).
    const auto readAs = [&local](int daylightSaving) {
        std::tm reading = local;
        reading.tm_isdst = daylightSaving;
        const std::time_t instant = std::mktime(&reading);
        // A reading that does not exist comes back normalised to another clock time.
        const bool exists = instant != static_cast<std::time_t>(-1) &&
                            reading.tm_hour == local.tm_hour && reading.tm_min == local.tm_min &&
                            reading.tm_sec == local.tm_sec;
        return std::pair{static_cast<std::int64_t>(instant), exists};
    };
    // Far from a change of daylight saving (the same a day before and after)
    // the C library's own reading is the only one. Asking it for a reading
    // that does not hold sends glibc through years of transitions, so the
    // explicit readings are kept for the days of a change.
    std::tm guess = local;
    guess.tm_isdst = -1;
    const std::time_t guessed = std::mktime(&guess);
    constexpr std::time_t kDay = 24 * 60 * 60;
    const auto savingAt = [](std::time_t instant) {
        const std::tm* at = std::localtime(&instant);
        return at == nullptr ? -1 : at->tm_isdst;
    };
    if (guessed != static_cast<std::time_t>(-1) &&
        savingAt(guessed - kDay) == savingAt(guessed + kDay)) {
        return {static_cast<std::int64_t>(guessed), false};
    }
    const auto [standard, standardExists] = readAs(0);
    const auto [saving, savingExists] = readAs(1);
    if (standardExists && savingExists) {
        // The hour that repeats when the clocks go back. The ring holds its
        // records in the order they were written, so a record never comes out
        // earlier than the one before it: the first occurrence, unless the
        // record before was already past it (in the second occurrence, or
        // stamped later in the first).
        const std::int64_t first = std::min(standard, saving);
        const std::int64_t second = std::max(standard, saving);
        return {previous != 0 && previous > first ? second : first, false};
    }
    if (standardExists != savingExists) {
        return {standardExists ? standard : saving, false};
    }
    if (standard == -1 || saving == -1) {
        return {-1, false};
    }
    // The hour skipped when the clocks go forward: read with the offset in
    // force before the change, the time lands as far past it as it was into
    // the gap.
    return {std::max(standard, saving), true};
}

// Horo2SecSince1970, which says why a stamp is refused or moved when `report`.
std::int32_t ConvertStamp(const std::uint16_t* record, std::int32_t previous, bool report) {
    const std::uint16_t date = record[0];
    const std::uint16_t time = record[1];
    const unsigned seconds = (time & 0x1Fu) * 2;
    const unsigned minutes = (time >> 5) & 0x3Fu;
    const unsigned hours = (time >> 11) & 0x1Fu;
    const unsigned day = (date >> 8) & 0x1Fu;
    const unsigned month = (date >> 4) & 0x0Fu;
    const unsigned yearField = date & 0x0Fu;

    // No lower bounds: day 0 and months 0 and 13 are normalised by mktime.
    if (hours > 23 || minutes > 59 || seconds > 59 || day > 31 || month > 13) {
        if (report) {
            err(kSeverityError,
                "KOVRA> Horo2SecSince1970() ill. time %02u/%02u/%02u %u:%02u:%02u received (1)",
                day, month, yearField + 90, hours, minutes, seconds);
        }
        return 0;
    }

    std::tm local{};
    local.tm_sec = static_cast<int>(seconds);
    local.tm_min = static_cast<int>(minutes);
    local.tm_hour = static_cast<int>(hours);
    local.tm_mday = static_cast<int>(day);
    local.tm_mon = static_cast<int>(month) - 1;
    const int years = PlcYearsSince1900(yearField, CurrentYearsSince1900());
    local.tm_year = years;

    const LocalInstant converted = ResolveLocalTime(local, previous);
    if (converted.seconds == -1) {
        if (report) {
            err(kSeverityError,
                "KOVRA> Horo2SecSince1970() ill. time %02u/%02u/%02u %u:%02u:%02u received (2)",
                day, month, static_cast<unsigned>(years), hours, minutes, seconds);
        }
        return 0;
    }
    if (converted.skipped && report) {
        err(kSeverityTrace,
            "KOVRA> Horo2SecSince1970() time %02u/%02u/%02u %u:%02u:%02u skipped by the change "
            "to daylight saving, moved forward",
            day, month, static_cast<unsigned>(years % 100), hours, minutes, seconds);
    }
    return static_cast<std::int32_t>(converted.seconds);
}

} // namespace

int LogRecord(VpiRequest& request, const std::uint16_t* record, std::uint16_t fileNumber,
              std::uint16_t recordIndex, std::int32_t& previousInstant) {
    const bool journal = fileNumber == kJournalFileNumber;
    const std::uint16_t jbusAddress = journal ? record[2] : fileNumber;
    if (journal && jbusAddress == 0) {
        return 0; // a journal line without event
    }

    DriverContext& context = ContextOf(request);
    const unsigned station = static_cast<unsigned>(DescriptorOf(request).gate.station) & 0xFF;
    const auto driver = static_cast<unsigned char>(request.driverNumber & 0xFF);

    char address[16];
    std::snprintf(address, sizeof address, "%02X1%04X", station,
                  static_cast<unsigned>(jbusAddress));
    unsigned gateId = 0;
    std::uint16_t status = kHalvoNoSuchGate;
    char memoryType = kMemoryBits;
    for (const char type : kLookupOrder) {
        memoryType = type;
        address[2] = type;
        status = HostStatus(HalvoGetGateIdByAddressStr(0, driver, address, &gateId));
        if (status != kHalvoNoSuchGate) {
            break;
        }
    }

    if (status != kHalvoOk && status != kHalvoNoSuchGate) {
        err(kSeverityError, "KOVRA> LogRecord() error Halvo5GetGateIdByAddressStr(), rc %u",
            static_cast<unsigned>(status));
        return 1;
    }

    if (status == kHalvoNoSuchGate) {
        err(kSeverityTrace, "KOVRA> %03u LogRecord() J-bus Address %04x gate not defined",
            static_cast<unsigned>(recordIndex), static_cast<unsigned>(jbusAddress));
    } else if (const std::int32_t time = Horo2SecSince1970(record, previousInstant); time != 0) {
        previousInstant = time;
        UpdateLastQuery(request, record);

        double value = 0.0;
        const std::uint16_t cooked =
            GateValue(gateId, memoryType, context.stationIsP200X[station] != 0,
                      ValueFieldOf(record, fileNumber), &value);
        if (cooked != kHalvoOk) {
            err(kSeverityError, "KOVRA> LogRecord() error Halvo5Cook(), rc %u",
                static_cast<unsigned>(cooked));
        } else if (const std::uint16_t put =
                       HostStatus(HalvoPutGateVal(0, gateId, kPutGateValMode, value, time, 0));
                   put != kHalvoOk) {
            err(kSeverityError, "KOVRA> LogRecord() error Halvo5GateForceLog(), rc %u",
                static_cast<unsigned>(put));
        }
    }

    // A long acquisition gives the host's other threads the processor between records.
    YieldProcessor();
    return 0;
}

std::int32_t Horo2SecSince1970(const std::uint16_t* record, std::int32_t previous) {
    return ConvertStamp(record, previous, true);
}

std::int32_t PassedRecordInstant(const std::uint16_t* record) {
    return ConvertStamp(record, 0, false);
}

void HoroAlert(VpiRequest& request, const char* text) {
    unsigned flags = 0;
    switch (ContextOf(request).alertMode) {
    case 0:
        err(kSeverityTrace, text);
        return;
    case 1:
        err(kSeverityError, text);
        return;
    case 3:
        flags = 0xC0000000u;
        break;
    case 4:
        flags = 0x60000000u;
        break;
    default: // 2, the annunciator, which the initialisation file also puts for unknown modes
        flags = 0x40000000u;
        break;
    }
    unsigned alertId = 0;
    HalvoStartAlert(0, "KOVRA", text, 1000, flags, 1000, 0, 0x0014, 0, 0, 1, 0xFFFF, &alertId);
    err(kSeverityError, text);
}

} // namespace kovra
