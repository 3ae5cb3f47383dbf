// What a history database holds, counted by event, for the tests that check
// that nothing was lost or stored twice.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

// An event as (gate, PLC time, raw value); -1 stands for no PLC time.
using StoredEvent = std::tuple<std::string, std::int64_t, std::int64_t>;
using StoredEventCounts = std::map<StoredEvent, int>;

// How many times each event is held in the history database at `path`;
// nothing for a database that cannot be opened.
StoredEventCounts CountStoredEvents(const std::string& path);
