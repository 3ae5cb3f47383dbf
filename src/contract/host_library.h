// The five functions the driver imports from the host library (HALVOPRO).
// C calling convention, undecorated names. The gate functions' statuses are
// read through their low 16 bits only: 0 success, anything else a failure.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define HALVO_CALL __cdecl
#if defined(HALVOPRO_BUILDING)
#define HALVO_API __declspec(dllexport)
#else
#define HALVO_API __declspec(dllimport)
#endif
#else
#define HALVO_CALL
#define HALVO_API __attribute__((visibility("default")))
#endif

namespace kovra {

// The raw value handed to HalvoCook, passed by value: a 16-bit value as a
// native integer in bytes 2 and 3 (bytes 0 and 1 zero), a 32-bit value as a
// native integer in bytes 0 to 3.
struct ValueCell {
    std::uint8_t bytes[4];
};
static_assert(sizeof(ValueCell) == 4);

inline ValueCell WordCell(std::uint16_t value) {
    ValueCell cell{};
    std::memcpy(cell.bytes + 2, &value, sizeof value);
    return cell;
}

inline ValueCell LongCell(std::uint32_t value) {
    ValueCell cell{};
    std::memcpy(cell.bytes, &value, sizeof value);
    return cell;
}

// Log severities.
constexpr int kSeverityFatal = 1;
constexpr int kSeverityTrace = 8;
constexpr int kSeverityError = 32;

// Statuses of HalvoGetGateIdByAddressStr.
constexpr std::uint16_t kHalvoOk = 0;
constexpr std::uint16_t kHalvoNoSuchGate = 5;

} // namespace kovra

extern "C" {
HALVO_API int HALVO_CALL err(int severity, const char* format, ...);
HALVO_API unsigned HALVO_CALL HalvoGetGateIdByAddressStr(int zero, unsigned char driverNumber,
                                                         const char* addressString,
                                                         unsigned* gateId);
HALVO_API unsigned HALVO_CALL HalvoCook(int zero, unsigned gateId, kovra::ValueCell raw,
                                        double* value);
HALVO_API unsigned HALVO_CALL HalvoPutGateVal(int zero, unsigned gateId, int two, double value,
                                              int time, int zero2);
HALVO_API unsigned HALVO_CALL HalvoStartAlert(int zero, const char* name, const char* text, int a,
                                              unsigned flags, int b, int c, unsigned short d, int e,
                                              int f, int g, unsigned short h, unsigned* out);
}

namespace kovra {

// Low 16 bits of a host status.
inline std::uint16_t HostStatus(unsigned status) {
    return static_cast<std::uint16_t>(status);
}

} // namespace kovra
