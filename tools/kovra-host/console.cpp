#include "console.h"

#include "format.h"
#include "halvopro/halvopro.h"
#include "platform.h"

#include <optional>

namespace kovra_host {

using kovra::kSeverityError;
using kovra::kSeverityFatal;
using kovra::kSeverityTrace;

Console::Console(std::FILE* stream) : stream_(stream), terminal_(IsTerminal(stream)) {}

void Console::clearLocked() {
    if (!progress_.empty()) {
        std::fputs("\r\033[K", stream_);
    }
}

void Console::line(const std::string& text) {
    MutexLock lock(mutex_);
    clearLocked();
    std::fprintf(stream_, "%s\n", text.c_str());
    if (!progress_.empty()) {
        std::fputs(progress_.c_str(), stream_);
    }
    std::fflush(stream_);
}

void Console::progress(const std::string& text) {
    if (!terminal_) {
        return;
    }
    MutexLock lock(mutex_);
    std::fputs("\r\033[K", stream_);
    std::fputs(text.c_str(), stream_);
    progress_ = text;
    std::fflush(stream_);
}

void Console::endProgress() {
    MutexLock lock(mutex_);
    clearLocked();
    progress_.clear();
    std::fflush(stream_);
}

namespace {

// Rank of a severity in the order of detail that the levels follow.
int Rank(int severity) {
    switch (severity) {
    case 0:
        return 0;
    case kSeverityFatal:
        return 1;
    case kSeverityError:
        return 2;
    default:
        return 3;
    }
}

} // namespace

std::optional<int> ParseLogLevel(const std::string& text) {
    if (text == "none" || text == "0") {
        return 0;
    }
    if (text == "fatal" || text == "1") {
        return kSeverityFatal;
    }
    if (text == "error" || text == "32") {
        return kSeverityError;
    }
    if (text == "trace" || text == "8") {
        return kSeverityTrace;
    }
    return std::nullopt;
}

bool Echoes(int level, int severity) {
    return level != 0 && Rank(severity) <= Rank(level);
}

DriverLog::DriverLog(Console& console, int echoLevel) : console_(console), echoLevel_(echoLevel) {}

DriverLog::~DriverLog() {
    if (installed_) {
        halvo::OnLog(nullptr);
    }
}

void DriverLog::install() {
    halvo::SetLogSink(nullptr);
    halvo::OnLog([this](const halvo::LogEntry& entry) { take({entry.severity, entry.text}); });
    installed_ = true;
}

std::size_t DriverLog::mark() {
    MutexLock lock(mutex_);
    return lines_.size();
}

std::vector<LogLine> DriverLog::since(std::size_t mark) {
    MutexLock lock(mutex_);
    if (mark >= lines_.size()) {
        return {};
    }
    return {lines_.begin() + static_cast<std::ptrdiff_t>(mark), lines_.end()};
}

void DriverLog::forget() {
    MutexLock lock(mutex_);
    lines_.clear();
}

void DriverLog::onLine(std::function<void(const LogLine&)> listener) {
    MutexLock lock(mutex_);
    listener_ = std::move(listener);
}

void DriverLog::take(const LogLine& line) {
    std::function<void(const LogLine&)> listener;
    {
        MutexLock lock(mutex_);
        lines_.push_back(line);
        listener = listener_;
    }
    if (Echoes(echoLevel_, line.severity)) {
        console_.line(Cp437ToUtf8(line.text));
    }
    if (listener) {
        listener(line);
    }
}

} // namespace kovra_host
