#include "commands/common.h"

#include "halvopro/halvopro.h"
#include "line/device.h"
#include "session/reopen.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace kovra_host {

std::unique_ptr<LineRun> OpenLine(HostSettings settings, Console& console,
                                  const std::vector<std::string>& gates) {
    // The driver's path is the one given, seen from where the run began.
    settings.session.driverPath = Absolute(settings.session.driverPath);
    settings.workspace.port = settings.session.port;
    auto run = std::make_unique<LineRun>(settings, console);
    run->workspace.enter();
    run->workspace.openHistory();
    run->session.loadDriver();
    run->workspace.defineGates(gates);
    run->session.driverInfo();
    run->workspace.checkDriverFiles();
    run->session.start(run->workspace.guard());
    return run;
}

std::unique_ptr<LineRun> OpenLine(const CommandLine& line, Console& console,
                                  const std::vector<std::string>& gates) {
    HostSettings settings = SettingsFrom(line);
    settings.session.measure = RelayAvailable();
    return OpenLine(settings, console, gates);
}

void RequirePort(const CommandLine& line) {
    SettingsFrom(line);
    if (!line.value("port")) {
        throw UsageError("no port given: use --port DEVICE");
    }
}

// Why a request failed, in words; empty when it did not.
std::string FailureText(const DriverSession& session, const ParsedGate& gate,
                        const Outcome& outcome) {
    if (outcome.status == kStatusDone) {
        return "";
    }
    return Explain(session.diagnose(outcome), gate.station(), session.settings().port) +
           " (status " + std::to_string(outcome.status) + ")";
}

// Reports a failed request; returns false so callers can fold it into their status.
bool Report(Console& console, const std::string& what, const ParsedGate& gate,
            const Outcome& outcome, const DriverSession& session) {
    bool ok = true;
    if (outcome.status != kStatusDone) {
        console.line("kovra-host: " + what + ": " + FailureText(session, gate, outcome));
        ok = false;
    }
    if (outcome.storeError) {
        console.line("kovra-host: " + what + ": values not stored: " + *outcome.storeError);
        ok = false;
    }
    return ok;
}

std::string ExistingHistoryFile(const CommandLine& line) {
    std::string path = line.value("history").value_or("");
    if (path.empty()) {
        // The history lies where the collection worked, the state folder too.
        const std::string directory = WorkingDirectory(SettingsFrom(line).workspace);
        path = DefaultHistoryFile(directory.empty() ? "." : directory);
    }
    if (!fs::exists(path)) {
        throw Failure("history database " + path + " does not exist");
    }
    return path;
}

OutputFormat FormatOf(const CommandLine& line) {
    const std::string format = line.value("format").value_or(line.has("csv") ? "csv" : "text");
    if (format == "text") {
        return OutputFormat::Text;
    }
    if (format == "csv") {
        return OutputFormat::Csv;
    }
    if (format == "json") {
        return OutputFormat::Json;
    }
    throw UsageError("--format takes text, csv or json, not '" + format + "'");
}

// A row for a request that failed: its gate and why.
std::vector<Cell> ErrorRow(std::vector<Cell> leading, const std::string& gate, std::size_t absent,
                           const std::string& error) {
    leading.push_back(TextCell(gate));
    leading.insert(leading.end(), absent, NoCell());
    leading.push_back(TextCell(error));
    return leading;
}

std::string GateCell(const StoredValue& value) {
    return value.undefined ? value.gate + " (undefined)" : value.gate;
}

// The records kept under raw gates, and the addresses that want a gate.
std::string UndefinedNote(const std::vector<StoredValue>& values) {
    std::vector<std::string> gates;
    unsigned records = 0;
    for (const auto& value : values) {
        if (!value.undefined) {
            continue;
        }
        ++records;
        if (std::find(gates.begin(), gates.end(), value.gate) == gates.end()) {
            gates.push_back(value.gate);
        }
    }
    if (records == 0) {
        return "";
    }
    std::string addresses;
    for (const auto& gate : gates) {
        addresses += (addresses.empty() ? "" : ", ") + std::string("0x") + gate.substr(3);
    }
    return Plural(records, "record") + " without a gate, kept raw (add gates for J-bus address" +
           (gates.size() == 1 ? " " : "es ") + addresses + " to the gates file)";
}

