#include "halvopro/halvopro.h"

#include <cstdarg>
#include <cstring>
#include <map>

namespace halvo {
namespace {

struct Failure {
    unsigned status = 0;
    int times = 0; // -1: always
};

struct State {
    std::vector<Gate> gates;
    std::map<unsigned, std::uint32_t> lastRaw;
    std::vector<LogEntry> log;
    std::vector<HistoryEntry> history;
    std::vector<Alert> alerts;
    std::map<Call, Failure> failures;
    std::map<std::string, unsigned> failingLookups;
    std::FILE* sink = stderr;
    int maxSeverity = 32;
    std::function<void(const HistoryEntry&)> historyListener;
    std::function<void(const Alert&)> alertListener;
    std::function<void(const LogEntry&)> logListener;
    std::function<std::optional<Gate>(const std::string&)> undefinedResolver;
};

State& state() {
    static State instance;
    return instance;
}

// The status a call must return instead of working, or 0.
unsigned takeFailure(State& s, Call call) {
    auto it = s.failures.find(call);
    if (it == s.failures.end() || it->second.times == 0) {
        return 0;
    }
    if (it->second.times > 0) {
        --it->second.times;
    }
    return it->second.status;
}

Gate* gateById(State& s, unsigned id) {
    return (id >= 1 && id <= s.gates.size()) ? &s.gates[id - 1] : nullptr;
}

bool isLongType(int hostType) {
    return hostType == 3 || hostType == 4 || hostType == 5;
}

} // namespace

double Cook(const Gate& gate, std::uint32_t raw) {
    if (gate.rule == CookRule::FloatBits) {
        float pattern = 0;
        std::memcpy(&pattern, &raw, sizeof pattern);
        return pattern;
    }
    if (!gate.isSigned) {
        return raw * gate.scale + gate.offset;
    }
    const double number = isLongType(gate.hostType)
                              ? static_cast<double>(static_cast<std::int32_t>(raw))
                              : static_cast<double>(static_cast<std::int16_t>(raw & 0xFFFFu));
    return number * gate.scale + gate.offset;
}

unsigned DefineGate(const Gate& gate) {
    State& s = state();
    for (auto& existing : s.gates) {
        if (existing.address == gate.address) {
            const unsigned id = existing.id;
            existing = gate;
            existing.id = id;
            return id;
        }
    }
    Gate added = gate;
    added.id = static_cast<unsigned>(s.gates.size() + 1);
    s.gates.push_back(added);
    return added.id;
}

std::optional<Gate> FindGate(const std::string& address) {
    State& s = state();
    for (const auto& gate : s.gates) {
        if (gate.address == address) {
            return gate;
        }
    }
    return std::nullopt;
}

std::vector<Gate> Gates() {
    State& s = state();
    return s.gates;
}

std::vector<LogEntry> Log() {
    State& s = state();
    return s.log;
}

std::vector<HistoryEntry> History() {
    State& s = state();
    return s.history;
}

std::vector<Alert> Alerts() {
    State& s = state();
    return s.alerts;
}

void FailCalls(Call call, unsigned status, int times) {
    State& s = state();
    s.failures[call] = Failure{status, times};
}

void FailLookup(const std::string& address, unsigned status) {
    State& s = state();
    s.failingLookups[address] = status;
}

void SetLogSink(std::FILE* sink, int maxSeverity) {
    State& s = state();
    s.sink = sink;
    s.maxSeverity = maxSeverity;
}

void OnHistory(std::function<void(const HistoryEntry&)> listener) {
    State& s = state();
    s.historyListener = std::move(listener);
}

void OnAlert(std::function<void(const Alert&)> listener) {
    State& s = state();
    s.alertListener = std::move(listener);
}

void OnLog(std::function<void(const LogEntry&)> listener) {
    State& s = state();
    s.logListener = std::move(listener);
}

void OnUndefinedGate(std::function<std::optional<Gate>(const std::string&)> resolver) {
    State& s = state();
    s.undefinedResolver = std::move(resolver);
}

void ClearRecords() {
    State& s = state();
    s.log.clear();
    s.history.clear();
    s.alerts.clear();
}

void Reset() {
    ClearRecords();
    State& s = state();
    s.gates.clear();
    s.lastRaw.clear();
    s.failures.clear();
    s.failingLookups.clear();
    s.historyListener = nullptr;
    s.alertListener = nullptr;
    s.logListener = nullptr;
    s.undefinedResolver = nullptr;
}

} // namespace halvo

