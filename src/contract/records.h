// Records exchanged with the host through VpiMain. Their layout is the binary
// contract with the host: field order and offsets are fixed for the 32-bit
// target, and the static_asserts below prove them wherever pointers are 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

struct DriverContext;

// Function codes of VpiMain.
enum FunctionCode : std::uint32_t {
    kColdStart = 1,
    kWarmStart = 2,
    kSingleParse = 3,
    kBlockParse = 4,
    kSingleRead = 5,
    kBlockRead = 6,
    kSingleWrite = 7,
    kBlockWrite = 10,
    kEndVpi = 11,
    kClosePort = 12,
    kReopenPort = 13,
    kGetDriverInfo = 14,
    kChangeVpiParams = 15,
    kLastFunctionCode = 16,
};

// Status codes every operation returns to the host.
constexpr int kStatusDone = 0;
constexpr int kStatusRefused = 1; // bad request or gate, PLC error reply, file or host-call failure
constexpr int kStatusUnavailable = 2; // port closed, send or receive failure, resource exhausted

struct VpiRequest {
    DriverContext* context;
    std::uint32_t functionCode;
    std::int32_t driverNumber;
    std::uint32_t reserved; // never read
    void* operationData;
};

// Stop-bit and parity codes are those of the Win32 port state record.
struct CommSettings {
    std::uint16_t baudRate;
    std::uint16_t dataBits;
    std::uint16_t stopBits; // 0 one, 1 one and a half, 2 two
    std::uint16_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

constexpr std::size_t kPortNameSize = 12;

struct PortParams {
    char portName[kPortNameSize];
    std::int32_t portEnabled;
    std::uint32_t reserved; // never read
    CommSettings settings;
};

// Unlike PortParams, the settings lie at offset 16.
struct PortChange {
    char portName[kPortNameSize];
    std::int32_t timeoutTicks; // 0 and -1 keep the current timeout
    CommSettings settings;     // ignored when baudRate is 0
};

struct DriverInfo {
    std::int32_t driverId;
    const char* driverName;
    const char* banner;
    std::int32_t contextSize;
    std::int32_t infoA;
    CommSettings defaultSettings;
    std::int32_t infoB;
};

static_assert(sizeof(CommSettings) == 8);
static_assert(offsetof(CommSettings, dataBits) == 2);
static_assert(offsetof(CommSettings, stopBits) == 4);
static_assert(offsetof(CommSettings, parity) == 6);
static_assert(offsetof(PortParams, portEnabled) == 12);
static_assert(offsetof(PortParams, settings) == 20);
static_assert(sizeof(PortParams) == 28);
static_assert(offsetof(PortChange, timeoutTicks) == 12);
static_assert(offsetof(PortChange, settings) == 16);
static_assert(sizeof(PortChange) == 24);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(VpiRequest, functionCode) == 4);
static_assert(offsetof(VpiRequest, driverNumber) == 8);
static_assert(offsetof(VpiRequest, operationData) == 16);
static_assert(sizeof(VpiRequest) == 20);
static_assert(offsetof(DriverInfo, driverName) == 4);
static_assert(offsetof(DriverInfo, banner) == 8);
static_assert(offsetof(DriverInfo, contextSize) == 12);
static_assert(offsetof(DriverInfo, infoA) == 16);
static_assert(offsetof(DriverInfo, defaultSettings) == 20);
static_assert(offsetof(DriverInfo, infoB) == 28);
static_assert(sizeof(DriverInfo) == 32);
#endif

} // namespace kovra