// Events that a read or write of a journal gate collected on the way: kept
// for printing, with what they hold that wants a gate.
void NoteEvents(Console& console, const ParsedGate& gate, const Outcome& outcome,
                std::vector<StoredValue>& events) {
    if (gate.memoryType() != kMemoryJournal) {
        return;
    }
    events.insert(events.end(), outcome.values.begin(), outcome.values.end());
    if (const std::string note = UndefinedNote(outcome.values); !note.empty()) {
        console.line("station " + HexByte(static_cast<unsigned>(gate.station())) + ": " + note);
    }
}

namespace {

std::string FaultCounts(const StationFigures& figures) {
    std::string text;
    for (std::size_t i = 0; i < kReplyFaultCount; ++i) {
        if (figures.faults[i] != 0) {
            text += (text.empty() ? "" : ", ") + std::to_string(figures.faults[i]) + " " +
                    ReplyFaultName(static_cast<ReplyFault>(i));
        }
    }
    return text;
}

std::string FiguresText(const StationFigures& figures) {
    std::string text = Plural(figures.frames, "frame") + " sent, " + std::to_string(figures.good) +
                       (figures.good == 1 ? " good reply" : " good replies");
    if (figures.failed() != 0) {
        text += ", " + std::to_string(figures.failed()) + " without (" + FaultCounts(figures) + ")";
    }
    if (const ReplyTimes& times = figures.replyMs; times.count() != 0) {
        text += "; reply " + std::to_string(times.min()) + "/" + std::to_string(times.median()) +
                "/" + std::to_string(times.max()) + " ms min/median/max";
    }
    return text;
}

std::string FiguresJson(const StationFigures& figures) {
    static constexpr const char* kKeys[kReplyFaultCount] = {"silence", "crc", "wrong_station",
                                                            "bad_reply", "exception"};
    std::string json = "\"frames\":" + std::to_string(figures.frames) +
                       ",\"good\":" + std::to_string(figures.good) + ",\"failed\":{";
    for (std::size_t i = 0; i < kReplyFaultCount; ++i) {
        json += std::string(i == 0 ? "" : ",") + "\"" + kKeys[i] +
                "\":" + std::to_string(figures.faults[i]);
    }
    json += "},\"reply_ms\":";
    const ReplyTimes& times = figures.replyMs;
    json += times.count() == 0 ? "null"
                               : "{\"min\":" + std::to_string(times.min()) +
                                     ",\"median\":" + std::to_string(times.median()) +
                                     ",\"max\":" + std::to_string(times.max()) + "}";
    return json;
}

// Ascending stations as hexadecimal ranges: "03-19, 1B, 1D-F7".
std::string StationRanges(const std::vector<int>& stations) {
    std::string text;
    for (std::size_t i = 0; i < stations.size();) {
        std::size_t end = i;
        while (end + 1 < stations.size() && stations[end + 1] == stations[end] + 1) {
            ++end;
        }
        text += (text.empty() ? "" : ", ") + HexByte(static_cast<unsigned>(stations[i])) +
                (end > i ? "-" + HexByte(static_cast<unsigned>(stations[end])) : "");
        i = end + 1;
    }
    return text;
}

} // namespace

