#pragma once

#include <cstdint>

namespace kovra {

struct DriverContext;
struct VpiRequest;

int UpdateLastQuery(VpiRequest& request, const std::uint16_t* record);
int WriteLastQuery(VpiRequest& request, const std::uint8_t* stamp, std::uint8_t station);
int SampleLastQuery(VpiRequest& request);

// Places the 4-bit year of a PLC date word in the 16-year window that ends one
// year after the current one. Returns years since 1900.
int PlcYearsSince1900(unsigned yearField, int currentYearsSince1900);
// The current local year, as years since 1900.
int CurrentYearsSince1900();

} // namespace kovra
