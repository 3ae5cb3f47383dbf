// What the commands share: the settings from the command line, a run opened on
// the line (its workspace and its driver session), and the way a failed
// request and the collected events are shown.
#pragma once

#include "commands/command_line.h"
#include "output/console.h"
#include "output/failure.h"
#include "output/format.h"
#include "session/session.h"
#include "workspace/workspace.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kovra_host {

struct HostSettings {
    WorkspaceSettings workspace;
    SessionSettings session;
};

HostSettings SettingsFrom(const CommandLine& line);

// A run on the line: the working directory entered, the history open, the
// gates defined and the driver started on the port.
struct LineRun {
    LineRun(const HostSettings& settings, Console& console)
        : workspace(settings.workspace, console), session(settings.session, console) {}
    Workspace workspace;
    DriverSession session;
};

// Opens a run with the given settings (the demo's), or those of the command line.
std::unique_ptr<LineRun> OpenLine(HostSettings settings, Console& console,
                                  const std::vector<std::string>& gates);
// The relay stands in between where it can, to count the line frame by frame.
std::unique_ptr<LineRun> OpenLine(const CommandLine& line, Console& console,
                                  const std::vector<std::string>& gates);
// Every option is checked before the port is asked for.
void RequirePort(const CommandLine& line);

int ParseStation(const std::string& text); // throws UsageError
std::string StationGate(int station, char memoryType);
OutputFormat FormatOf(const CommandLine& line);
// The history database a command reads: --history, else kovra-history.db in
// --dir or the current directory. Throws Failure when it is not there.
std::string ExistingHistoryFile(const CommandLine& line);

// Why a request failed, in words; empty when it did not.
std::string FailureText(const DriverSession& session, const ParsedGate& gate,
                        const Outcome& outcome);
// Reports a failed request; returns false so callers can fold it into their status.
bool Report(Console& console, const std::string& what, const ParsedGate& gate,
            const Outcome& outcome, const DriverSession& session);
// A row for a request that failed: its gate and why.
std::vector<Cell> ErrorRow(std::vector<Cell> leading, const std::string& gate, std::size_t absent,
                           const std::string& error);

// Journal collection of one station with its live progress; the values it
// put are in the outcome. The summary line goes to `report`, or to the
// console when that is empty.
Outcome CollectStation(DriverSession& session, int station, const std::string& command,
                       const std::function<void(const std::string&)>& report = nullptr);

// An event's columns; UNDEFINED, for programs, is said in the GATE cell of a table.
extern const std::vector<std::string> kEventHeadings;
extern const std::vector<std::string> kDataOnly;
std::vector<Cell> EventRow(const StoredValue& value);
// The records kept under raw gates, and the addresses that want a gate.
std::string UndefinedNote(const std::vector<StoredValue>& values);
// Events that a read or write of a journal gate collected on the way: kept
// for printing, with what they hold that wants a gate.
void NoteEvents(Console& console, const ParsedGate& gate, const Outcome& outcome,
                std::vector<StoredValue>& events);
// The events a read or write collected, after its own rows.
void PrintEvents(const std::vector<StoredValue>& values, OutputFormat format);
// The collected values as a table: PLC time, gate, cooked value, raw value.
Table EventTable(const std::vector<StoredValue>& values);
// A value's gate, marked when it is a raw gate kept for a record without one.
std::string GateCell(const StoredValue& value);
// The word gate of a register: "05W0900".
std::string WordGate(int station, unsigned address);
// The model that a station's file table tells (120 words on a P200X, 52 on a
// P200); nothing when it does not answer or its table is empty.
std::optional<std::string> LineModel(DriverSession& session, int station);
// Says, once for the station, where the model on the line is not the one the
// init file declares: the driver decodes its values by the declared one.
void WarnModelMismatch(DriverSession& session, int station);
std::string DescribeRequestValue(const ParsedGate& gate, const Outcome& outcome);

// What crossed the line, frame by frame, when the relay counted it: a
// summary line and one a station where there were several (text, on the
// console), or one JSON object on the output.
void ReportLine(DriverSession& session, OutputFormat format);

// A long run waits out a vanished device: it asks the driver to reopen the
// port after 1, 2, 4 ... up to 30 seconds, until it is back or the run is
// interrupted.
void WaitForPort(DriverSession& session, Console& console);

} // namespace kovra_host
