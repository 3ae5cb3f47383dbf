#include "session/capture.h"

#include "halvopro/halvopro.h"
#include "output/format.h"

#include <ctime>
#include <iterator>

namespace kovra_host {
namespace {

using kovra::kSeverityError;
using kovra::kSeverityFatal;
using kovra::kSeverityTrace;

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

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// The items from `from` on, moved out of `items`.
template <typename T> std::vector<T> TakeTail(std::vector<T>& items, std::size_t from) {
    if (from >= items.size()) {
        return {};
    }
    const auto begin = items.begin() + static_cast<std::ptrdiff_t>(from);
    std::vector<T> tail(std::make_move_iterator(begin), std::make_move_iterator(items.end()));
    items.erase(begin, items.end());
    return tail;
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

Capture::Capture(Console& console, int echoLevel) : console_(console), echoLevel_(echoLevel) {}

Capture::~Capture() {
    if (installed_) {
        halvo::OnLog(nullptr);
        halvo::OnHistory(nullptr);
        halvo::OnAlert(nullptr);
    }
}

void Capture::install() {
    halvo::SetLogSink(nullptr);
    halvo::OnLog([this](const halvo::LogEntry& entry) {
        take(LogLine{entry.severity, entry.text});
    });
    halvo::OnHistory([this](const halvo::HistoryEntry& entry) {
        StoredValue value;
        value.gate = entry.address;
        value.value = entry.value;
        value.raw = entry.raw;
        if (entry.time != 0) {
            value.plcTime = static_cast<std::int64_t>(entry.time);
        }
        value.collectedAt = Now();
        const auto gate = halvo::FindGate(entry.address);
        value.undefined = gate && gate->undefined;
        take(value);
    });
    halvo::OnAlert([this](const halvo::Alert& alert) {
        MutexLock lock(mutex_);
        caught_.alerts.push_back(StoredAlert{alert.name, alert.text, alert.flags, Now()});
    });
    installed_ = true;
}

Capture::Mark Capture::mark() {
    MutexLock lock(mutex_);
    return {caught_.messages.size(), caught_.values.size(), caught_.alerts.size()};
}

Captured Capture::takeSince(const Mark& mark) {
    MutexLock lock(mutex_);
    return {TakeTail(caught_.messages, mark.messages), TakeTail(caught_.values, mark.values),
            TakeTail(caught_.alerts, mark.alerts)};
}

void Capture::forget() {
    MutexLock lock(mutex_);
    caught_ = Captured{};
}

void Capture::onLine(std::function<void(const LogLine&)> listener) {
    MutexLock lock(mutex_);
    lineListener_ = std::move(listener);
}

void Capture::onValue(std::function<void(const StoredValue&)> listener) {
    MutexLock lock(mutex_);
    valueListener_ = std::move(listener);
}

void Capture::take(const LogLine& line) {
    std::function<void(const LogLine&)> listener;
    {
        MutexLock lock(mutex_);
        caught_.messages.push_back(line);
        listener = lineListener_;
    }
    if (Echoes(echoLevel_, line.severity)) {
        console_.line(Cp437ToUtf8(line.text));
    }
    if (listener) {
        listener(line);
    }
}

void Capture::take(const StoredValue& value) {
    std::function<void(const StoredValue&)> listener;
    {
        MutexLock lock(mutex_);
        caught_.values.push_back(value);
        listener = valueListener_;
    }
    if (listener) {
        listener(value);
    }
}

} // namespace kovra_host
