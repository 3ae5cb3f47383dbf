#pragma once

#include "contract/driver_files.h"

#include <cstdint>

namespace kovra {

struct DriverContext;
struct ParseParams;
struct VpiRequest;

int Parse(const DriverContext& context, ParseParams& params);
int SingleParse(VpiRequest& request); // function code 3
int BlockParse(VpiRequest& request);  // function code 4

} // namespace kovra
