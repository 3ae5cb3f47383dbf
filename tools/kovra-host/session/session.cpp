#include "session/session.h"

#include "contract/driver_files.h"
#include "halvopro/halvopro.h"
#include "line/remote_port.h"
#include "output/failure.h"
#include "output/format.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#ifndef KOVRA_HOST_DRIVER_RELATIVE
#define KOVRA_HOST_DRIVER_RELATIVE ""
#endif

namespace fs = std::filesystem;

namespace kovra_host {
namespace {

// The driver keeps its state in the context, the last-event table it
// allocates among it, for as long as its library is loaded; this program never
// unloads it, so the context stays to the end of the process, reachable.
DriverContext* NewContext(std::size_t size) {
    static auto* contexts = new std::vector<std::unique_ptr<std::max_align_t[]>>();
    const std::size_t blocks = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    contexts->push_back(std::make_unique<std::max_align_t[]>(blocks));
    return reinterpret_cast<DriverContext*>(contexts->back().get());
}

// Why the device does not open, asked of the device itself: the driver's
// message says only that it failed.
std::string PortRefusal(const std::string& port, const std::string& detail) {
    switch (ProbeDevice(port)) {
    case DeviceRefusal::Missing:
        return "port " + port + " does not exist";
    case DeviceRefusal::PermissionDenied:
        return Explain({FaultKind::PermissionDenied, std::nullopt, ""}, 0, port);
    case DeviceRefusal::InUse:
        return Explain({FaultKind::PortInUse, std::nullopt, ""}, 0, port);
    default:
        return "port " + port + " cannot be opened: " +
               (detail.empty() ? "it is not a serial device, or refuses the line settings"
                               : detail);
    }
}

// The driver tries a journal record's address as bits, input bits, words,
// input words and counters in turn; only a counter carries the record's whole
// value, so only that last try is answered with a raw gate.
std::optional<halvo::Gate> RawGateFor(const std::string& address) {
    if (address.size() != 7 || address[2] != kMemoryCounter) {
        return std::nullopt;
    }
    return halvo::Gate{0, address, halvo::kHostLong, halvo::CookRule::Linear, 1.0, 0.0, true};
}

} // namespace

std::optional<std::string> ElementAddress(const ParsedGate& first, int offset) {
    const long registers = first.width == 32 ? 2 : 1;
    const long address = (first.address.address + offset) * registers;
    if (address > 0xFFFF) {
        return std::nullopt;
    }
    char text[8];
    std::snprintf(text, sizeof text, "%04lX", address);
    return first.definition.address.substr(0, 3) + text;
}

std::uint32_t RawFromArea(const std::uint8_t* area, int width) {
    if (width == 32) {
        std::uint32_t wide = 0;
        std::memcpy(&wide, area, sizeof wide);
        return wide;
    }
    std::uint16_t narrow = 0;
    std::memcpy(&narrow, area + 2, sizeof narrow);
    return narrow;
}

void AreaFromRaw(std::uint32_t raw, int width, std::uint8_t* area) {
    std::memset(area, 0, 4);
    if (width == 32) {
        std::memcpy(area, &raw, sizeof raw);
    } else {
        const auto narrow = static_cast<std::uint16_t>(raw);
        std::memcpy(area + 2, &narrow, sizeof narrow);
    }
}

Diagnosis Diagnose(const Outcome& outcome, const std::string& port,
                   std::optional<std::uint64_t> opened) {
    // A device that went away fails every request in ways that read like a
    // silent station; the device itself tells the difference.
    if (!port.empty() &&
        (DeviceExists(port) == false || (opened && DeviceIdentity(port) != opened))) {
        return {FaultKind::PortGone, std::nullopt, ""};
    }
    Diagnosis diagnosis = Classify(outcome.messages);
    if (diagnosis.kind != FaultKind::Unknown) {
        return diagnosis;
    }
    diagnosis.message =
        LastReason(outcome.messages)
            .value_or(outcome.status == kStatusUnavailable ? "the port is not open"
                                                           : "the driver refused it");
    return diagnosis;
}

DriverSession::DriverSession(SessionSettings settings, Console& console)
    : settings_(std::move(settings)), console_(console), capture_(console, settings_.logLevel) {
    if (settings_.keepUndefined) {
        halvo::OnUndefinedGate(RawGateFor);
    }
}

DriverSession::~DriverSession() {
    try {
        end();
    } catch (...) {
    }
    halvo::OnUndefinedGate(nullptr);
}

void DriverSession::loadDriver() {
    if (entry_ != nullptr) {
        return;
    }
    capture_.install();
    std::vector<std::string> candidates;
    if (!settings_.driverPath.empty()) {
        candidates.push_back(settings_.driverPath);
    } else {
        const std::string here = ExecutableDirectory();
        if (!here.empty()) {
            candidates.push_back((fs::path(here) / DriverFileName()).string());
            if (std::strlen(KOVRA_HOST_DRIVER_RELATIVE) != 0) {
                candidates.push_back(
                    (fs::path(here) / KOVRA_HOST_DRIVER_RELATIVE / DriverFileName()).string());
            }
        }
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [](const std::string& path) { return !fs::exists(path); }),
                         candidates.end());
        candidates.push_back(DriverFileName()); // the system's own search
    }
    // A library that is there but does not load says more than the failed
    // search for one that is not.
    std::string failed;
    std::string failure;
    for (const auto& candidate : candidates) {
        std::string reason;
        entry_ = LoadDriver(candidate, reason);
        if (entry_ != nullptr) {
            return;
        }
        if (failed.empty() || !fs::exists(failed)) {
            failed = candidate;
            failure = reason;
        }
    }
    throw Failure("cannot load the driver " + failed + ": " + failure +
                  (settings_.driverPath.empty() ? "; give its path with --driver PATH" : ""));
}