void ReportLine(DriverSession& session, OutputFormat format) {
    const auto figures = session.lineFigures();
    if (!figures || figures->empty()) {
        return;
    }
    const StationFigures total = Total(*figures);
    if (format == OutputFormat::Json) {
        std::string stations;
        for (const auto& [station, one] : *figures) {
            stations += (stations.empty() ? "" : ",") + std::string("{\"station\":") +
                        JsonString(HexByte(static_cast<unsigned>(station))) + "," +
                        FiguresJson(one) + "}";
        }
        Print("{\"line\":{" + FiguresJson(total) + ",\"stations\":[" + stations + "]}}");
        return;
    }
    Console& console = session.console();
    console.line("line: " + FiguresText(total));
    if (figures->size() <= 1) {
        return;
    }
    // A scan asks many addresses where no PLC stands: those that never
    // answered share one row.
    const auto silent = [](const StationFigures& one) {
        return one.good == 0 &&
               one.failed() == one.faults[static_cast<std::size_t>(ReplyFault::Silence)];
    };
    std::vector<int> silentStations;
    StationFigures silentTotal;
    for (const auto& [station, one] : *figures) {
        if (silent(one)) {
            silentStations.push_back(station);
            silentTotal.add(one);
        }
    }
    const bool fold = silentStations.size() > 1;
    for (const auto& [station, one] : *figures) {
        if (!fold || !silent(one)) {
            console.line("line: station " + HexByte(static_cast<unsigned>(station)) + ": " +
                         FiguresText(one));
        }
    }
    if (fold) {
        console.line("line: " + std::to_string(silentStations.size()) + " silent stations (" +
                     StationRanges(silentStations) + "): " + Plural(silentTotal.frames, "frame") +
                     " sent, none answered");
    }
}

void WaitForPort(DriverSession& session, Console& console) {
    const std::string& port = session.settings().port;
    console.line("kovra-host: port " + port + " is gone; reopening it");
    if (ReopenWithPauses([&] { return session.reopen(); }, SleepMs)) {
        console.line("kovra-host: port " + port + " is back");
    }
}

const std::vector<std::string> kEventHeadings = {"PLC TIME", "GATE", "UNDEFINED", "VALUE", "RAW"};
const std::vector<std::string> kDataOnly = {"UNDEFINED"};

std::vector<Cell> EventRow(const StoredValue& value) {
    Cell gate = TextCell(GateCell(value));
    gate.csv = value.gate;
    gate.json = JsonString(value.gate);
    return {value.plcTime ? TimeCell(*value.plcTime) : NoCell(), gate,
            value.undefined ? Cell{"yes", "yes", "true", false} : NoCell(), NumberCell(value.value),
            RawCell(value.raw, GateWidth(value.gate))};
}

// The events a read or write collected, after its own rows.
void PrintEvents(const std::vector<StoredValue>& values, OutputFormat format) {
    if (values.empty()) {
        return;
    }
    if (format != OutputFormat::Json) {
        Print("");
    }
    Listing listing(format, kEventHeadings, {}, kDataOnly);
    for (const auto& value : values) {
        listing.add(EventRow(value));
    }
    listing.finish();
}

