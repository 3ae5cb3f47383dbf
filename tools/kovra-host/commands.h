// The subcommands. Each returns the exit status; a mistake on the command
// line throws UsageError, a failure with its reason throws Failure.
#pragma once

#include "console.h"
#include "format.h"
#include "host.h"
#include "options.h"

namespace kovra_host {

int RunInfo(const CommandLine& line, Console& console);
int RunRead(const CommandLine& line, Console& console);
int RunWrite(const CommandLine& line, Console& console);
int RunCollect(const CommandLine& line, Console& console);
int RunScan(const CommandLine& line, Console& console);
int RunSync(const CommandLine& line, Console& console);
int RunWatch(const CommandLine& line, Console& console);
int RunHistory(const CommandLine& line, Console& console);
int RunDemo(const CommandLine& line, Console& console);
int RunMonitor(const CommandLine& line, Console& console);

// Shared by the commands and the demo.
HostSettings SettingsFrom(const CommandLine& line);
OutputFormat FormatOf(const CommandLine& line); // throws UsageError
int ParseStation(const std::string& text);      // throws UsageError
std::string StationGate(int station, char memoryType);

// Journal collection of one station with its live progress; the values it
// put are in the outcome. The summary line goes to `report`, or to the
// console when that is empty.
Outcome CollectStation(Host& host, int station, const std::string& command,
                       const std::function<void(const std::string&)>& report = nullptr);
// The collected values as a table: PLC time, gate, cooked value, raw value.
Table EventTable(const std::vector<StoredValue>& values);
// A value's gate, marked when it is a raw gate kept for a record without one.
std::string GateCell(const StoredValue& value);
std::string DescribeRequestValue(const ParsedGate& gate, const Outcome& outcome);

} // namespace kovra_host
