#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace kovra {

struct VpiRequest;

constexpr std::size_t kClockFrameSize = 8;

// Sets the clock of the P200X named by the request's current descriptor.
int SyncClocks(VpiRequest& request);
// The 8 bytes written to clock registers 1 to 4 for a broken-down local time,
// each register high byte first.
void FillClockFrame(const std::tm& local, std::uint8_t* frame);

} // namespace kovra
