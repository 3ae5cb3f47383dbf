#pragma once

#include "journal/read_plan.h"

#include <cstdint>

namespace kovra {

struct VpiRequest;

// Journal acquisition for the station of the request's current descriptor.
// A file refused for its header or whose position could not be saved makes
// the answer 1, but the files after it are read all the same; any other
// failure ends the acquisition with its code.
int ReadHoroData(VpiRequest& request);
// Reads one file of that station; the file must already be selected on the PLC.
int ReadHoroFile(VpiRequest& request, std::uint16_t fileNumber);

} // namespace kovra
