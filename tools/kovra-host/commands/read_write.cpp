#include "commands/common.h"

#include "contract/driver_files.h"
#include "halvopro/halvopro.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kovra_host {

namespace {

// Reads `count` elements from the gate on, as many a request as a block read
// carries; a last single element is read as a single gate. False when a
// request failed.
bool ReadElements(DriverSession& session, Console& console, const ParsedGate& gate, int count,
                  Listing& listing) {
    bool ok = true;
    for (int done = 0; done < count;) {
        const int chunk = std::min(count - done, static_cast<int>(MaxBlockCount(gate.width)));
        const std::string first = *ElementAddress(gate, done);
        const ParsedGate part =
            chunk == 1 ? session.parse(first) : session.parseBlock(first, chunk);
        const Outcome outcome =
            chunk == 1 ? session.read(part, "read") : session.readBlock(part, chunk);
        ok = Report(console, "read " + first, part, outcome, session) && ok;
        for (int i = 0; i < chunk; ++i) {
            const std::string element = *ElementAddress(part, i);
            if (outcome.status != kStatusDone) {
                listing.add(ErrorRow({}, element, 2, FailureText(session, part, outcome)));
                continue;
            }
            const std::uint32_t raw = chunk == 1 ? outcome.raw : outcome.block[i];
            listing.add({TextCell(element), NumberCell(session.cook(element, raw)),
                         RawCell(raw, part.width), NoCell()});
        }
        done += chunk;
    }
    return ok;
}

// The row of one gate read once: its value, or what the read set off for
// the gates that trigger (a collection, a clock setting, the stamps).
std::vector<Cell> ReadRow(const DriverSession& session, const ParsedGate& gate,
                          const Outcome& outcome) {
    if (outcome.status != kStatusDone) {
        return ErrorRow({}, gate.definition.address, 2, FailureText(session, gate, outcome));
    }
    const bool trigger = gate.memoryType() == kMemoryJournal || gate.memoryType() == kMemoryClock ||
                         (gate.memoryType() == kMemoryLastQuery && gate.address.address == 1);
    return {TextCell(gate.definition.address),
            trigger ? TextCell(DescribeRequestValue(gate, outcome)) : NumberCell(outcome.value),
            trigger ? NoCell() : RawCell(outcome.raw, gate.width), NoCell()};
}

// The raw PLC value given with --raw, decimal or 0x hexadecimal.
std::uint32_t RawValue(const ParsedGate& gate, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    const unsigned long long limit = gate.width == 1 ? 1 : gate.width == 16 ? 0xFFFF : 0xFFFFFFFF;
    if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || value > limit) {
        throw Failure("raw value '" + text + "' does not fit gate " + gate.definition.address +
                      " (0 to " + std::to_string(limit) + ")");
    }
    return static_cast<std::uint32_t>(value);
}

// The raw value of a value in the gate's own units, its cooking undone.
std::uint32_t UncookedValue(const ParsedGate& gate, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') {
        throw UsageError("value '" + text + "' is not a number");
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
    return *uncooked;
}

} // namespace

int RunRead(const CommandLine& line, Console& console) {
    if (line.arguments.empty()) {
        throw UsageError("read needs at least one GATE");
    }
    const int count = static_cast<int>(line.integer("count", 1, 65536).value_or(1));
    RequirePort(line);
    auto run = OpenLine(line, console, line.arguments);
    DriverSession& session = run->session;
    std::vector<ParsedGate> gates;
    for (const auto& address : line.arguments) {
        gates.push_back(count == 1 ? session.parse(address) : session.parseBlock(address, 2));
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
            ok = ReadElements(session, console, gate, count, listing) && ok;
            continue;
        }
        const Outcome outcome = session.read(gate, "read");
        NoteEvents(console, gate, outcome, events);
        ok = Report(console, "read " + gate.definition.address, gate, outcome, session) && ok;
        listing.add(ReadRow(session, gate, outcome));
        if (outcome.storeError) {
            break;
        }
    }
    listing.finish();
    PrintEvents(events, format);
    ReportLine(session, format);
    return ok ? 0 : 1;
}

namespace {

// An H gate names the driver's last-event stamp, but the driver writes it as
// a PLC register of that number: 05HA is register 0x0041, 05H0001 register 1,
// which holds the PLC clock's day and month. Done only when asked for.
void RefuseStampWrite(const CommandLine& line, const ParsedGate& gate, std::uint32_t raw) {
    if (gate.memoryType() != kMemoryLastQuery || line.has("force")) {
        return;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(gate.address.address));
    const bool clock = gate.address.address >= 1 && gate.address.address <= 4;
    throw Failure("write " + gate.definition.address + " would write " + FormatRaw(raw, 16) +
                  " to register " + hex + " of station " +
                  HexByte(static_cast<unsigned>(gate.station())) +
                  (clock ? ", a register of the PLC's clock" : "") +
                  ", not to the driver's last-event stamp; give --force to write it");
}

} // namespace

int RunWrite(const CommandLine& line, Console& console) {
    if (line.arguments.size() != 2) {
        throw UsageError("write needs a GATE and a VALUE");
    }
    RequirePort(line);
    const std::string& text = line.arguments[1];
    auto run = OpenLine(line, console, {line.arguments[0]});
    DriverSession& session = run->session;
    const ParsedGate gate = session.parse(line.arguments[0]);
    const std::uint32_t raw = line.has("raw") ? RawValue(gate, text) : UncookedValue(gate, text);
    RefuseStampWrite(line, gate, raw);
    const Outcome outcome = session.write(gate, raw, "write");
    std::vector<StoredValue> events;
    NoteEvents(console, gate, outcome, events);
    if (!Report(console, "write " + gate.definition.address, gate, outcome, session)) {
        PrintEvents(events, OutputFormat::Text);
        ReportLine(session, OutputFormat::Text);
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
    Print(gate.definition.address + " <- " + FormatValue(written) + " (raw " +
          FormatRaw(raw, gate.width) + ")");
    PrintEvents(events, OutputFormat::Text);
    ReportLine(session, OutputFormat::Text);
    return 0;
}

} // namespace kovra_host
