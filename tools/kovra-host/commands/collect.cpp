#include "commands/common.h"

#include "commands/forward.h"
#include "line/device.h"

#include <algorithm>
#include <cstdio>

namespace kovra_host {

namespace {

// The live progress line of one station's collection. The driver's thread
// counts the files and the records passed on; where the relay is in between,
// its thread counts the requests and the records read, which move while a
// file is read. Either draws the line.
class CollectProgress {
  public:
    CollectProgress(DriverSession& session, int station)
        : session_(session),
          prefix_("collecting station " + HexByte(static_cast<unsigned>(station)) + ": "),
          relayed_(session.traffic().has_value()) {
        session_.capture().onLine([this](const LogLine& line) {
            MutexLock lock(mutex_);
            const Sign sign = SignOf(line.text);
            if (sign == Sign::FileRead) {
                ++files_;
                show(true);
            } else if (sign == Sign::RecordPassedOver) {
                ++passed_;
                show(false);
            }
        });
        session_.capture().onValue([this](const StoredValue&) {
            MutexLock lock(mutex_);
            ++passed_;
            show(false);
        });
        session_.onStep([this](const Relay::Step& step) {
            MutexLock lock(mutex_);
            requests_ += step.request ? 1 : 0;
            read_ += step.records;
            show(false);
        });
        MutexLock lock(mutex_);
        show(true);
    }
    ~CollectProgress() {
        session_.capture().onLine(nullptr);
        session_.capture().onValue(nullptr);
        session_.onStep(nullptr);
        session_.console().endProgress();
    }
    CollectProgress(const CollectProgress&) = delete;
    CollectProgress& operator=(const CollectProgress&) = delete;

    unsigned files() {
        MutexLock lock(mutex_);
        return files_;
    }

  private:
    void show(bool force) {
        const std::int64_t now = MonotonicMs();
        if (!force && now - shown_ < 100) {
            return;
        }
        shown_ = now;
        const unsigned records = relayed_ ? read_ : passed_;
        const double seconds = static_cast<double>(now - began_) / 1000.0;
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.0f", seconds > 0 ? records / seconds : 0.0);
        std::string text = prefix_ + Plural(files_, "file") + ", " + Plural(records, "record");
        if (relayed_) {
            text += " read, " + Plural(requests_, "request");
        }
        session_.console().progress(text + ", " + rate + " records/s");
    }

    DriverSession& session_;
    const std::string prefix_;
    const bool relayed_;
    const std::int64_t began_ = MonotonicMs();
    Mutex mutex_;
    std::int64_t shown_ = 0;
    unsigned files_ = 0;
    unsigned passed_ = 0; // records passed on, or passed over
    unsigned read_ = 0;   // records read over the line
    unsigned requests_ = 0;
};

// The J-bus addresses of the records passed over for want of a gate:
// "J-bus addresses 0x0099, 0x009A".
std::string PassedAddresses(const std::vector<LogLine>& messages) {
    const std::vector<unsigned> addresses = PassedOverAddresses(messages);
    std::string text = addresses.size() == 1 ? "J-bus address " : "J-bus addresses ";
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", addresses[i]);
        text += (i == 0 ? "" : ", ") + std::string(hex);
    }
    return text;
}

// How many records the lost-record alerts stand for, where the reads that
// crossed the line tell it: ": at least 5 records lost from 'Journal de Bord'".
std::string LostCounts(const DriverSession& session, const std::vector<StoredAlert>& alerts) {
    std::string text;
    for (const auto& raised : alerts) {
        const auto alert = ReadLostRecordsAlert(raised.text);
        if (!alert || !alert->overflow) {
            continue; // a cleared file tells nothing of what it held
        }
        const auto read = session.fileRead(alert->station, alert->file);
        if (const auto lost = read ? LostInOverflow(*read) : std::nullopt) {
            text += (text.empty() ? ": " : "; ") + LostText(*lost) + " from " + alert->fileName;
        }
    }
    return text;
}

std::string CollectSummary(const DriverSession& session, int station, unsigned files,
                           const Outcome& outcome) {
    std::string summary = "station " + HexByte(static_cast<unsigned>(station)) + ": " +
                          Plural(files, "file") + " read, " +
                          Plural(static_cast<unsigned>(outcome.values.size()), "event");
    if (!session.keepsHistory()) {
        summary += " (not stored)";
    } else if (!outcome.storeError) {
        summary += " stored";
    }
    if (const std::string note = UndefinedNote(outcome.values); !note.empty()) {
        summary += ", " + note;
    }
    if (const unsigned passed = CountSigns(outcome.messages, Sign::RecordPassedOver); passed != 0) {
        summary += ", " + Plural(passed, "record") + " without a gate passed over (" +
                   PassedAddresses(outcome.messages);
        if (outcome.values.empty()) {
            summary += "; the gates file defines the gates of the journal's variables";
        }
        summary += ")";
    }
    if (!outcome.alerts.empty()) {
        summary += ", " + Plural(static_cast<unsigned>(outcome.alerts.size()), "alert") +
                   LostCounts(session, outcome.alerts);
    }
    return summary;
}

// How long the collection took, and against the line's own limit where the
// relay counted the bytes.
std::string CollectTiming(DriverSession& session, std::int64_t began) {
    const double seconds = static_cast<double>(MonotonicMs() - began) / 1000.0;
    char timing[160];
    if (const auto traffic = session.traffic()) {
        const CommSettings& settings = session.line();
        std::snprintf(timing, sizeof timing,
                      ", %llu requests, %llu bytes; %.2f s against the line's own limit of "
                      "%.2f s for these bytes at %u baud",
                      static_cast<unsigned long long>(traffic->requests),
                      static_cast<unsigned long long>(traffic->bytes), seconds,
                      WireSeconds(traffic->bytes, settings),
                      static_cast<unsigned>(settings.baudRate));
    } else {
        std::snprintf(timing, sizeof timing, "; %.2f s", seconds);
    }
    return timing;
}

std::string InterruptedNote(const DriverSession& session, unsigned records,
                            const std::vector<int>& stations, std::size_t done) {
    std::string left;
    for (std::size_t i = done; i < stations.size(); ++i) {
        left += (left.empty() ? "" : ", ") + HexByte(static_cast<unsigned>(stations[i]));
    }
    return "kovra-host: interrupted: " + Plural(records, "event") +
           (session.keepsHistory() ? " kept in the history" : " printed") +
           "; not collected: station" + (stations.size() - done == 1 ? " " : "s ") + left;
}

// The collected events as rows, their error cell empty.
void ListEvents(Listing& listing, const std::vector<StoredValue>& values) {
    for (const auto& value : values) {
        auto row = EventRow(value);
        row.push_back(NoCell());
        listing.add(row);
    }
}

} // namespace

