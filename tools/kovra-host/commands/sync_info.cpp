#include "commands/common.h"

#include "line/device.h"

#include <cstdio>
#include <ctime>

namespace kovra_host {

namespace {

std::string Formatted(const char* format, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

} // namespace

int RunInfo(const CommandLine& line, Console& console) {
    HostSettings settings = SettingsFrom(line);
    settings.session.driverPath = Absolute(settings.session.driverPath);
    Workspace workspace(settings.workspace, console);
    workspace.enter();
    DriverSession session(settings.session, console);
    const DriverInfo info = session.driverInfo();
    static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
    static const char* const kStop[] = {"1", "1.5", "2"};
    const CommSettings& defaults = info.defaultSettings;
    Print(Formatted("Driver        %s (id %d)", info.driverName ? info.driverName : "?",
                    info.driverId));
    Print(Formatted("Context       %d bytes", info.contextSize));
    Print(Formatted(
        "Default line  %u baud, %u data bits, parity %s, %s stop bit%s", defaults.baudRate,
        defaults.dataBits, defaults.parity < 5 ? kParity[defaults.parity] : "?",
        defaults.stopBits < 3 ? kStop[defaults.stopBits] : "?", defaults.stopBits == 0 ? "" : "s"));
    Print(Formatted("Info words    %d, %d", info.infoA, info.infoB));
    if (info.banner != nullptr) {
        Print(Cp437ToUtf8(info.banner));
    }
    return 0;
}

int RunSync(const CommandLine& line, Console& console) {
    if (line.arguments.size() != 1) {
        throw UsageError("sync needs one STATION");
    }
    RequirePort(line);
    const int station = ParseStation(line.arguments[0]);
    auto run = OpenLine(line, console, {});
    DriverSession& session = run->session;
    const ParsedGate gate = session.parse(StationGate(station, kMemoryClock));
    // The drift it had, to tell how far off the clock was.
    const Outcome before = session.readBlock(
        session.parseBlock(WordGate(station, kClockAddress), kClockWords), kClockWords);
    const std::time_t now = std::time(nullptr);
    const auto drift = before.status == kStatusDone ? ClockDrift(before.block, now) : std::nullopt;
    const Outcome outcome = session.read(gate, "sync");
    if (!Report(console, "sync station " + HexByte(static_cast<unsigned>(station)), gate, outcome,
                session)) {
        return 1;
    }
    Print("station " + HexByte(static_cast<unsigned>(station)) + ": clock set to " +
          IsoLocalTime(static_cast<std::int64_t>(now)) +
          (drift ? " (it was " + DriftText(*drift) + " off)" : ""));
    return 0;
}

} // namespace kovra_host
