#include "lastevent/last_query.h"

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/host_library.h"
#include "lastevent/file.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace kovra {

namespace {

// The stamp components in stamp order, as the letters of the H gates name them.
constexpr char kStampLetters[] = "AOJHMS";
constexpr std::int32_t kTriggerAddress = 1;

std::uint8_t* StampOf(DriverContext& context, std::int32_t station) {
    return context.lastQueryStamps +
           (static_cast<std::size_t>(station) & 0xFF) * kLastQueryStampSize;
}

} // namespace

int PlcYearsSince1900(unsigned yearField, int currentYearsSince1900) {
    // The PLC keeps only the year within a 16-year block counted from 1990;
    // the block is the one that ends one year after today.
    const int base = (currentYearsSince1900 - 90) / 16;
    int year = 1990 + 16 * base + static_cast<int>(yearField & 0x0F);
    if (year > 1900 + currentYearsSince1900 + 1) {
        year -= 16;
    }
    return year - 1900;
}

int CurrentYearsSince1900() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    return local != nullptr ? local->tm_year : 0;
}

int UpdateLastQuery(VpiRequest& request, const std::uint16_t* record) {
    DriverContext& context = ContextOf(request);
    const std::int32_t station = DescriptorOf(request).gate.station;
    const std::uint16_t date = record[0];
    const std::uint16_t time = record[1];

    const std::uint8_t stamp[kLastQueryStampSize] = {
        static_cast<std::uint8_t>(PlcYearsSince1900(date & 0x0F, CurrentYearsSince1900())),
        static_cast<std::uint8_t>((date >> 4) & 0x0F),
        static_cast<std::uint8_t>((date >> 8) & 0x1F),
        static_cast<std::uint8_t>((time >> 11) & 0x1F),
        static_cast<std::uint8_t>((time >> 5) & 0x3F),
        static_cast<std::uint8_t>((time & 0x1F) * 2),
    };

    // Only a strictly later event moves the stamp, so that files read in any
    // order never set it back.
    std::uint8_t* stored = StampOf(context, station);
    if (std::memcmp(stamp, stored, kLastQueryStampSize) <= 0) {
        return 0;
    }
    std::memcpy(stored, stamp, kLastQueryStampSize);
    // A failed write is logged; the stamp is served from memory all the same
    // and reaches the file with the station's next later event.
    WriteLastQuery(request, stored, static_cast<std::uint8_t>(station));
    return 0;
}

int WriteLastQuery(VpiRequest& request, const std::uint8_t* stamp, std::uint8_t station) {
    return WriteAt(request, "WriteLastQuery()", "fseek()",
                   static_cast<long>(station * kLastQueryStampSize), stamp, kLastQueryStampSize);
}

int SampleLastQuery(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    const GateDescriptor& descriptor = DescriptorOf(request);
    const std::int32_t station = descriptor.gate.station;
    const std::uint8_t* stamp = StampOf(context, station);

    if (descriptor.gate.address == kTriggerAddress) {
        int result = 0;
        const auto driver = static_cast<unsigned char>(request.driverNumber & 0xFF);
        for (std::size_t k = 0; k < kLastQueryStampSize; ++k) {
            char address[16];
            std::snprintf(address, sizeof address, "%02XH%c", static_cast<unsigned>(station) & 0xFF,
                          kStampLetters[k]);
            unsigned gateId = 0;
            if (HostStatus(HalvoGetGateIdByAddressStr(0, driver, address, &gateId)) != kHalvoOk) {
                err(kSeverityTrace,
                    "KOVRA> SampleLastQuery() gate with gate addr str '%s' not found", address);
                result = 1;
                continue;
            }
            double value = 0.0;
            const std::uint16_t cooked =
                HostStatus(HalvoCook(0, gateId, WordCell(stamp[k]), &value));
            if (cooked != kHalvoOk) {
                err(kSeverityTrace, "KOVRA> SampleLastQuery() Halvo5Cook() rc %u",
                    static_cast<unsigned>(cooked));
                result = 1;
                continue;
            }
            const std::uint16_t put = HostStatus(HalvoPutGateVal(0, gateId, 2, value, 0, 0));
            if (put != kHalvoOk) {
                err(kSeverityTrace, "KOVRA> SampleLastQuery() Halvo5PutGateVal() rc %u",
                    static_cast<unsigned>(put));
                result = 1;
            }
        }
        return result;
    }

    const char* letter = nullptr;
    if (descriptor.gate.address > 0 && descriptor.gate.address < 0x80) {
        letter = std::strchr(kStampLetters, static_cast<char>(descriptor.gate.address));
    }
    if (letter == nullptr) {
        return 1;
    }
    const std::uint16_t component = stamp[letter - kStampLetters];
    std::memcpy(static_cast<std::uint8_t*>(descriptor.values) + 2, &component, sizeof component);
    return 0;
}

} // namespace kovra
