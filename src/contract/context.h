// The per-instance state block. The host allocates contextSize bytes and passes
// the same block with every request of one driver instance.
#pragma once

#include "contract/records.h"

#include <cstdint>
#include <cstdio>

namespace kovra {

// Opaque handle of an open serial port; null while closed.
using PortHandle = void*;

constexpr std::size_t kTxFrameSize = 50;
constexpr std::size_t kRxFrameSize = 600;
constexpr std::size_t kStationCount = 256;
constexpr std::size_t kLastQueryStampSize = 6;
constexpr std::size_t kLastQueryAreaSize = kStationCount * kLastQueryStampSize; // 1536

struct DriverContext {
    std::int32_t timeoutTicks; // reply timeout in 10 ms ticks
    std::int32_t portEnabled;
    PortHandle portHandle;
    char portName[kPortNameSize];
    CommSettings portSettings;
    std::uint16_t lineControl;
    std::uint8_t txFrame[kTxFrameSize];
    std::uint8_t rxFrame[kRxFrameSize];
    std::uint16_t interFrameGap; // milliseconds before every request frame
    std::uint8_t rtsCtsSwitching;
    std::uint8_t clockSync;
    std::int32_t writeReplyPending;
    std::FILE* lastEventFile;
    std::uint8_t* lastEvents; // 15-byte entries
    std::uint16_t lastEventCount;
    std::uint16_t lastEventCapacity;
    std::uint8_t lastQueryStamps[kLastQueryAreaSize];
    std::int32_t alertMode;
    std::uint8_t stationIsP200X[kStationCount];
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(DriverContext, portEnabled) == 4);
static_assert(offsetof(DriverContext, portHandle) == 8);
static_assert(offsetof(DriverContext, portName) == 12);
static_assert(offsetof(DriverContext, portSettings) == 24);
static_assert(offsetof(DriverContext, lineControl) == 32);
static_assert(offsetof(DriverContext, txFrame) == 34);
static_assert(offsetof(DriverContext, rxFrame) == 84);
static_assert(offsetof(DriverContext, interFrameGap) == 684);
static_assert(offsetof(DriverContext, rtsCtsSwitching) == 686);
static_assert(offsetof(DriverContext, clockSync) == 687);
static_assert(offsetof(DriverContext, writeReplyPending) == 688);
static_assert(offsetof(DriverContext, lastEventFile) == 692);
static_assert(offsetof(DriverContext, lastEvents) == 696);
static_assert(offsetof(DriverContext, lastEventCount) == 700);
static_assert(offsetof(DriverContext, lastEventCapacity) == 702);
static_assert(offsetof(DriverContext, lastQueryStamps) == 704);
static_assert(offsetof(DriverContext, alertMode) == 2240);
static_assert(offsetof(DriverContext, stationIsP200X) == 2244);
static_assert(sizeof(DriverContext) == 2500);
#endif

inline DriverContext& ContextOf(const VpiRequest& request) {
    return *request.context;
}

} // namespace kovra
