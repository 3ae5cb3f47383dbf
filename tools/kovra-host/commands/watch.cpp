#include "commands/common.h"

#include "halvopro/halvopro.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

namespace kovra_host {

namespace {

// The gates polled, what each showed last, and the counts for the summary.
class Watch {
  public:
    Watch(DriverSession& session, Console& console, std::vector<ParsedGate> gates,
          OutputFormat format)
        : session_(session), console_(console), gates_(std::move(gates)), seen_(gates_.size()),
          listing_(format, {"TIME", "GATE", "UNDEFINED", "VALUE", "RAW", "ERROR"}, {25, 8, 12, 12},
                   kDataOnly) {}

    void poll() {
        // A long watch keeps only what the current poll logs.
        halvo::ClearRecords();
        session_.capture().forget();
        for (std::size_t i = 0; i < gates_.size() && !Interrupted(); ++i) {
            read(i);
        }
    }

    bool ok() const { return ok_; }

    std::string summary() const {
        std::string summary =
            "watch: " + Plural(requests_, "request") + ", " + std::to_string(replies_) +
            (replies_ == 1 ? " reply, " : " replies, ") + Plural(requests_ - replies_, "error");
        if (!errors_.empty()) {
            std::string kinds;
            for (const auto& [kind, number] : errors_) {
                kinds += (kinds.empty() ? "" : ", ") + KindCount(kind, number);
            }
            summary += " (" + kinds + ")";
        }
        char loss[32];
        std::snprintf(loss, sizeof loss, ", %.1f%% lost",
                      requests_ == 0 ? 0.0 : 100.0 * (requests_ - replies_) / requests_);
        return summary + loss;
    }

  private:
    struct Seen {
        bool valid = false;
        bool failed = false;
        std::uint32_t raw = 0;
        double value = 0;
    };

    void read(std::size_t i) {
        const ParsedGate& gate = gates_[i];
        const Outcome outcome = session_.read(gate, "watch");
        ++requests_;
        const std::string time = IsoLocalTime(static_cast<std::int64_t>(std::time(nullptr)));
        listEvents(gate, outcome, time);
        if (outcome.status != kStatusDone) {
            failed(i, outcome, time);
            return;
        }
        ++replies_;
        if (outcome.storeError) {
            Report(console_, "watch " + gate.definition.address, gate, outcome, session_);
            ok_ = false;
        }
        const bool changed = !seen_[i].valid || seen_[i].failed || seen_[i].raw != outcome.raw ||
                             seen_[i].value != outcome.value;
        seen_[i] = Seen{true, false, outcome.raw, outcome.value};
        if (!changed) {
            return;
        }
        const bool trigger = gate.memoryType() == kMemoryJournal;
        listing_.add(
            {TextCell(time), TextCell(gate.definition.address), NoCell(),
             trigger ? TextCell(DescribeRequestValue(gate, outcome)) : NumberCell(outcome.value),
             trigger ? NoCell() : RawCell(outcome.raw, gate.width), NoCell()});
    }

    void listEvents(const ParsedGate& gate, const Outcome& outcome, const std::string& time) {
        std::vector<StoredValue> events;
        NoteEvents(console_, gate, outcome, events);
        for (const auto& event : events) {
            auto row = EventRow(event);
            if (!event.plcTime) {
                row[0] = TextCell(time);
            }
            row.push_back(NoCell());
            listing_.add(row);
        }
    }

    void failed(std::size_t i, const Outcome& outcome, const std::string& time) {
        const ParsedGate& gate = gates_[i];
        ok_ = false;
        const Diagnosis diagnosis = session_.diagnose(outcome);
        ++errors_[diagnosis.kind];
        Report(console_, "watch " + gate.definition.address, gate, outcome, session_);
        listing_.add(ErrorRow({TextCell(time)}, gate.definition.address, 3,
                              FailureText(session_, gate, outcome)));
        seen_[i].failed = true;
        if (diagnosis.kind == FaultKind::PortGone) {
            WaitForPort(session_, console_);
        }
    }

    DriverSession& session_;
    Console& console_;
    std::vector<ParsedGate> gates_;
    std::vector<Seen> seen_;
    Listing listing_;
    bool ok_ = true;
    unsigned requests_ = 0;
    unsigned replies_ = 0;
    std::map<FaultKind, unsigned> errors_;
};

// Sleeps until the next poll is due; a slow poll moves the rhythm instead of
// firing the missed ones.
void AwaitPoll(std::int64_t& next, std::int64_t periodMs) {
    next += periodMs;
    const std::int64_t now = MonotonicMs();
    if (next < now) {
        next = now;
    }
    if (next > now) {
        SleepMs(static_cast<unsigned>(next - now));
    }
}

} // namespace

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
    auto run = OpenLine(line, console, line.arguments);
    std::vector<ParsedGate> gates;
    for (const auto& address : line.arguments) {
        gates.push_back(run->session.parse(address));
    }
    Watch watch(run->session, console, std::move(gates), format);
    const auto periodMs = static_cast<std::int64_t>(std::llround(*every * 1000.0));
    std::int64_t next = MonotonicMs();
    // Ctrl-C ends the watch between polls, so the driver is ended and the
    // port released as after the last poll.
    CatchInterrupt();
    for (long poll = 0; (!count || poll < *count) && !Interrupted(); ++poll) {
        if (poll > 0) {
            AwaitPoll(next, periodMs);
            if (Interrupted()) {
                break;
            }
        }
        watch.poll();
    }
    console.line(watch.summary());
    ReportLine(run->session, format);
    return watch.ok() ? 0 : 1;
}

} // namespace kovra_host
