// Standard error as kovra-host uses it: its own notes, the driver's messages
// at the chosen level, the frame trace, and on a terminal one live progress
// line that every other line clears and then draws again.
#pragma once

#include "platform.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

class Console {
  public:
    explicit Console(std::FILE* stream);
    // A whole line; may be called from any thread.
    void line(const std::string& text);
    // Replaces the progress line (terminals only; elsewhere ignored).
    void progress(const std::string& text);
    void endProgress();
    bool terminal() const { return terminal_; }

  private:
    void clearLocked();

    std::FILE* stream_;
    bool terminal_;
    Mutex mutex_;
    std::string progress_;
};

struct LogLine {
    int severity = 0;
    std::string text;
};

// Echo levels, in rising order of detail: 0 nothing, 1 fatal only, 32 fatal
// and errors or warnings, 8 everything including trace and information.
// Returns nothing for an unknown level; names none, fatal, error, trace work too.
std::optional<int> ParseLogLevel(const std::string& text);
bool Echoes(int level, int severity);

// The driver's messages as the host library receives them: collected, echoed
// to the console at the chosen level, and handed to a listener as they come.
class DriverLog {
  public:
    DriverLog(Console& console, int echoLevel);
    ~DriverLog();
    // Makes the host library hand its messages here.
    void install();

    std::size_t mark();
    std::vector<LogLine> since(std::size_t mark);
    // Drops the messages collected so far; earlier marks see nothing more.
    void forget();
    void onLine(std::function<void(const LogLine&)> listener);

  private:
    void take(const LogLine& line);

    Console& console_;
    int echoLevel_;
    bool installed_ = false;
    Mutex mutex_;
    std::vector<LogLine> lines_;
    std::function<void(const LogLine&)> listener_;
};

} // namespace kovra_host