HostSettings SettingsFrom(const CommandLine& line) {
    HostSettings settings;
    settings.session.driverPath = line.value("driver").value_or("");
    settings.session.driverNumber =
        static_cast<int>(line.integer("driver-number", 0, 255).value_or(1));
    settings.workspace.driverNumber = settings.session.driverNumber;
    settings.workspace.directory = line.value("dir").value_or("");
    settings.workspace.stateDir = line.value("state-dir").value_or("");
    settings.workspace.gatesFile = line.value("gates").value_or("");
    settings.workspace.historyFile = line.value("history").value_or("");
    settings.workspace.keepHistory = !line.has("no-history");
    settings.session.keepUndefined = !line.has("strict-gates");
    settings.session.trace = line.has("trace");
    settings.session.port = line.value("port").value_or("");
    settings.session.tap = line.value("tap").value_or("");
    if (const auto level = line.value("log-level")) {
        const auto parsed = ParseLogLevel(*level);
        if (!parsed) {
            throw UsageError("--log-level takes none, fatal, error, trace or 0, 1, 32, 8, not '" +
                             *level + "'");
        }
        settings.session.logLevel = *parsed;
    }
    if (const auto baud = line.integer("baud", 1, 65535)) {
        settings.session.baud = static_cast<unsigned>(*baud);
    }
    // The init file's COMM_TIMEOUT range.
    if (const auto timeout = line.integer("timeout", 100, 25000)) {
        settings.session.timeoutMs = static_cast<unsigned>(*timeout);
    }
    if (const auto gap = line.integer("gap", 0, 65535)) {
        settings.session.gapMs = static_cast<unsigned>(*gap);
    }
    if (const auto bits = line.integer("data-bits", 5, 8)) {
        settings.session.dataBits = static_cast<unsigned>(*bits);
    }
    if (const auto parity = line.value("parity")) {
        static const std::map<std::string, unsigned> kParities = {
            {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
        const auto it = kParities.find(*parity);
        if (it == kParities.end()) {
            throw UsageError("--parity takes none, odd, even, mark or space, not '" + *parity +
                             "'");
        }
        settings.session.parity = it->second;
    }
    if (const auto stop = line.value("stop-bits")) {
        if (*stop == "1") {
            settings.session.stopBits = 0;
        } else if (*stop == "1.5") {
            settings.session.stopBits = 1;
        } else if (*stop == "2") {
            settings.session.stopBits = 2;
        } else {
            throw UsageError("--stop-bits takes 1, 1.5 or 2, not '" + *stop + "'");
        }
    }
    return settings;
}

int ParseStation(const std::string& text) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    char* end = nullptr;
    const long value = std::strtol(digits.c_str(), &end, 16);
    if (digits.empty() || digits.size() > 2 || *end != '\0' || value < 0 || value > 255) {
        throw UsageError("station '" + text + "' is not a J-bus station 00 to FF (hexadecimal)");
    }
    return static_cast<int>(value);
}

std::string StationGate(int station, char memoryType) {
    return HexByte(static_cast<unsigned>(station)) + memoryType + "0000";
}

std::string WordGate(int station, unsigned address) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", address);
    return HexByte(static_cast<unsigned>(station)) + kMemoryWords + text;
}

std::optional<std::string> LineModel(DriverSession& session, int station) {
    const Outcome table = session.readBlock(
        session.parseBlock(WordGate(station, kFileTableAddress), kFileTableWords), kFileTableWords);
    return table.status == kStatusDone ? ModelFromFileTable(table.block) : std::nullopt;
}

void WarnModelMismatch(DriverSession& session, int station) {
    const auto seen = LineModel(session, station);
    const bool declared = session.declaredP200X(station);
    if (!seen || (*seen == "P200X") == declared) {
        return;
    }
    const std::string name = HexByte(static_cast<unsigned>(station));
    session.console().line(
        "kovra-host: warning: station " + name + " answers as a " + *seen +
        " but the init file declares a " + (declared ? "P200X" : "P200") +
        ", so the driver decodes its values as a " + (declared ? "P200X" : "P200") + "'s" +
        (declared ? "; remove the line \"P200X = " + name + "\" from the init file"
                  : "; add the line \"P200X = " + name + "\" to the init file"));
}

std::string DescribeRequestValue(const ParsedGate& gate, const Outcome& outcome) {
    switch (gate.memoryType()) {
    case kMemoryJournal:
        return std::to_string(outcome.values.size()) + " events collected";
    case kMemoryClock:
        return "clock set";
    case kMemoryLastQuery:
        if (gate.address.address == 1) {
            return std::to_string(outcome.values.size()) + " stamp gates set";
        }
        break;
    default:
        break;
    }
    return FormatValue(outcome.value);
}

Table EventTable(const std::vector<StoredValue>& values) {
    Table table(kEventHeadings);
    for (const auto& value : values) {
        std::vector<std::string> cells;
        for (const auto& cell : EventRow(value)) {
            cells.push_back(cell.text);
        }
        table.add(cells);
    }
    return table;
}

} // namespace kovra_host
