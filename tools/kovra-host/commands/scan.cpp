#include "commands/common.h"

#include "line/device.h"
#include "line/line_search.h"

#include <algorithm>
#include <cstdio>

namespace kovra_host {

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

struct StationLooks {
    std::optional<std::string> model;
    std::optional<std::string> clock;
    std::optional<std::string> drift; // against this computer's clock
};

Cell LookCell(const std::optional<std::string>& text) {
    return text ? TextCell(*text) : NullCell();
}

StationLooks LookAt(DriverSession& session, int station) {
    StationLooks looks;
    const auto readWords = [&](unsigned address, int count) {
        return session.readBlock(session.parseBlock(WordGate(station, address), count), count);
    };
    looks.model = LineModel(session, station);
    const std::time_t now = std::time(nullptr);
    if (const Outcome clock = readWords(kClockAddress, kClockWords); clock.status == kStatusDone) {
        looks.clock = ClockFromRegisters(clock.block);
        if (const auto drift = ClockDrift(clock.block, now)) {
            looks.drift = DriftText(*drift);
        }
    }
    return looks;
}

// What one address tells: its row, if it has one, and whether a station
// answers there. A silent address keeps the short timeout; a station's long
// replies get the whole one.
struct ScanResult {
    std::optional<std::vector<Cell>> row;
    bool answers = false;
};

ScanResult ScanStation(DriverSession& session, int station, unsigned timeout, unsigned attempt) {
    const std::string name = HexByte(static_cast<unsigned>(station));
    const Outcome outcome =
        session.read(session.parse(WordGate(station, kFileTableAddress)), "scan");
    const Diagnosis diagnosis =
        outcome.status == kStatusDone ? Diagnosis{} : session.diagnose(outcome);
    if (diagnosis.kind == FaultKind::PortGone) {
        session.console().endProgress();
        throw Failure(Explain(diagnosis, station, session.settings().port));
    }
    if (outcome.status != kStatusDone && diagnosis.kind != FaultKind::Exception) {
        if (diagnosis.kind == FaultKind::SilentStation || diagnosis.kind == FaultKind::Unknown) {
            return {};
        }
        return {std::vector<Cell>{TextCell(name), NoCell(), NoCell(), NoCell(),
                                  TextCell(KindName(diagnosis.kind))},
                false};
    }
    session.setReplyTimeout(timeout);
    const StationLooks looks = LookAt(session, station);
    session.setReplyTimeout(attempt);
    const unsigned code = diagnosis.exceptionCode.value_or(0);
    return {std::vector<Cell>{
                TextCell(name), LookCell(looks.model), LookCell(looks.clock), LookCell(looks.drift),
                TextCell(outcome.status == kStatusDone
                             ? "answers"
                             : "exception " + HexByte(code) + ": " + ExceptionMeaning(code))},
            true};
}

CommandLine WithCandidate(CommandLine options, const LineCandidate& candidate) {
    options.options["baud"] = {std::to_string(candidate.baud)};
    if (!candidate.parity.empty()) {
        options.options["parity"] = {candidate.parity};
        options.options["stop-bits"] = {candidate.stopBits};
    }
    return options;
}

// Whether one of the stations answers at the candidate's settings, the
// line moved to them first.
bool AnswersAt(DriverSession& session, const CommandLine& line, const LineCandidate& candidate,
               const std::vector<int>& stations) {
    session.console().progress("trying " + CandidateOptions(candidate));
    if (!session.changeLine(SettingsFrom(WithCandidate(line, candidate)).session)) {
        throw Failure("port " + session.settings().port + " refuses " +
                      CandidateOptions(candidate));
    }
    session.setReplyTimeout(ProbeTimeoutMs(candidate.baud));
    for (const int station : stations) {
        const Outcome outcome =
            session.read(session.parse(WordGate(station, kFileTableAddress)), "scan");
        const Diagnosis diagnosis =
            outcome.status == kStatusDone ? Diagnosis{} : session.diagnose(outcome);
        if (diagnosis.kind == FaultKind::PortGone) {
            throw Failure(Explain(diagnosis, station, session.settings().port));
        }
        if (outcome.status == kStatusDone || diagnosis.kind == FaultKind::Exception) {
            session.console().endProgress();
            session.console().line("scan: station " + HexByte(static_cast<unsigned>(station)) +
                                   " answers with " + CandidateOptions(candidate));
            return true;
        }
    }
    return false;
}

// The line for a scan. With --baud auto [--parity auto], the first line
// settings at which a station answers (one given, or one of the first
// addresses, which most lines use), tried on one driver instance with a
// reply timeout to suit each speed; the line is left at those settings.
std::unique_ptr<LineRun> OpenScanLine(const CommandLine& line, Console& console, int first,
                                      int last, bool ranged) {
    const bool searchFraming = line.value("parity") == "auto";
    if (line.value("baud") != "auto") {
        if (searchFraming) {
            throw UsageError("--parity auto goes with --baud auto");
        }
        RequirePort(line);
        return OpenLine(line, console, {});
    }
    const auto candidates = LineCandidates(searchFraming);
    RequirePort(WithCandidate(line, candidates.front()));
    std::vector<int> stations = {0x01, 0x02, 0x03};
    if (ranged) {
        stations.clear();
        for (int station = first; station <= last; ++station) {
            stations.push_back(station);
        }
    }
    auto run = OpenLine(WithCandidate(line, candidates.front()), console, {});
    const unsigned timeout = run->session.replyTimeoutMs();
    CatchInterrupt();
    const auto found = SearchLine(candidates, [&](const LineCandidate& candidate) {
        return !Interrupted() && AnswersAt(run->session, line, candidate, stations);
    });
    console.endProgress();
    if (Interrupted()) {
        throw Failure("scan interrupted before a station answered");
    }
    if (!found) {
        throw Failure("no station answers at 9600, 19200, 38400, 57600, 4800, 2400 or 1200 baud" +
                      std::string(searchFraming ? " with parity none, even or odd" : ""));
    }
    run->session.setReplyTimeout(timeout);
    return run;
}

} // namespace

