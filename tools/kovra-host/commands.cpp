#include "commands.h"

#include "format.h"
#include "gates/parse.h"
#include "halvopro/halvopro.h"
#include "line/line_search.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace kovra_host {
namespace {

std::unique_ptr<Host> OpenLine(const CommandLine& line, Console& console,
                               const std::vector<std::string>& gates, bool measure = false) {
    HostSettings settings = SettingsFrom(line);
    settings.measure = measure && RelayAvailable();
    auto host = std::make_unique<Host>(settings, console);
    host->enterDirectory();
    host->openHistory();
    host->loadDriver();
    host->defineGates(gates);
    host->start();
    return host;
}

// Every option is checked before the port is asked for.
void RequirePort(const CommandLine& line) {
    SettingsFrom(line);
    if (!line.value("port")) {
        throw UsageError("no port given: use --port DEVICE");
    }
}

// Why a request failed, in words; empty when it did not.
std::string FailureText(const Host& host, const ParsedGate& gate, const Outcome& outcome) {
    if (outcome.status == kStatusDone) {
        return "";
    }
    return Explain(host.diagnose(outcome), gate.station(), host.settings().port) + " (status " +
           std::to_string(outcome.status) + ")";
}

// Reports a failed request; returns false so callers can fold it into their status.
bool Report(Console& console, const std::string& what, const ParsedGate& gate,
            const Outcome& outcome, const Host& host) {
    bool ok = true;
    if (outcome.status != kStatusDone) {
        console.line("kovra-host: " + what + ": " + FailureText(host, gate, outcome));
        ok = false;
    }
    if (outcome.storeError) {
        console.line("kovra-host: " + what + ": values not stored: " + *outcome.storeError);
        ok = false;
    }
    return ok;
}

// A row for a request that failed: its gate and why.
std::vector<Cell> ErrorRow(std::vector<Cell> leading, const std::string& gate, std::size_t absent,
                           const std::string& error) {
    leading.push_back(TextCell(gate));
    leading.insert(leading.end(), absent, NoCell());
    leading.push_back(TextCell(error));
    return leading;
}

} // namespace

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

std::string GateCell(const StoredValue& value) {
    return value.undefined ? value.gate + " (undefined)" : value.gate;
}

namespace {

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

// A long run waits out a vanished device: it asks the driver to reopen the
// port after 1, 2, 4 ... up to 30 seconds, until it is back or the run is
// interrupted.
void WaitForPort(Host& host, Console& console) {
    const std::string& port = host.settings().port;
    console.line("kovra-host: port " + port + " is gone; reopening it");
    unsigned pauseMs = 1000;
    while (!Interrupted()) {
        SleepMs(pauseMs);
        if (Interrupted()) {
            return;
        }
        if (host.reopen()) {
            console.line("kovra-host: port " + port + " is back");
            return;
        }
        pauseMs = std::min(pauseMs * 2, 30000u);
    }
}

const std::vector<std::string> kEventHeadings = {"PLC TIME", "GATE", "VALUE", "RAW"};

std::vector<Cell> EventRow(const StoredValue& value) {
    Cell gate = TextCell(GateCell(value));
    if (value.undefined) {
        gate.json = JsonString(value.gate);
        gate.jsonExtra = "\"undefined\":true";
    }
    return {value.plcTime ? TimeCell(*value.plcTime) : NoCell(), gate, NumberCell(value.value),
            RawCell(value.raw, GateWidth(value.gate))};
}

// The events a read or write collected, after its own rows.
void PrintEvents(const std::vector<StoredValue>& values, OutputFormat format) {
    if (values.empty()) {
        return;
    }
    if (format != OutputFormat::Json) {
        std::printf("\n");
    }
    Listing listing(format, kEventHeadings);
    for (const auto& value : values) {
        listing.add(EventRow(value));
    }
    listing.finish();
}

} // namespace

