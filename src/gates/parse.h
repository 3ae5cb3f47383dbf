#pragma once

#include <cstdint>

namespace kovra {

struct DriverContext;
struct ParseParams;
struct VpiRequest;

int Parse(const DriverContext& context, ParseParams& params);
int SingleParse(VpiRequest& request); // function code 3
int BlockParse(VpiRequest& request);  // function code 4

// The most elements of a gate of this width (1, 16 or 32 bits) that one block
// transfer carries: every block reply holds at most 240 data bytes.
constexpr std::int32_t MaxBlockCount(std::int32_t width) {
    return width == 1 ? 1920 : width == 16 ? 120 : 60;
}

} // namespace kovra