int DriverSession::call(std::uint32_t code, void* data) {
    if (halted_) {
        throw Failure("no further request after the history failed");
    }
    VpiRequest request{};
    request.context = context_;
    request.functionCode = code;
    request.driverNumber = settings_.driverNumber;
    request.operationData = data;
    return entry_(&request);
}

DriverInfo DriverSession::driverInfo() {
    if (info_) {
        return *info_;
    }
    loadDriver();
    DriverInfo info{};
    const int status = call(kGetDriverInfo, &info);
    if (status != kStatusDone) {
        throw Failure("the driver does not give its information (status " + std::to_string(status) +
                      ")");
    }
    if (context_ == nullptr && info.contextSize > 0) {
        context_ = NewContext(static_cast<std::size_t>(info.contextSize));
    }
    info_ = info;
    return info;
}

CommSettings WithGivenSettings(CommSettings line, const SessionSettings& given) {
    if (given.baud) {
        line.baudRate = static_cast<std::uint16_t>(*given.baud);
    }
    if (given.dataBits) {
        line.dataBits = static_cast<std::uint16_t>(*given.dataBits);
    }
    if (given.stopBits) {
        line.stopBits = static_cast<std::uint16_t>(*given.stopBits);
    }
    if (given.parity) {
        line.parity = static_cast<std::uint16_t>(*given.parity);
    }
    return line;
}

void DriverSession::start(BatchGuard* guard) {
    if (settings_.port.empty()) {
        throw Failure("no port given: use --port DEVICE");
    }
    guard_ = guard;
    line_ = WithGivenSettings(driverInfo().defaultSettings, settings_);
    const std::string portName = settings_.trace || settings_.measure || !settings_.tap.empty() ||
                                         settings_.port.size() >= kPortNameSize ||
                                         IsRemotePort(settings_.port)
                                     ? startRelay()
                                     : settings_.port;

    PortParams params{};
    std::strncpy(params.portName, portName.c_str(), kPortNameSize - 1);
    params.portEnabled = 1;
    params.settings = line_;
    const Capture::Mark mark = capture_.mark();
    const int status = call(kColdStart, &params);
    if (status == kStatusUnavailable) {
        throw Failure(PortRefusal(settings_.port, ""));
    }
    started_ = true;
    if (IsRemotePort(settings_.port) && context_ != nullptr && context_->rtsCtsSwitching != 0) {
        throw Failure("RTSCTS = YES does not apply to " + settings_.port +
                      ": the device server drives the line's direction");
    }
    if (status == kStatusDone) {
        opened_ = DeviceIdentity(settings_.port);
        driverPort_ = portName;
        applyTiming();
    }
    if (status == kStatusRefused) {
        const auto detail = LastWithSign(capture_.takeSince(mark).messages, Sign::LastEventOpen);
        char name[kLastEventFileNameSize];
        LastEventFileName(settings_.driverNumber, name);
        throw Failure("last-event file " + std::string(name) + " cannot be opened or created" +
                      (detail ? ": " + *detail : ""));
    }
}

std::unique_ptr<Relay> DriverSession::newRelay(std::string& error) {
    Relay::TraceSink sink;
    if (settings_.trace) {
        sink = [this](const std::string& text) { console_.line(text); };
    }
    auto relay = Relay::Start(settings_.port, line_, sink, error);
    if (relay && !settings_.tap.empty() && !relay->offerTap(settings_.tap, error)) {
        return nullptr;
    }
    return relay;
}

