// Stand-in for the host library HALVOPRO: the five functions the driver
// imports, implemented for real, and a small C++ API through which a host
// program or a test defines gates and reads back what the driver did. Like the
// real host library, it is called from the host's one driver thread only.
#pragma once

#include "contract/host_library.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace halvo {

// How HalvoCook turns a raw value cell into the gate's value.
enum class CookRule {
    Linear,    // raw × scale + offset; raw from bytes 2-3 (16-bit types) or 0-3 (32-bit types)
    FloatBits, // bytes 0-3 hold an IEEE-754 single-precision pattern
};

// Host data type codes, as the driver's parse checks them.
enum HostType : int {
    kHostWord = 0, // 0, 1, 2: 16-bit
    kHostFloat = 3,
    kHostLong = 4, // 4, 5: 32-bit
    kHostDigital = 6,
};

struct Gate {
    unsigned id = 0;
    std::string address;
    int hostType = kHostWord;
    CookRule rule = CookRule::Linear;
    double scale = 1.0;
    double offset = 0.0;
    // Defined by the host on the driver's lookup of an address that no gate
    // holds, to keep the value rather than lose it (see OnUndefinedGate).
    bool undefined = false;
    // Linear cooking reads the raw value as two's complement of its width
    // (16 bits, or 32 for the long types) before the scale.
    bool isSigned = false;
};

// The value a raw number stands for under the gate's rule: the host's one
// cooking rule, which HalvoCook applies to the driver's value cells.
HALVO_API double Cook(const Gate& gate, std::uint32_t raw);

struct LogEntry {
    int severity;
    std::string text;
};

struct HistoryEntry {
    unsigned gateId;
    std::string address;
    double value;
    std::uint32_t raw; // the last raw value cooked for the gate, as a number
    int time;          // seconds since 1970 UTC, or 0 for "now"
};

struct Alert {
    std::string name;
    std::string text;
    unsigned flags;
};

enum class Call { GetGateId, Cook, PutGateVal, StartAlert };

// Returns the gate's id (1, 2, ...). Redefining an address replaces the gate.
HALVO_API unsigned DefineGate(const Gate& gate);
HALVO_API std::optional<Gate> FindGate(const std::string& address);
HALVO_API std::vector<Gate> Gates();

HALVO_API std::vector<LogEntry> Log();
HALVO_API std::vector<HistoryEntry> History();
HALVO_API std::vector<Alert> Alerts();

// Makes the next `times` calls of one function (all of them for -1) return status.
HALVO_API void FailCalls(Call call, unsigned status, int times = -1);
// For GetGateId only: fail the lookups of one address string.
HALVO_API void FailLookup(const std::string& address, unsigned status);

// Called for each message err() receives, after it is recorded.
HALVO_API void OnLog(std::function<void(const LogEntry&)> listener);

// Asked when the driver looks up an address that no gate holds: a gate
// returned is defined (flagged undefined) and its id given to the driver;
// nothing leaves the address unknown, as without a resolver.
HALVO_API void OnUndefinedGate(std::function<std::optional<Gate>(const std::string&)> resolver);

// Where err() echoes each message ("<severity> <text>"); null for nowhere.
// Messages above maxSeverity are not echoed. Default: standard error, all.
HALVO_API void SetLogSink(std::FILE* sink, int maxSeverity = 32);

// Called as each value or alert arrives (after it is recorded).
HALVO_API void OnHistory(std::function<void(const HistoryEntry&)> listener);
HALVO_API void OnAlert(std::function<void(const Alert&)> listener);

// Forgets gates, log, history, alerts, failures, listeners and the resolver.
HALVO_API void Reset();
// Forgets the log, history and alerts only.
HALVO_API void ClearRecords();

} // namespace halvo
