// What the driver hands the host library, caught in one place: its messages,
// the values it forces into the log and the alerts it raises. A request marks
// where it begins and takes what came since; a live listener sees each item as
// it comes, on whatever thread the driver runs.
#pragma once

#include "history/history_store.h"
#include "output/console.h"
#include "platform/platform.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

struct LogLine {
    int severity = 0;
    std::string text;
};

// Echo levels, in rising order of detail: 0 nothing, 1 fatal only, 32 fatal
// and errors or warnings, 8 everything including trace and information.
// Returns nothing for an unknown level; names none, fatal, error, trace work too.
std::optional<int> ParseLogLevel(const std::string& text);
bool Echoes(int level, int severity);

struct Captured {
    std::vector<LogLine> messages;
    std::vector<StoredValue> values;
    std::vector<StoredAlert> alerts;
};

class Capture {
  public:
    Capture(Console& console, int echoLevel);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Makes the host library hand its messages, values and alerts here.
    void install();

    struct Mark {
        std::size_t messages = 0;
        std::size_t values = 0;
        std::size_t alerts = 0;
    };
    Mark mark();
    // What came since the mark, handed over: the capture keeps it no longer,
    // so a long run holds each item once.
    Captured takeSince(const Mark& mark);
    // Drops what was caught so far; earlier marks see nothing more.
    void forget();

    void onLine(std::function<void(const LogLine&)> listener);
    void onValue(std::function<void(const StoredValue&)> listener);

  private:
    void take(const LogLine& line);
    void take(const StoredValue& value);

    Console& console_;
    int echoLevel_;
    bool installed_ = false;
    Mutex mutex_;
    Captured caught_;
    std::function<void(const LogLine&)> lineListener_;
    std::function<void(const StoredValue&)> valueListener_;
};

} // namespace kovra_host
