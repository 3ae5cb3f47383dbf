#pragma once

#include <cstdint>

namespace kovra {

struct VpiRequest;

// Forces one journal or memo record into the host's log under its PLC time.
// 0 when done with (logged or passed over), 1 when the gate lookup failed.
int LogRecord(VpiRequest& request, const std::uint16_t* record, std::uint16_t fileNumber,
              std::uint16_t recordIndex);
// The record's time stamp as seconds since 1970, or 0 when it is not a valid time.
std::int32_t Horo2SecSince1970(const std::uint16_t* record);
// Reports a lost-records text as the alert mode chooses.
void HoroAlert(VpiRequest& request, const char* text);

} // namespace kovra
