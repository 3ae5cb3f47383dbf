#pragma once

#include <cstdint>

namespace kovra {

struct VpiRequest;

// Forces one journal or memo record into the host's log under its PLC time.
// 0 when done with (logged or passed over), 1 when the gate lookup failed.
// `previousInstant` is the time of the record converted before it in the same
// file's ring order (0 when unknown); it becomes this record's time when its
// stamp is converted.
int LogRecord(VpiRequest& request, const std::uint16_t* record, std::uint16_t fileNumber,
              std::uint16_t recordIndex, std::int32_t& previousInstant);
// The record's time stamp as seconds since 1970, or 0 when it is not a valid
// time; `previous` as for LogRecord, which decides the hour that repeats when
// the clocks go back. A time skipped when they go forward is logged once and
// moved forward by the gap.
std::int32_t Horo2SecSince1970(const std::uint16_t* record, std::int32_t previous = 0);
// The time of a record passed on in an earlier collection, taken as the one
// before the new records: converted as its own first record, without a word
// (whatever it had to say was said when it was passed on).
std::int32_t PassedRecordInstant(const std::uint16_t* record);

// Reports a lost-records text as the alert mode chooses.
void HoroAlert(VpiRequest& request, const char* text);

} // namespace kovra
