// What the driver keeps beside the host and how it names it: the host checks,
// saves and puts back these files, so their names and sizes are as much part
// of the contract as the records. Also the block limit that both sides count by.
#pragma once

#include "contract/context.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kovra {

// The last-event file: the last-query stamp area, then one entry per PLC file.
constexpr std::size_t kLastEventEntrySize = 15;

constexpr std::size_t kLastEventFileNameSize = 32;

// KOVRAnnH.DAT for driver instance nn.
inline void LastEventFileName(std::int32_t driverNumber, char (&name)[kLastEventFileNameSize]) {
    std::snprintf(name, sizeof name, "KOVRA%02uH.DAT", static_cast<unsigned>(driverNumber));
}

constexpr char kInitFileBase[] = "KOVRA";
// The init files an instance tries, in order: its own (KOVRA03.INT, then
// KOVRA3.INT), then the one shared by every instance without one (KOVRA.INT).
constexpr int kInitFileNameCount = 3;
inline void InitFileName(int which, const char* base, std::int32_t driverNumber, char* name,
                         std::size_t size) {
    static constexpr const char* kPatterns[kInitFileNameCount] = {"%s%02d.INT", "%s%01d.INT",
                                                                  "%s.INT"};
    std::snprintf(name, size, kPatterns[which], base, driverNumber);
}

// The most elements of a gate of this width (1, 16 or 32 bits) that one block
// transfer carries: every block reply holds at most 240 data bytes.
constexpr std::int32_t MaxBlockCount(std::int32_t width) {
    return width == 1 ? 1920 : width == 16 ? 120 : 60;
}

} // namespace kovra
