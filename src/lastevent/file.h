#pragma once

#include <cstdint>

namespace kovra {

struct DriverContext;
struct VpiRequest;

int OpenLastHoro(VpiRequest& request);
int WriteFileLastHoro(DriverContext& context, std::uint16_t index, std::uint8_t shifted);

} // namespace kovra
