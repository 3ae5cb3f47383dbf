#pragma once

#include <cstdint>

namespace kovra {

struct VpiRequest;

// Journal acquisition for the station of the request's current descriptor.
int ReadHoroData(VpiRequest& request);
// Reads one file of that station; the file must already be selected on the PLC.
int ReadHoroFile(VpiRequest& request, std::uint16_t fileNumber);

} // namespace kovra