Outcome CollectStation(DriverSession& session, int station, const std::string& command,
                       const std::function<void(const std::string&)>& report) {
    const ParsedGate gate = session.parse(StationGate(station, kMemoryJournal));
    unsigned files = 0;
    Outcome outcome;
    {
        CollectProgress progress(session, station);
        outcome = session.read(gate, command);
        files = progress.files();
    }
    const std::string summary = CollectSummary(session, station, files, outcome);
    if (report) {
        report(summary);
    } else {
        session.console().line(summary);
    }
    return outcome;
}

namespace {

// What the stations of one collection came to.
struct CollectTally {
    bool ok = true;
    unsigned records = 0;
    unsigned alerts = 0;
    std::size_t done = 0;
    unsigned portLosses = 0;
};

// The stations one after the other, until all are done or Ctrl-C stops the
// run; a station whose port went away is collected again once it is back.
CollectTally CollectStations(DriverSession& session, const std::vector<int>& stations,
                             Listing& listing, ForwardAfterCollect& forward) {
    Console& console = session.console();
    CollectTally tally;
    std::size_t checked = 0; // stations whose model was compared with the init file's
    CatchInterrupt();
    while (tally.done < stations.size() && !Interrupted()) {
        const int station = stations[tally.done];
        SetInterruptNotice("kovra-host: finishing station " +
                           HexByte(static_cast<unsigned>(station)) +
                           "; Ctrl-C again to stop now\n");
        if (checked == tally.done) {
            WarnModelMismatch(session, station);
            ++checked;
        }
        const Outcome outcome = CollectStation(session, station, "collect");
        tally.records += static_cast<unsigned>(outcome.values.size());
        tally.alerts += static_cast<unsigned>(outcome.alerts.size());
        ListEvents(listing, outcome.values);
        ParsedGate gate;
        gate.address.station = station;
        const bool reported =
            Report(console, "collect station " + HexByte(static_cast<unsigned>(station)), gate,
                   outcome, session);
        if (outcome.storeError) {
            tally.ok = false;
            break;
        }
        tally.ok = forward.send() && tally.ok;
        if (outcome.status != kStatusDone) {
            if (session.diagnose(outcome).kind == FaultKind::PortGone) {
                // The station is collected again once the port is back: only
                // the end of its collection decides the exit status.
                WaitForPort(session, console);
                ++tally.portLosses;
                continue;
            }
            listing.add(ErrorRow({NoCell()}, StationGate(station, kMemoryJournal), 3,
                                 FailureText(session, gate, outcome)));
        }
        tally.ok = tally.ok && reported;
        ++tally.done;
    }
    SetInterruptNotice("");
    return tally;
}

} // namespace

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
    auto run = OpenLine(line, console, {});
    DriverSession& session = run->session;
    ForwardAfterCollect forward(line, run->workspace, console);
    std::vector<std::string> headings = kEventHeadings;
    headings.push_back("ERROR");
    Listing listing(format, headings, {}, kDataOnly);
    const std::int64_t began = MonotonicMs();
    const CollectTally tally = CollectStations(session, stations, listing, forward);
    if (!listing.empty()) {
        listing.finish();
    }
    console.line("collect: " + Plural(tally.records, "record") + ", " +
                 Plural(tally.alerts, "lost-record alert") + CollectTiming(session, began));
    ReportLine(session, format);
    if (Interrupted() && tally.done < stations.size()) {
        console.line(InterruptedNote(session, tally.records, stations, tally.done));
        return 1;
    }
    if (tally.portLosses > 0 && tally.done == stations.size()) {
        console.line("collect: the port was gone " + Plural(tally.portLosses, "time") +
                     " and came back; " +
                     (tally.ok ? std::string("every station was collected in the end")
                               : std::string("the failures above remain")));
    }
    return tally.ok ? 0 : 1;
}

} // namespace kovra_host