int RunScan(const CommandLine& line, Console& console) {
    if (line.arguments.size() > 1) {
        throw UsageError("scan takes one range of stations, FIRST-LAST");
    }
    const auto [first, last] =
        ParseStationRange(line.arguments.empty() ? "01-F7" : line.arguments[0]);
    auto run = OpenScanLine(line, console, first, last, !line.arguments.empty());
    DriverSession& session = run->session;
    // The driver tries a silent station four times; each try gets a quarter
    // of the reply timeout (in the driver's 10 ms ticks, rounded down), so a
    // silent address costs about one timeout.
    const unsigned timeout = session.replyTimeoutMs();
    const unsigned attempt = std::max(10u, timeout / 4 / 10 * 10);
    Listing table(FormatOf(line), {"STATION", "MODEL", "CLOCK", "DRIFT", "REPLY"});
    std::string found;
    unsigned answering = 0;
    const std::int64_t began = MonotonicMs();
    CatchInterrupt();
    // A change of timeout reopens the port: the short one stays for the
    // silent addresses, the whole one comes back for a station's long replies.
    session.setReplyTimeout(attempt);
    int station = first;
    for (; station <= last && !Interrupted(); ++station) {
        const std::string name = HexByte(static_cast<unsigned>(station));
        console.progress("scanning station " + name + " (" + Plural(answering, "station") +
                         " found)");
        const ScanResult result = ScanStation(session, station, timeout, attempt);
        if (result.answers) {
            ++answering;
            found += (found.empty() ? "" : ", ") + name;
        }
        if (result.row) {
            table.add(*result.row);
        }
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
    ReportLine(session, FormatOf(line));
    return 0;
}

} // namespace kovra_host