std::string DriverSession::startRelay() {
    std::string error;
    relay_ = newRelay(error);
    relayed_ = true;
    if (!relay_) {
        throw Failure(IsRemotePort(settings_.port) ? "port " + settings_.port + ": " + error
                                                   : PortRefusal(settings_.port, error));
    }
    return relay_->driverPath();
}

void DriverSession::onStep(std::function<void(const Relay::Step&)> listener) {
    stepListener_ = std::move(listener);
    if (relay_) {
        relay_->onStep(stepListener_);
    }
}

std::optional<FileRead> DriverSession::fileRead(int station, std::uint16_t file) const {
    return relay_ ? relay_->fileRead(station, file) : std::nullopt;
}

std::optional<Relay::Traffic> DriverSession::traffic() const {
    if (!relay_ && pastTraffic_.requests == 0) {
        return std::nullopt;
    }
    Relay::Traffic total = pastTraffic_;
    if (relay_) {
        total += relay_->traffic();
    }
    return total;
}

std::optional<LineFigures> DriverSession::lineFigures() const {
    if (!relay_ && pastFigures_.empty()) {
        return std::nullopt;
    }
    LineFigures total = pastFigures_;
    if (relay_) {
        Merge(total, relay_->figures());
    }
    return total;
}

void DriverSession::applyTiming() {
    if (settings_.timeoutMs) {
        setReplyTimeout(*settings_.timeoutMs);
    }
    if (settings_.gapMs) {
        // The inter-frame gap has no request of its own; it is a field of the
        // context that the host owns, read before every frame.
        context_->interFrameGap = static_cast<std::uint16_t>(*settings_.gapMs);
    }
}

bool DriverSession::declaredP200X(int station) const {
    return context_ != nullptr && station >= 0 &&
           static_cast<std::size_t>(station) < kStationCount &&
           context_->stationIsP200X[station] != 0;
}

unsigned DriverSession::replyTimeoutMs() const {
    return context_ == nullptr ? 0 : static_cast<unsigned>(context_->timeoutTicks) * 10;
}

void DriverSession::setReplyTimeout(unsigned ms) {
    // The init file's reply timeout, through the driver's own port change.
    if (!changePort(static_cast<std::int32_t>((ms + 9) / 10))) {
        throw Failure(PortRefusal(settings_.port, ""));
    }
}

Diagnosis DriverSession::diagnose(const Outcome& outcome) const {
    // A device server's line is gone when its connection dropped, which ends
    // the relay; there is no device to ask.
    if (IsRemotePort(settings_.port)) {
        return !relay_ || relay_->ended() ? Diagnosis{FaultKind::PortGone, std::nullopt, ""}
                                          : Diagnose(outcome, "");
    }
    return Diagnose(outcome, settings_.port, opened_);
}

bool DriverSession::changeLine(const SessionSettings& given) {
    line_ = WithGivenSettings(line_, given);
    if (relayed_) {
        // The relay runs its device at the settings it started with.
        return reopen();
    }
    return changePort(-1, line_);
}

bool DriverSession::reopen() {
    if (!relayed_) {
        if (call(kReopenPort, nullptr) != kStatusDone) {
            return false;
        }
        opened_ = DeviceIdentity(settings_.port);
        return true;
    }
    // A relay ends with its device: a new one on the device that came back,
    // and the driver moved over to its pseudo-terminal (function 15, which
    // keeps the timeout and the line settings). The old relay lets go of the
    // device first, which it holds for itself, or of the one connection a
    // device server takes.
    if (relay_) {
        pastTraffic_ += relay_->traffic();
        Merge(pastFigures_, relay_->figures());
        relay_.reset();
    }
    std::string error;
    relay_ = newRelay(error);
    if (!relay_) {
        return false;
    }
    relay_->onStep(stepListener_);
    driverPort_ = relay_->driverPath();
    if (!changePort(-1)) {
        return false;
    }
    opened_ = DeviceIdentity(settings_.port);
    return true;
}

// The driver's port change keeps the line settings when given a baud rate of
// 0, and the timeout when given 0 or -1 ticks.
bool DriverSession::changePort(std::int32_t timeoutTicks, const CommSettings& settings) {
    PortChange change{};
    std::strncpy(change.portName, driverPort_.c_str(), kPortNameSize - 1);
    change.timeoutTicks = timeoutTicks;
    change.settings = settings;
    return call(kChangeVpiParams, &change) == kStatusDone;
}

void DriverSession::end() {
    if (started_) {
        started_ = false;
        call(kEndVpi, nullptr);
    }
    relay_.reset();
}