HostSettings SettingsFrom(const CommandLine& line) {
    HostSettings settings;
    settings.driverPath = line.value("driver").value_or("");
    settings.driverNumber = static_cast<int>(line.integer("driver-number", 0, 255).value_or(1));
    settings.directory = line.value("dir").value_or("");
    settings.stateDir = line.value("state-dir").value_or("");
    settings.gatesFile = line.value("gates").value_or("");
    settings.historyFile = line.value("history").value_or("");
    settings.keepHistory = !line.has("no-history");
    settings.keepUndefined = !line.has("strict-gates");
    settings.trace = line.has("trace");
    settings.port = line.value("port").value_or("");
    settings.tap = line.value("tap").value_or("");
    if (const auto level = line.value("log-level")) {
        const auto parsed = ParseLogLevel(*level);
        if (!parsed) {
            throw UsageError("--log-level takes none, fatal, error, trace or 0, 1, 32, 8, not '" +
                             *level + "'");
        }
        settings.logLevel = *parsed;
    }
    if (const auto baud = line.integer("baud", 1, 65535)) {
        settings.baud = static_cast<unsigned>(*baud);
    }
    if (const auto timeout = line.integer("timeout", 10, 600000)) {
        settings.timeoutMs = static_cast<unsigned>(*timeout);
    }
    if (const auto gap = line.integer("gap", 0, 65535)) {
        settings.gapMs = static_cast<unsigned>(*gap);
    }
    if (const auto bits = line.integer("data-bits", 5, 8)) {
        settings.dataBits = static_cast<unsigned>(*bits);
    }
    if (const auto parity = line.value("parity")) {
        static const std::map<std::string, unsigned> kParities = {
            {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
        const auto it = kParities.find(*parity);
        if (it == kParities.end()) {
            throw UsageError("--parity takes none, odd, even, mark or space, not '" + *parity +
                             "'");
        }
        settings.parity = it->second;
    }
    if (const auto stop = line.value("stop-bits")) {
        if (*stop == "1") {
            settings.stopBits = 0;
        } else if (*stop == "1.5") {
            settings.stopBits = 1;
        } else if (*stop == "2") {
            settings.stopBits = 2;
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

Outcome CollectStation(Host& host, int station, const std::string& command,
                       const std::function<void(const std::string&)>& report) {
    const ParsedGate gate = host.parse(StationGate(station, kMemoryJournal));
    Console& console = host.console();
    const std::int64_t began = MonotonicMs();
    // The relay's thread counts the requests while the driver's thread
    // counts files and records; either draws the line.
    Mutex mutex;
    std::int64_t shown = 0;
    unsigned files = 0;
    unsigned records = 0;
    std::uint64_t requests = 0;
    const std::string prefix =
        "collecting station " + HexByte(static_cast<unsigned>(station)) + ": ";
    auto show = [&](bool force) {
        const std::int64_t now = MonotonicMs();
        if (!force && now - shown < 100) {
            return;
        }
        shown = now;
        const double seconds = static_cast<double>(now - began) / 1000.0;
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.0f", seconds > 0 ? records / seconds : 0.0);
        std::string text = prefix + Plural(files, "file") + ", " + Plural(records, "record");
        if (host.traffic()) {
            text += ", " + Plural(static_cast<unsigned>(requests), "request");
        }
        console.progress(text + ", " + rate + " records/s");
    };
    host.log().onLine([&](const LogLine& line) {
        MutexLock lock(mutex);
        if (line.text.find("ReadHoroFile()") != std::string::npos &&
            line.text.find(" reading ") != std::string::npos) {
            ++files;
            show(true);
        } else if (line.text.find("gate not defined") != std::string::npos) {
            ++records;
            show(false);
        }
    });
    host.onValue([&](const StoredValue&) {
        MutexLock lock(mutex);
        ++records;
        show(false);
    });
    host.onRequest([&] {
        MutexLock lock(mutex);
        ++requests;
        show(false);
    });
    struct Quiet {
        Host& host;
        ~Quiet() {
            host.log().onLine(nullptr);
            host.onValue(nullptr);
            host.onRequest(nullptr);
            host.console().endProgress();
        }
    } quiet{host};
    {
        MutexLock lock(mutex);
        show(true);
    }
    Outcome outcome = host.read(gate, command);

    host.console().endProgress();
    unsigned undefined = 0;
    for (const auto& line : outcome.messages) {
        if (line.text.find("gate not defined") != std::string::npos) {
            ++undefined;
        }
    }
    std::string summary = "station " + HexByte(static_cast<unsigned>(station)) + ": " +
                          Plural(files, "file") + " read, " +
                          Plural(static_cast<unsigned>(outcome.values.size()), "event");
    if (host.history() == nullptr) {
        summary += " (not stored)";
    } else if (!outcome.storeError) {
        summary += " stored";
    }
    if (const std::string note = UndefinedNote(outcome.values); !note.empty()) {
        summary += ", " + note;
    }
    if (undefined != 0) {
        summary += ", " + Plural(undefined, "record") + " without a gate passed over";
        if (outcome.values.empty()) {
            summary += " (the gates file defines the gates of the journal's variables)";
        }
    }
    if (!outcome.alerts.empty()) {
        summary += ", " + Plural(static_cast<unsigned>(outcome.alerts.size()), "alert");
    }
    if (report) {
        report(summary);
    } else {
        console.line(summary);
    }
    return outcome;
}

int RunInfo(const CommandLine& line, Console& console) {
    HostSettings settings = SettingsFrom(line);
    settings.keepHistory = false;
    Host host(settings, console);
    host.enterDirectory();
    const DriverInfo info = host.driverInfo();
    static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
    static const char* const kStop[] = {"1", "1.5", "2"};
    const CommSettings& line_ = info.defaultSettings;
    std::printf("Driver        %s (id %d)\n", info.driverName ? info.driverName : "?",
                info.driverId);
    std::printf("Context       %d bytes\n", info.contextSize);
    std::printf("Default line  %u baud, %u data bits, parity %s, %s stop bit%s\n", line_.baudRate,
                line_.dataBits, line_.parity < 5 ? kParity[line_.parity] : "?",
                line_.stopBits < 3 ? kStop[line_.stopBits] : "?", line_.stopBits == 0 ? "" : "s");
    std::printf("Info words    %d, %d\n", info.infoA, info.infoB);
    if (info.banner != nullptr) {
        std::printf("%s\n", Cp437ToUtf8(info.banner).c_str());
    }
    return 0;
}

int RunRead(const CommandLine& line, Console& console) {
    if (line.arguments.empty()) {
        throw UsageError("read needs at least one GATE");
    }
    const int count = static_cast<int>(line.integer("count", 1, 65536).value_or(1));
    RequirePort(line);
    auto host = OpenLine(line, console, line.arguments);
    std::vector<ParsedGate> gates;
    for (const auto& address : line.arguments) {
        gates.push_back(count == 1 ? host->parse(address) : host->parseBlock(address, 2));
        if (!ElementAddress(gates.back(), count - 1)) {
            throw UsageError("the " + std::to_string(count) + " elements from " + address +
                             " run past address FFFF");
        }
    }
    const OutputFormat format = FormatOf(line);
    Listing listing(format, {"GATE", "VALUE", "RAW", "ERROR"});
    std::vector<StoredValue> events;
    bool ok = true;
    for (const auto& gate : gates) {
        if (count > 1) {
            // As many elements a request as a block read carries; a last
            // single element is read as a single gate.
            for (int done = 0; done < count;) {
                const int chunk =
                    std::min(count - done, static_cast<int>(MaxBlockCount(gate.width)));
                const std::string first = *ElementAddress(gate, done);
                const ParsedGate part =
                    chunk == 1 ? host->parse(first) : host->parseBlock(first, chunk);
                const Outcome outcome =
                    chunk == 1 ? host->read(part, "read") : host->readBlock(part, chunk);
                if (!Report(console, "read " + first, part, outcome, *host)) {
                    ok = false;
                }
                for (int i = 0; i < chunk; ++i) {
                    const std::string element = *ElementAddress(part, i);
                    if (outcome.status != kStatusDone) {
                        listing.add(ErrorRow({}, element, 2, FailureText(*host, part, outcome)));
                        continue;
                    }
                    const std::uint32_t raw = chunk == 1 ? outcome.raw : outcome.block[i];
                    listing.add({TextCell(element), NumberCell(host->cook(element, raw)),
                                 RawCell(raw, part.width), NoCell()});
                }
                done += chunk;
            }
            continue;
        }
        const Outcome outcome = host->read(gate, "read");
        NoteEvents(console, gate, outcome, events);
        if (!Report(console, "read " + gate.definition.address, gate, outcome, *host)) {
            ok = false;
        }
        if (outcome.status != kStatusDone) {
            listing.add(
                ErrorRow({}, gate.definition.address, 2, FailureText(*host, gate, outcome)));
        } else {
            const bool trigger =
                gate.memoryType() == kMemoryJournal || gate.memoryType() == kMemoryClock ||
                (gate.memoryType() == kMemoryLastQuery && gate.address.address == 1);
            listing.add({TextCell(gate.definition.address),
                         trigger ? TextCell(DescribeRequestValue(gate, outcome))
                                 : NumberCell(outcome.value),
                         trigger ? NoCell() : RawCell(outcome.raw, gate.width), NoCell()});
        }
        if (outcome.storeError) {
            break;
        }
    }
    listing.finish();
    PrintEvents(events, format);
    return ok ? 0 : 1;
}

int RunWrite(const CommandLine& line, Console& console) {
    if (line.arguments.size() != 2) {
        throw UsageError("write needs a GATE and a VALUE");
    }
    RequirePort(line);
    const std::string& text = line.arguments[1];
    auto host = OpenLine(line, console, {line.arguments[0]});
    const ParsedGate gate = host->parse(line.arguments[0]);
    std::uint32_t raw = 0;
    if (line.has("raw")) {
        errno = 0;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
        const unsigned long long limit = gate.width == 1    ? 1
                                         : gate.width == 16 ? 0xFFFF
                                                            : 0xFFFFFFFF;
        if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || value > limit) {
            throw Failure("raw value '" + text + "' does not fit gate " + gate.definition.address +
                          " (0 to " + std::to_string(limit) + ")");
        }
        raw = static_cast<std::uint32_t>(value);
    } else {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0') {
            throw Failure("value '" + text + "' is not a number");
        }
        std::optional<std::uint32_t> uncooked;
        if (gate.width == 1) {
            if (value == 0.0 || value == 1.0) {
                uncooked = static_cast<std::uint32_t>(value);
            }
        } else {
            uncooked = Uncook(gate.definition, value, gate.width);
        }
        if (!uncooked) {
            throw Failure("value " + text + " does not fit gate " + gate.definition.address +
                          (gate.width == 1 ? " (0 or 1)" : " under its cooking rule"));
        }
        raw = *uncooked;
    }
    const Outcome outcome = host->write(gate, raw, "write");
    std::vector<StoredValue> events;
    NoteEvents(console, gate, outcome, events);
    if (!Report(console, "write " + gate.definition.address, gate, outcome, *host)) {
        PrintEvents(events, OutputFormat::Text);
        return 1;
    }
    // What was written: the value the raw number stands for, which the
    // rounding to a raw value may have moved from the one asked for.
    const double written = halvo::Cook(gate.definition, raw);
    if (!line.has("raw") && written != std::strtod(text.c_str(), nullptr)) {
        console.line("kovra-host: " + text + " cannot be written exactly to " +
                     gate.definition.address + "; the nearest, " + FormatValue(written) +
                     ", was written");
    }
    std::printf("%s <- %s (raw %s)\n", gate.definition.address.c_str(),
                FormatValue(written).c_str(), FormatRaw(raw, gate.width).c_str());
    PrintEvents(events, OutputFormat::Text);
    return 0;
}

int RunCollect(const CommandLine& line, Console& console) {
    if (line.arguments.empty()) {
        throw UsageError("collect needs at least one STATION");
    }
    RequirePort(line);
    std::vector<int> stations;
    for (const auto& text : line.arguments) {
        stations.push_back(ParseStation(text));
    }
    const OutputFormat format = FormatOf(line);
    // The relay in between counts what crosses the line.
    auto host = OpenLine(line, console, {}, true);
    Listing listing(format, {"PLC TIME", "GATE", "VALUE", "RAW", "ERROR"});
    bool ok = true;
    unsigned records = 0;
    unsigned alerts = 0;
    std::size_t done = 0;
    const std::int64_t began = MonotonicMs();
    CatchInterrupt();
    while (done < stations.size() && !Interrupted()) {
        const int station = stations[done];
        const Outcome outcome = CollectStation(*host, station, "collect");
        records += static_cast<unsigned>(outcome.values.size());
        alerts += static_cast<unsigned>(outcome.alerts.size());
        for (const auto& value : outcome.values) {
            auto row = EventRow(value);
            row.push_back(NoCell());
            listing.add(row);
        }
        ParsedGate gate;
        gate.address.station = station;
        if (!Report(console, "collect station " + HexByte(static_cast<unsigned>(station)), gate,
                    outcome, *host)) {
            ok = false;
        }
        if (outcome.storeError) {
            break;
        }
        if (outcome.status != kStatusDone) {
            if (host->diagnose(outcome).kind == FaultKind::PortGone) {
                // The station is collected again once the port is back.
                WaitForPort(*host, console);
                continue;
            }
            listing.add(ErrorRow({NoCell()}, StationGate(station, kMemoryJournal), 2,
                                 FailureText(*host, gate, outcome)));
        }
        ++done;
    }
    if (!listing.empty()) {
        listing.finish();
    }
    std::string summary =
        "collect: " + Plural(records, "record") + ", " + Plural(alerts, "lost-record alert");
    const double seconds = static_cast<double>(MonotonicMs() - began) / 1000.0;
    char timing[160];
    if (const auto traffic = host->traffic()) {
        // What the bytes alone take on the wire at the line's speed: start
        // bit, data bits, parity bit, stop bits.
        const CommSettings& settings = host->line();
        const double bitsPerByte = 1.0 + settings.dataBits + (settings.parity != 0 ? 1.0 : 0.0) +
                                   (settings.stopBits == 0   ? 1.0
                                    : settings.stopBits == 1 ? 1.5
                                                             : 2.0);
        const double wire = static_cast<double>(traffic->bytes) * bitsPerByte / settings.baudRate;
        std::snprintf(timing, sizeof timing,
                      ", %llu requests, %llu bytes; %.2f s against the line's own limit of "
                      "%.2f s for these bytes at %u baud",
                      static_cast<unsigned long long>(traffic->requests),
                      static_cast<unsigned long long>(traffic->bytes), seconds, wire,
                      static_cast<unsigned>(settings.baudRate));
    } else {
        std::snprintf(timing, sizeof timing, "; %.2f s", seconds);
    }
    console.line(summary + timing);
    if (Interrupted() && done < stations.size()) {
        std::string left;
        for (std::size_t i = done; i < stations.size(); ++i) {
            left += (left.empty() ? "" : ", ") + HexByte(static_cast<unsigned>(stations[i]));
        }
        console.line("kovra-host: interrupted: " + Plural(records, "event") +
                     (host->history() != nullptr ? " kept in the history" : " printed") +
                     "; not collected: station" + (stations.size() - done == 1 ? " " : "s ") +
                     left);
        return 1;
    }
    return ok ? 0 : 1;
}

namespace {

// "01-F7", or one station "05".
std::pair<int, int> ParseStationRange(const std::string& text) {
    const auto dash = text.find('-');
    const int first = ParseStation(text.substr(0, dash));
    const int last = dash == std::string::npos ? first : ParseStation(text.substr(dash + 1));
    if (last < first) {
        throw UsageError("station range '" + text + "' ends before it begins");
    }
    return {first, last};
}

// What a station's journal file table and clock registers tell of it: a
// P200X's table is 120 words, a P200's 52 (the words after it read 0); the
// clock registers 1 to 4 hold day, month, year, hour, minute, second.
struct StationLooks {
    std::string model = "-";
    std::string clock = "-";
};

StationLooks LookAt(Host& host, int station) {
    StationLooks looks;
    const std::string prefix = HexByte(static_cast<unsigned>(station)) + kMemoryWords;
    const Outcome table = host.readBlock(host.parseBlock(prefix + "0900", 120), 120);
    if (table.status == kStatusDone) {
        const auto& words = table.block;
        const auto nonzero = [](std::uint32_t word) { return word != 0; };
        if (std::any_of(words.begin(), words.begin() + 52, nonzero)) {
            looks.model = std::any_of(words.begin() + 52, words.end(), nonzero) ? "P200X" : "P200";
        }
    }
    const Outcome clock = host.readBlock(host.parseBlock(prefix + "0001", 4), 4);
    if (clock.status == kStatusDone) {
        const auto byte = [&](int i) {
            return (clock.block[i / 2] >> (i % 2 == 0 ? 8 : 0)) & 0xFF;
        };
        const unsigned day = byte(0), month = byte(1), year = byte(2), hour = byte(3),
                       minute = byte(4), second = byte(5);
        if (day >= 1 && day <= 31 && month >= 1 && month <= 12 && hour < 24 && minute < 60 &&
            second < 60) {
            char text[32];
            std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1900 + year, month,
                          day, hour, minute, second);
            looks.clock = text;
        }
    }
    return looks;
}

} // namespace

namespace {

// The line for a scan. With --baud auto [--parity auto], the first line
// settings at which a station answers, tried on one driver instance with a
// reply timeout to suit each speed; the line is left at those settings.
std::unique_ptr<Host> OpenScanLine(const CommandLine& line, Console& console, int first, int last,
                                   bool ranged) {
    const bool searchFraming = line.value("parity") == "auto";
    if (line.value("baud") != "auto") {
        if (searchFraming) {
            throw UsageError("--parity auto goes with --baud auto");
        }
        RequirePort(line);
        return OpenLine(line, console, {});
    }
    const auto withCandidate = [](CommandLine options, const LineCandidate& candidate) {
        options.options["baud"] = {std::to_string(candidate.baud)};
        if (!candidate.parity.empty()) {
            options.options["parity"] = {candidate.parity};
            options.options["stop-bits"] = {candidate.stopBits};
        }
        return options;
    };
    const auto candidates = LineCandidates(searchFraming);
    RequirePort(withCandidate(line, candidates.front()));
    // The stations given, or the first addresses, which most lines use.
    std::vector<int> stations = {0x01, 0x02, 0x03};
    if (ranged) {
        stations.clear();
        for (int station = first; station <= last; ++station) {
            stations.push_back(station);
        }
    }
    auto host = OpenLine(withCandidate(line, candidates.front()), console, {});
    const unsigned timeout = host->replyTimeoutMs();
    int answering = 0;
    CatchInterrupt();
    const auto found = SearchLine(candidates, [&](const LineCandidate& candidate) {
        if (Interrupted()) {
            return false;
        }
        console.progress("trying " + CandidateOptions(candidate));
        if (!host->changeLine(SettingsFrom(withCandidate(line, candidate)))) {
            throw Failure("port " + host->settings().port + " refuses " +
                          CandidateOptions(candidate));
        }
        host->setReplyTimeout(ProbeTimeoutMs(candidate.baud));
        for (const int station : stations) {
            const Outcome outcome = host->read(
                host->parse(HexByte(static_cast<unsigned>(station)) + kMemoryWords + "0900"),
                "scan");
            const Diagnosis diagnosis =
                outcome.status == kStatusDone ? Diagnosis{} : host->diagnose(outcome);
            if (diagnosis.kind == FaultKind::PortGone) {
                throw Failure(Explain(diagnosis, station, host->settings().port));
            }
            if (outcome.status == kStatusDone || diagnosis.kind == FaultKind::Exception) {
                answering = station;
                return true;
            }
        }
        return false;
    });
    console.endProgress();
    if (Interrupted()) {
        throw Failure("scan interrupted before a station answered");
    }
    if (!found) {
        throw Failure("no station answers at 9600, 19200, 38400, 57600, 4800, 2400 or 1200 baud" +
                      std::string(searchFraming ? " with parity none, even or odd" : ""));
    }
    console.line("scan: station " + HexByte(static_cast<unsigned>(answering)) + " answers with " +
                 CandidateOptions(*found));
    host->setReplyTimeout(timeout);
    return host;
}

} // namespace

int RunScan(const CommandLine& line, Console& console) {
    if (line.arguments.size() > 1) {
        throw UsageError("scan takes one range of stations, FIRST-LAST");
    }
    const auto [first, last] =
        ParseStationRange(line.arguments.empty() ? "01-F7" : line.arguments[0]);
    auto host = OpenScanLine(line, console, first, last, !line.arguments.empty());
    // The driver tries a silent station four times; each try gets a quarter
    // of the reply timeout (in the driver's 10 ms ticks, rounded down), so a
    // silent address costs about one timeout.
    const unsigned timeout = host->replyTimeoutMs();
    const unsigned attempt = std::max(10u, timeout / 4 / 10 * 10);
    Listing table(FormatOf(line), {"STATION", "MODEL", "CLOCK", "REPLY"});
    std::string found;
    unsigned answering = 0;
    const std::int64_t began = MonotonicMs();
    CatchInterrupt();
    // A change of timeout reopens the port: the short one stays for the
    // silent addresses, the whole one comes back for a station's long replies.
    host->setReplyTimeout(attempt);
    int station = first;
    for (; station <= last && !Interrupted(); ++station) {
        const std::string name = HexByte(static_cast<unsigned>(station));
        console.progress("scanning station " + name + " (" + Plural(answering, "station") +
                         " found)");
        const ParsedGate gate = host->parse(name + kMemoryWords + "0900");
        const Outcome outcome = host->read(gate, "scan");
        const Diagnosis diagnosis =
            outcome.status == kStatusDone ? Diagnosis{} : host->diagnose(outcome);
        if (diagnosis.kind == FaultKind::PortGone) {
            console.endProgress();
            throw Failure(Explain(diagnosis, station, host->settings().port));
        }
        if (outcome.status != kStatusDone && diagnosis.kind != FaultKind::Exception) {
            if (diagnosis.kind != FaultKind::SilentStation &&
                diagnosis.kind != FaultKind::Unknown) {
                table.add({TextCell(name), NoCell(), NoCell(), TextCell(KindName(diagnosis.kind))});
            }
            continue;
        }
        ++answering;
        found += (found.empty() ? "" : ", ") + name;
        host->setReplyTimeout(timeout);
        const StationLooks looks = LookAt(*host, station);
        host->setReplyTimeout(attempt);
        table.add(
            {TextCell(name), TextCell(looks.model), TextCell(looks.clock),
             TextCell(outcome.status == kStatusDone
                          ? "answers"
                          : "exception " + HexByte(diagnosis.exceptionCode.value_or(0)) + ": " +
                                ExceptionMeaning(diagnosis.exceptionCode.value_or(0)))});
    }
    console.endProgress();
    table.finish();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s",
                  static_cast<double>(MonotonicMs() - began) / 1000.0);
    console.line("scan " + HexByte(static_cast<unsigned>(first)) + "-" +
                 HexByte(static_cast<unsigned>(station - 1)) + ": " + Plural(answering, "station") +
                 " answering" + (found.empty() ? "" : " (" + found + ")") + " of " +
                 std::to_string(station - first) + " addresses, " + seconds);
    return 0;
}

int RunSync(const CommandLine& line, Console& console) {
    if (line.arguments.size() != 1) {
        throw UsageError("sync needs one STATION");
    }
    RequirePort(line);
    const int station = ParseStation(line.arguments[0]);
    auto host = OpenLine(line, console, {});
    const ParsedGate gate = host->parse(StationGate(station, kMemoryClock));
    const std::time_t now = std::time(nullptr);
    const Outcome outcome = host->read(gate, "sync");
    if (!Report(console, "sync station " + HexByte(static_cast<unsigned>(station)), gate, outcome,
                *host)) {
        return 1;
    }
    std::printf("station %s: clock set to %s\n", HexByte(static_cast<unsigned>(station)).c_str(),
                IsoLocalTime(static_cast<std::int64_t>(now)).c_str());
    return 0;
}

int RunWatch(const CommandLine& line, Console& console) {
    if (line.arguments.empty()) {
        throw UsageError("watch needs at least one GATE");
    }
    const auto every = line.number("every", 0.01, 86400.0);
    if (!every) {
        throw UsageError("watch needs --every SECONDS");
    }
    const auto count = line.integer("count", 1, 1000000000L);
    RequirePort(line);
    const OutputFormat format = FormatOf(line);
    auto host = OpenLine(line, console, line.arguments);
    std::vector<ParsedGate> gates;
    for (const auto& address : line.arguments) {
        gates.push_back(host->parse(address));
    }
    struct Seen {
        bool valid = false;
        bool failed = false;
        std::uint32_t raw = 0;
        double value = 0;
    };
    std::vector<Seen> seen(gates.size());
    Listing listing(format, {"TIME", "GATE", "VALUE", "RAW", "ERROR"}, {25, 8, 12, 12});
    bool ok = true;
    const auto periodMs = static_cast<std::int64_t>(std::llround(*every * 1000.0));
    std::int64_t next = MonotonicMs();
    unsigned requests = 0;
    unsigned replies = 0;
    std::map<FaultKind, unsigned> errors;
    // Ctrl-C ends the watch between polls, so the driver is ended and the
    // port released as after the last poll.
    CatchInterrupt();
    for (long poll = 0; (!count || poll < *count) && !Interrupted(); ++poll) {
        if (poll > 0) {
            next += periodMs;
            const std::int64_t now = MonotonicMs();
            if (next < now) {
                next = now; // a slow poll moves the rhythm instead of firing the missed ones
            }
            if (next > now) {
                SleepMs(static_cast<unsigned>(next - now));
            }
            if (Interrupted()) {
                break;
            }
        }
        // A long watch keeps only what the current poll logs.
        halvo::ClearRecords();
        host->log().forget();
        for (std::size_t i = 0; i < gates.size() && !Interrupted(); ++i) {
            const Outcome outcome = host->read(gates[i], "watch");
            ++requests;
            const std::string time = IsoLocalTime(static_cast<std::int64_t>(std::time(nullptr)));
            std::vector<StoredValue> events;
            NoteEvents(console, gates[i], outcome, events);
            for (const auto& event : events) {
                auto row = EventRow(event);
                if (!event.plcTime) {
                    row[0] = TextCell(time);
                }
                row.push_back(NoCell());
                listing.add(row);
            }
            if (outcome.status != kStatusDone) {
                ok = false;
                const Diagnosis diagnosis = host->diagnose(outcome);
                ++errors[diagnosis.kind];
                Report(console, "watch " + gates[i].definition.address, gates[i], outcome, *host);
                listing.add(ErrorRow({TextCell(time)}, gates[i].definition.address, 2,
                                     FailureText(*host, gates[i], outcome)));
                seen[i].failed = true;
                if (diagnosis.kind == FaultKind::PortGone) {
                    WaitForPort(*host, console);
                }
                continue;
            }
            ++replies;
            if (outcome.storeError) {
                Report(console, "watch " + gates[i].definition.address, gates[i], outcome, *host);
                ok = false;
            }
            const bool changed = !seen[i].valid || seen[i].failed || seen[i].raw != outcome.raw ||
                                 seen[i].value != outcome.value;
            seen[i] = Seen{true, false, outcome.raw, outcome.value};
            if (!changed) {
                continue;
            }
            const bool trigger = gates[i].memoryType() == kMemoryJournal;
            listing.add({TextCell(time), TextCell(gates[i].definition.address),
                         trigger ? TextCell(DescribeRequestValue(gates[i], outcome))
                                 : NumberCell(outcome.value),
                         trigger ? NoCell() : RawCell(outcome.raw, gates[i].width), NoCell()});
        }
    }
    std::string summary = "watch: " + Plural(requests, "request") + ", " + std::to_string(replies) +
                          (replies == 1 ? " reply, " : " replies, ") +
                          Plural(requests - replies, "error");
    if (!errors.empty()) {
        std::string kinds;
        for (const auto& [kind, number] : errors) {
            kinds += (kinds.empty() ? "" : ", ") + KindCount(kind, number);
        }
        summary += " (" + kinds + ")";
    }
    char loss[32];
    std::snprintf(loss, sizeof loss, ", %.1f%% lost",
                  requests == 0 ? 0.0 : 100.0 * (requests - replies) / requests);
    console.line(summary + loss);
    return ok ? 0 : 1;
}

int RunHistory(const CommandLine& line, Console&) {
    if (!HistoryAvailable()) {
        throw Failure("this build of kovra-host keeps no history: it was built without SQLite");
    }
    HistoryQuery query;
    query.gates = line.values("gate");
    for (const char* bound : {"from", "to"}) {
        if (const auto text = line.value(bound)) {
            const auto time = ParseTime(*text, std::string(bound) == "to");
            if (!time) {
                throw UsageError(std::string("--") + bound + " takes a time such as 2025-05-28, " +
                                 "2025-05-28T13:45:30, 2025-05-28T13:45:30+02:00 or @SECONDS, " +
                                 "not '" + *text + "'");
            }
            (std::string(bound) == "from" ? query.from : query.to) = *time;
        }
    }
    if (const auto limit = line.integer("limit", 1, 1000000000L)) {
        query.limit = static_cast<int>(*limit);
    }
    if (const auto last = line.integer("last", 1, 1000000000L)) {
        query.last = static_cast<int>(*last);
    }
    const OutputFormat format = FormatOf(line);
    std::string path = line.value("history").value_or("");
    if (path.empty()) {
        path = (fs::path(line.value("dir").value_or(".")) / "kovra-history.db").string();
    }
    if (!fs::exists(path)) {
        throw Failure("history database " + path + " does not exist");
    }
    std::unique_ptr<HistoryStore> store;
    try {
        store = HistoryStore::Open(path, false);
        if (line.has("alerts")) {
            Listing listing(format, {"RAISED", "NAME", "FLAGS", "TEXT"});
            char flags[16];
            for (const auto& row : store->alerts(query)) {
                std::snprintf(flags, sizeof flags, "0x%08X", row.alert.flags);
                Cell flagCell = TextCell(flags);
                flagCell.json = std::to_string(row.alert.flags);
                listing.add({TimeCell(row.alert.raisedAt), TextCell(row.alert.name), flagCell,
                             TextCell(row.alert.text)});
            }
            listing.finish();
            return 0;
        }
        std::vector<std::string> headings = kEventHeadings;
        headings.push_back("COLLECTED");
        Listing listing(format, headings);
        for (const auto& row : store->values(query)) {
            auto cells = EventRow(row.value);
            cells.push_back(TimeCell(row.value.collectedAt));
            listing.add(cells);
        }
        listing.finish();
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    return 0;
}

} // namespace kovra_host
