// One driver instance in the loaded driver library: its cold start on the
// port, the gates it parses, and the requests, each caught whole (messages,
// values, alerts) and bracketed by the history's batch guard when there is one.
#pragma once

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/records.h"
#include "history/batch_guard.h"
#include "line/relay.h"
#include "output/console.h"
#include "platform/platform.h"
#include "session/capture.h"
#include "session/diagnosis.h"
#include "workspace/gates_file.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

// The host side of the binary contract speaks its names as they stand.
using namespace kovra;

struct SessionSettings {
    std::string driverPath; // empty: search the usual places
    int driverNumber = 1;
    // Journal records of addresses without a gate are kept under a raw gate.
    bool keepUndefined = true;
    int logLevel = 32;
    bool trace = false;
    // The relay in between even for a short device name, to count the traffic.
    bool measure = false;
    std::string port;
    std::string tap; // a link to the relay's tap; empty for none
    // Line settings the user gave; the rest come from the driver's defaults.
    std::optional<unsigned> baud, dataBits, stopBits, parity;
    // What the init file's COMM_TIMEOUT and gap set, in milliseconds.
    std::optional<unsigned> timeoutMs, gapMs;
};

struct ParsedGate {
    GateSpec definition;
    GateAddress address{};
    int width = 16;
    char memoryType() const { return definition.address.size() > 2 ? definition.address[2] : '\0'; }
    int station() const { return address.station; }
};

struct Outcome {
    int status = 0;
    std::uint32_t raw = 0;            // the value area as a number, for plain gates
    double value = 0.0;               // cooked
    std::vector<std::uint32_t> block; // the raw elements of a block read, in order
    std::vector<StoredValue> values;
    std::vector<StoredAlert> alerts;
    std::vector<LogLine> messages;
    std::optional<std::string> storeError; // the history could not take the values
};

// Why a request failed: the device's state (gone when it is missing, or
// another device stands under its name than the one opened), or the
// driver's messages.
Diagnosis Diagnose(const Outcome& outcome, const std::string& port,
                   std::optional<std::uint64_t> opened = std::nullopt);

// The line settings the user gave over `line`.
CommSettings WithGivenSettings(CommSettings line, const SessionSettings& given);

// Turns the single-layout value area into the number it holds.
std::uint32_t RawFromArea(const std::uint8_t* area, int width);
void AreaFromRaw(std::uint32_t raw, int width, std::uint8_t* area);

class DriverSession {
  public:
    DriverSession(SessionSettings settings, Console& console);
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    void loadDriver();
    DriverInfo driverInfo();
    // Cold-starts the instance on the port; requests that may move the
    // driver's positions are then bracketed by `guard` (null: no history).
    void start(BatchGuard* guard);
    void end();

    // Opens the port again with the settings of the cold start (function 13).
    bool reopen();
    // Runs the line at the settings given there, the others kept (function 15).
    bool changeLine(const SessionSettings& given);
    // The reply timeout of one attempt, and a new one through the driver's
    // port change (function 15), rounded up to its 10 ms ticks.
    unsigned replyTimeoutMs() const;
    void setReplyTimeout(unsigned ms);
    // The traffic on the line since the start, when the relay is in between.
    std::optional<Relay::Traffic> traffic() const;
    // The same frame by frame, by station, when the relay is in between.
    std::optional<LineFigures> lineFigures() const;
    // Why a request failed, asking the device too.
    Diagnosis diagnose(const Outcome& outcome) const;

    ParsedGate parse(const std::string& address);
    // Parses the first gate of a block of `count` elements (function 4).
    ParsedGate parseBlock(const std::string& address, int count);
    Outcome read(const ParsedGate& gate, const std::string& command);
    // Reads `count` consecutive elements from the gate on in one block read
    // (function 6); `count` within the driver's MaxBlockCount for the gate's width, above 1.
    Outcome readBlock(const ParsedGate& first, int count);
    // The value a raw value stands for under the cooking of the gate that the
    // host library holds for the address, or of the address's default gate.
    double cook(const std::string& address, std::uint32_t raw);
    Outcome write(const ParsedGate& gate, std::uint32_t raw, const std::string& command);

    Capture& capture() { return capture_; }
    Console& console() { return console_; }
    const SessionSettings& settings() const { return settings_; }
    bool keepsHistory() const { return guard_ != nullptr; }
    const CommSettings& line() const { return line_; }
    // Whether the init file marks the station a P200X, as the driver read it.
    bool declaredP200X(int station) const;
    // Called on another thread for every request that crosses the line and
    // every reply that brings journal records, while the relay is in
    // between (for progress).
    void onStep(std::function<void(const Relay::Step&)> listener);
    // The latest read of a station's journal or memo file, as the relay in
    // between saw it cross the line.
    std::optional<FileRead> fileRead(int station, std::uint16_t file) const;

  private:
    int call(std::uint32_t code, void* data);
    ParsedGate parseAs(std::uint32_t code, const std::string& address, int count);
    Outcome request(const ParsedGate& gate, std::uint32_t code, std::uint8_t* area, int count,
                    const std::string& command);
    void applyTiming();
    std::unique_ptr<Relay> newRelay(std::string& error);
    std::string startRelay();
    bool changePort(std::int32_t timeoutTicks, const CommSettings& settings = {});

    SessionSettings settings_;
    Console& console_;
    Capture capture_;
    BatchGuard* guard_ = nullptr;
    std::unique_ptr<Relay> relay_;
    bool relayed_ = false;       // a relay stands in between, also while it is replaced
    std::string driverPort_;     // the name the driver opened: the port's, or the relay's
    Relay::Traffic pastTraffic_; // of relays that ended with their device
    LineFigures pastFigures_;
    VpiMainFunction entry_ = nullptr;
    DriverContext* context_ = nullptr; // lives as long as the process
    std::optional<DriverInfo> info_;
    CommSettings line_{};
    bool started_ = false;
    std::optional<std::uint64_t> opened_; // the device's identity when opened
    bool halted_ = false;                 // after a history failure that put the positions back
    std::function<void(const Relay::Step&)> stepListener_;
};

// The address of the gate `offset` elements after `first`, in the same
// memory type (32-bit elements are two registers apart); nothing past 0xFFFF.
std::optional<std::string> ElementAddress(const ParsedGate& first, int offset);

} // namespace kovra_host