ParsedGate DriverSession::parse(const std::string& address) {
    return parseAs(kSingleParse, address, 1);
}

ParsedGate DriverSession::parseBlock(const std::string& address, int count) {
    return parseAs(kBlockParse, address, count);
}

ParsedGate DriverSession::parseAs(std::uint32_t code, const std::string& address, int count) {
    ParsedGate gate;
    if (const auto defined = halvo::FindGate(address)) {
        gate.definition = *defined;
    } else {
        gate.definition = DefaultGate(address);
    }
    ParseParams params{};
    params.addressString = gate.definition.address.c_str();
    params.gateType = gate.definition.hostType;
    params.count = count;
    const Capture::Mark mark = capture_.mark();
    const int status = call(code, &params);
    if (status != kStatusDone) {
        const auto messages = capture_.takeSince(mark).messages;
        const std::string reason =
            messages.empty() ? "refused by the driver" : WithoutPrefix(messages.back().text);
        // A gate the driver cannot read is a mistake on the command line,
        // shown at its character counted from 1; a float gate on a station
        // not marked P200X is a matter of the init file.
        if (Classify(messages).kind == FaultKind::NotP200X) {
            throw Failure("gate '" + address + "': " + reason);
        }
        if (const auto at = RefusedCharacter(reason); at && *at < address.size()) {
            throw UsageError("gate '" + address + "': character " + std::to_string(*at + 1) +
                             " ('" + address[*at] + "') cannot stand there (" + reason + ")");
        }
        throw UsageError("gate '" + address + "': " + reason);
    }
    gate.address = params.gate;
    gate.width = params.gate.width;
    return gate;
}

Outcome DriverSession::request(const ParsedGate& gate, std::uint32_t code, std::uint8_t* area,
                               int count, const std::string& command) {
    std::optional<BatchGuard::Batch> batch;
    if (guard_ != nullptr) {
        batch =
            guard_->begin(command, gate.definition.address, gate.memoryType() == kMemoryJournal);
    }
    GateDescriptor descriptor{};
    descriptor.gate = gate.address;
    descriptor.count = count;
    descriptor.values = area;
    const Capture::Mark mark = capture_.mark();
    Outcome outcome;
    outcome.status = call(code, &descriptor);
    Captured caught = capture_.takeSince(mark);
    outcome.messages = std::move(caught.messages);
    outcome.values = std::move(caught.values);
    outcome.alerts = std::move(caught.alerts);
    if (batch) {
        // The driver's own table still holds the new positions and would
        // write some of them again, so it gets no further request.
        outcome.storeError = guard_->finish(*batch, outcome.status, outcome.values, outcome.alerts,
                                            PositionsUnsaved(outcome.messages), [this] {
                                                end();
                                                halted_ = true;
                                            });
    }
    return outcome;
}

Outcome DriverSession::read(const ParsedGate& gate, const std::string& command) {
    std::uint8_t area[4] = {};
    Outcome outcome = request(gate, kSingleRead, area, 1, command);
    outcome.raw = RawFromArea(area, gate.width);
    outcome.value = outcome.raw;
    if (outcome.status == kStatusDone && gate.width != 1) {
        outcome.value = cook(gate.definition.address, outcome.raw);
    }
    return outcome;
}

Outcome DriverSession::readBlock(const ParsedGate& first, int count) {
    // The block layout: bits packed lowest first, then 16-bit or 32-bit
    // little-endian elements from byte 0; 240 bytes hold the largest block.
    std::uint8_t area[240] = {};
    Outcome outcome = request(first, kBlockRead, area, count, "read");
    if (outcome.status != kStatusDone) {
        return outcome;
    }
    for (int i = 0; i < count; ++i) {
        std::uint32_t raw = 0;
        if (first.width == 1) {
            raw = (area[i / 8] >> (i % 8)) & 1u;
        } else if (first.width == 16) {
            raw = static_cast<std::uint32_t>(area[2 * i] | (area[2 * i + 1] << 8));
        } else {
            std::memcpy(&raw, area + 4 * i, sizeof raw);
        }
        outcome.block.push_back(raw);
    }
    return outcome;
}

double DriverSession::cook(const std::string& address, std::uint32_t raw) {
    const auto defined = halvo::FindGate(address);
    return halvo::Cook(defined ? *defined : DefaultGate(address), raw);
}

Outcome DriverSession::write(const ParsedGate& gate, std::uint32_t raw,
                             const std::string& command) {
    std::uint8_t area[4];
    AreaFromRaw(raw, gate.width, area);
    Outcome outcome = request(gate, kSingleWrite, area, 1, command);
    outcome.raw = raw;
    return outcome;
}

} // namespace kovra_host