using namespace halvo;
using kovra::kHalvoNoSuchGate;
using kovra::kHalvoOk;
using kovra::ValueCell;

extern "C" {

int HALVO_CALL err(int severity, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::function<void(const LogEntry&)> listener;
    const LogEntry entry{severity, text};
    {
        State& s = state();
        s.log.push_back(entry);
        if (s.sink != nullptr && severity <= s.maxSeverity) {
            std::fprintf(s.sink, "%2d %s\n", severity, text);
            std::fflush(s.sink);
        }
        listener = s.logListener;
    }
    if (listener) {
        listener(entry);
    }
    return length;
}

unsigned HALVO_CALL HalvoGetGateIdByAddressStr(int, unsigned char, const char* addressString,
                                               unsigned* gateId) {
    State& s = state();
    if (const unsigned failure = takeFailure(s, Call::GetGateId)) {
        return failure;
    }
    if (auto it = s.failingLookups.find(addressString); it != s.failingLookups.end()) {
        return it->second;
    }
    for (const auto& gate : s.gates) {
        if (gate.address == addressString) {
            *gateId = gate.id;
            return kHalvoOk;
        }
    }
    if (s.undefinedResolver) {
        if (auto gate = s.undefinedResolver(addressString)) {
            gate->address = addressString;
            gate->undefined = true;
            *gateId = DefineGate(*gate);
            return kHalvoOk;
        }
    }
    return kHalvoNoSuchGate;
}

unsigned HALVO_CALL HalvoCook(int, unsigned gateId, ValueCell raw, double* value) {
    State& s = state();
    if (const unsigned failure = takeFailure(s, Call::Cook)) {
        return failure;
    }
    const Gate* gate = gateById(s, gateId);
    if (gate == nullptr) {
        return 1;
    }
    std::uint32_t wide = 0;
    std::uint16_t narrow = 0;
    std::memcpy(&wide, raw.bytes, sizeof wide);
    std::memcpy(&narrow, raw.bytes + 2, sizeof narrow);
    const std::uint32_t number = isLongType(gate->hostType) ? wide : narrow;
    s.lastRaw[gateId] = number;
    // A float's pattern fills the cell whatever the gate's host type.
    *value = halvo::Cook(*gate, gate->rule == CookRule::FloatBits ? wide : number);
    return kHalvoOk;
}

unsigned HALVO_CALL HalvoPutGateVal(int, unsigned gateId, int, double value, int time, int) {
    std::function<void(const HistoryEntry&)> listener;
    HistoryEntry entry{};
    {
        State& s = state();
        if (const unsigned failure = takeFailure(s, Call::PutGateVal)) {
            return failure;
        }
        const Gate* gate = gateById(s, gateId);
        if (gate == nullptr) {
            return 1;
        }
        auto raw = s.lastRaw.find(gateId);
        entry = HistoryEntry{
            gateId, gate->address, value,
            raw != s.lastRaw.end() ? raw->second : static_cast<std::uint32_t>(value), time};
        s.history.push_back(entry);
        listener = s.historyListener;
    }
    if (listener) {
        listener(entry);
    }
    return kHalvoOk;
}

unsigned HALVO_CALL HalvoStartAlert(int, const char* name, const char* text, int, unsigned flags,
                                    int, int, unsigned short, int, int, int, unsigned short,
                                    unsigned* out) {
    std::function<void(const Alert&)> listener;
    Alert alert{name, text, flags};
    {
        State& s = state();
        if (const unsigned failure = takeFailure(s, Call::StartAlert)) {
            return failure;
        }
        s.alerts.push_back(alert);
        listener = s.alertListener;
        if (out != nullptr) {
            *out = static_cast<unsigned>(s.alerts.size());
        }
    }
    if (listener) {
        listener(alert);
    }
    return kHalvoOk;
}

} // extern "C"
