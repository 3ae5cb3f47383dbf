// What kovra-host knows of the PLCs and the wire beyond what the driver tells:
// a station's model from its journal file table, its clock registers, and the
// time that bytes take on the line at its settings.
#pragma once

#include "contract/records.h"
#include "journal/read_plan.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

// The journal file table: 120 words on a P200X, 52 on a P200 (the words after
// them read 0).
using kovra::kFileTableAddress;
constexpr int kFileTableWords = 120;
constexpr int kP200FileTableWords = 52;
// The clock registers 1 to 4 hold day, month, year, hour, minute, second, a
// byte each, high byte first.
constexpr unsigned kClockAddress = 0x0001;
constexpr int kClockWords = 4;

// "P200X" or "P200"; nothing for an empty table.
std::optional<std::string> ModelFromFileTable(const std::vector<std::uint32_t>& words);
// "2025-05-28 13:45:30"; nothing when the registers hold no valid time.
std::optional<std::string> ClockFromRegisters(const std::vector<std::uint32_t>& words);
// How far the PLC's clock is ahead of `now` (behind: negative), in seconds,
// both read as this computer's local time; nothing without a valid time.
std::optional<std::int64_t> ClockDrift(const std::vector<std::uint32_t>& words, std::time_t now);
// "+2826 s" ("-3 s", "0 s"), flagged beyond a minute: "+2826 s, over a minute".
std::string DriftText(std::int64_t seconds);
// What the bytes alone take on the wire: start bit, data bits, parity bit,
// stop bits each.
double WireSeconds(std::uint64_t bytes, const kovra::CommSettings& settings);

} // namespace kovra_host
