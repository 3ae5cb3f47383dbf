#include "host.h"

#include "diagnosis.h"
#include "format.h"
#include "gates/parse.h"
#include "halvopro/halvopro.h"
#include "lastevent/table.h"
#include "line/remote_port.h"
#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#ifndef KOVRA_HOST_DRIVER_RELATIVE
#define KOVRA_HOST_DRIVER_RELATIVE ""
#endif

namespace fs = std::filesystem;

namespace kovra_host {
namespace {

constexpr const char* kDefaultHistory = "kovra-history.db";
constexpr const char* kDefaultGates = "kovra-gates.txt";

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::optional<Bytes> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!fs::exists(path)) {
            return std::nullopt;
        }
        throw Failure("cannot read " + path + ": " + std::strerror(errno));
    }
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Puts a file back as it was. In place keeps the inode, for a file that the
// driver holds open; otherwise a new file is renamed over the old one.
void RestoreFile(const std::string& path, const std::optional<Bytes>& bytes, bool inPlace) {
    std::error_code error;
    if (!bytes) {
        fs::remove(path, error);
        if (error) {
            throw Failure("cannot remove " + path + ": " + error.message());
        }
        return;
    }
    const std::string target = inPlace ? path : path + ".restoring";
    {
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes->data()),
                  static_cast<std::streamsize>(bytes->size()));
        out.flush();
        if (!out) {
            throw Failure("cannot write " + target + ": " + std::strerror(errno));
        }
    }
    if (!inPlace) {
        fs::rename(target, path, error);
        if (error) {
            throw Failure("cannot replace " + path + ": " + error.message());
        }
    }
}

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

std::string PositionsFileName(int driverNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "KOVRA%02uH.DAT", static_cast<unsigned>(driverNumber));
    return name;
}

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
    for (auto it = outcome.messages.rbegin(); it != outcome.messages.rend(); ++it) {
        if (it->text.find("ret val is") != std::string::npos ||
            it->text.find("exited, rc=") != std::string::npos) {
            continue;
        }
        if (it->text.rfind("KOVRA", 0) == 0) {
            diagnosis.message = WithoutPrefix(it->text);
            return diagnosis;
        }
    }
    diagnosis.message =
        outcome.status == kStatusUnavailable ? "the port is not open" : "the driver refused it";
    return diagnosis;
}

Host::Host(HostSettings settings, Console& console)
    : settings_(std::move(settings)), console_(console),
      log_(std::make_unique<DriverLog>(console, settings_.logLevel)) {
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
        if (collecting_ != nullptr) {
            collecting_->push_back(value);
        }
        if (valueListener_) {
            valueListener_(value);
        }
    });
    if (settings_.keepUndefined) {
        halvo::OnUndefinedGate(RawGateFor);
    }
    halvo::OnAlert([this](const halvo::Alert& alert) {
        if (alerting_ != nullptr) {
            alerting_->push_back(StoredAlert{alert.name, alert.text, alert.flags, Now()});
        }
    });
}

Host::~Host() {
    try {
        end();
    } catch (...) {
    }
    halvo::OnHistory(nullptr);
    halvo::OnAlert(nullptr);
    halvo::OnUndefinedGate(nullptr);
}

std::string Host::resolve(const std::string& path) const {
    return path.empty() ? path : fs::absolute(path).string();
}

std::string DefaultStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state != '\0') {
        return (fs::path(state) / "kovra").string();
    }
    const char* home = std::getenv("HOME");
    return (fs::path(home != nullptr ? home : ".") / ".local" / "state" / "kovra").string();
}

namespace {

// Whether a file can be made here: the driver creates its last-event file.
bool Writable(const fs::path& directory) {
    const fs::path probe = directory / (".kovra-probe-" + std::to_string(CurrentProcessId()));
    {
        std::ofstream out(probe);
        if (!out) {
            return false;
        }
    }
    std::error_code ignored;
    fs::remove(probe, ignored);
    return true;
}

} // namespace

void Host::enterDirectory() {
    settings_.driverPath = resolve(settings_.driverPath);
    settings_.gatesFile = resolve(settings_.gatesFile);
    settings_.historyFile = resolve(settings_.historyFile);
    if (settings_.directory.empty() && (!settings_.stateDir.empty() || !Writable("."))) {
        const std::string state =
            settings_.stateDir.empty() ? DefaultStateDirectory() : settings_.stateDir;
        std::error_code error;
        fs::create_directories(state, error);
        if (error || !Writable(state)) {
            throw Failure("state folder " + state + ": " +
                          (error ? error.message() : std::strerror(EACCES)));
        }
        settings_.directory = state;
    }
    if (!settings_.directory.empty()) {
        std::error_code error;
        fs::current_path(settings_.directory, error);
        if (error) {
            throw Failure("working directory " + settings_.directory + ": " + error.message());
        }
    }
    positionsFile_ = fs::absolute(PositionsFileName(settings_.driverNumber)).string();
}

void Host::openHistory() {
    // A build without SQLite works on without a history; collect says that
    // its events are not stored.
    if (!settings_.keepHistory || !HistoryAvailable()) {
        return;
    }
    const std::string path = settings_.historyFile.empty() ? fs::absolute(kDefaultHistory).string()
                                                           : settings_.historyFile;
    try {
        store_ = HistoryStore::Open(path, true);
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    rewindInterrupted();
}

void Host::rewindInterrupted() {
    std::vector<InterruptedBatch> batches;
    try {
        batches = store_->interrupted(positionsFile_);
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    if (batches.empty()) {
        return;
    }
    for (const auto& batch : batches) {
        if (batch.pid != CurrentProcessId() && HostProcessMayBeAlive(batch.pid)) {
            throw Failure("another kovra-host (process " + std::to_string(batch.pid) +
                          ") is collecting into " + positionsFile_ + "; wait for it to end");
        }
    }
    const InterruptedBatch& first = batches.front();
    RestoreFile(positionsFile_, first.positionsBefore, false);
    std::vector<std::int64_t> ids;
    for (const auto& batch : batches) {
        ids.push_back(batch.id);
    }
    try {
        store_->markRewound(ids);
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    console_.line("kovra-host: the " + first.command + " of " + first.gate + " begun " +
                  IsoLocalTime(first.startedAt) + " by process " + std::to_string(first.pid) +
                  " ended before its values were stored; " +
                  fs::path(positionsFile_).filename().string() +
                  " is put back as it was before it, so the driver passes them again");
}

void Host::loadDriver() {
    if (entry_ != nullptr) {
        return;
    }
    log_->install();
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

int Host::call(std::uint32_t code, void* data) {
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

DriverInfo Host::driverInfo() {
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
    return info;
}

void Host::defineGates(const std::vector<std::string>& addresses) {
    std::string gatesFile = settings_.gatesFile;
    if (gatesFile.empty() && fs::exists(kDefaultGates)) {
        gatesFile = kDefaultGates;
    }
    if (!gatesFile.empty()) {
        try {
            for (const auto& gate : ReadGatesFile(gatesFile)) {
                halvo::DefineGate(gate);
            }
        } catch (const GatesFileError& error) {
            throw Failure(error.what());
        }
    }
    for (const auto& address : addresses) {
        if (!halvo::FindGate(address)) {
            halvo::DefineGate(DefaultGate(address));
        }
    }
}

void Host::checkDriverFiles() {
    // The driver takes the first of these that opens and passes silently over
    // one that does not, so a file that is there but unreadable is stopped here.
    char names[3][32];
    const unsigned number = static_cast<unsigned>(settings_.driverNumber);
    std::snprintf(names[0], sizeof names[0], "KOVRA%02u.INT", number);
    std::snprintf(names[1], sizeof names[1], "KOVRA%u.INT", number);
    std::snprintf(names[2], sizeof names[2], "KOVRA.INT");
    for (const char* name : names) {
        std::error_code error;
        const auto status = fs::status(name, error);
        if (!fs::exists(status)) {
            continue;
        }
        if (!fs::is_regular_file(status)) {
            throw Failure("init file " + std::string(name) + " is not a readable file");
        }
        std::ifstream in(name);
        char probe;
        if (!in || (!in.get(probe) && !in.eof())) {
            throw Failure("init file " + std::string(name) +
                          " cannot be read: " + std::strerror(errno));
        }
        break;
    }

    // The driver refuses a last-event file shorter than its stamp area and
    // would re-create one it cannot open for update, losing its positions.
    std::error_code error;
    const auto status = fs::status(positionsFile_, error);
    if (!fs::exists(status)) {
        return;
    }
    const std::string name = fs::path(positionsFile_).filename().string();
    if (!fs::is_regular_file(status)) {
        throw Failure("last-event file " + name + " is not a regular file");
    }
    const auto size = fs::file_size(positionsFile_, error);
    if (error) {
        throw Failure("last-event file " + name + ": " + error.message());
    }
    if (size < kLastQueryAreaSize) {
        throw Failure("last-event file " + name + " is corrupt: " + std::to_string(size) +
                      " bytes, shorter than its " + std::to_string(kLastQueryAreaSize) +
                      "-byte stamp area (move it aside to start "
                      "over: the PLCs' journals are then collected from their oldest record)");
    }
    {
        std::fstream update(positionsFile_, std::ios::in | std::ios::out | std::ios::binary);
        if (!update) {
            throw Failure("last-event file " + name +
                          " cannot be opened for update: " + std::strerror(errno));
        }
    }
    if ((size - kLastQueryAreaSize) % kLastEventEntrySize != 0) {
        console_.line("kovra-host: warning: last-event file " + name + " ends in " +
                      std::to_string((size - kLastQueryAreaSize) % kLastEventEntrySize) +
                      " bytes of a partial entry, which the driver ignores");
    }
}

CommSettings WithGivenSettings(CommSettings line, const HostSettings& given) {
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

void Host::start() {
    if (settings_.port.empty()) {
        throw Failure("no port given: use --port DEVICE");
    }
    const DriverInfo info = driverInfo();
    checkDriverFiles();
    line_ = WithGivenSettings(info.defaultSettings, settings_);

    const std::string portName = settings_.trace || settings_.measure || !settings_.tap.empty() ||
                                         settings_.port.size() >= kPortNameSize ||
                                         IsRemotePort(settings_.port)
                                     ? startRelay()
                                     : settings_.port;

    PortParams params{};
    std::strncpy(params.portName, portName.c_str(), kPortNameSize - 1);
    params.portEnabled = 1;
    params.settings = line_;
    const std::size_t mark = log_->mark();
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
        std::string detail;
        for (const auto& line : log_->since(mark)) {
            if (line.text.find("OpenLastHoro()") != std::string::npos) {
                detail = ": " + WithoutPrefix(line.text);
            }
        }
        throw Failure("last-event file " + fs::path(positionsFile_).filename().string() +
                      " cannot be opened or created" + detail);
    }
}

Diagnosis Host::diagnose(const Outcome& outcome) const {
    // A device server's line is gone when its connection dropped, ending the
    // relay; the device checks do not apply.
    if (IsRemotePort(settings_.port)) {
        return !relay_ || relay_->ended() ? Diagnosis{FaultKind::PortGone, std::nullopt, ""}
                                          : Diagnose(outcome, "");
    }
    return Diagnose(outcome, settings_.port, opened_);
}

std::unique_ptr<Relay> Host::newRelay(std::string& error) {
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

std::string Host::startRelay() {
    std::string error;
    relay_ = newRelay(error);
    relayed_ = true;
    if (!relay_) {
        throw Failure(IsRemotePort(settings_.port) ? "port " + settings_.port + ": " + error
                                                   : PortRefusal(settings_.port, error));
    }
    return relay_->driverPath();
}

void Host::onRequest(std::function<void()> listener) {
    requestListener_ = std::move(listener);
    if (relay_) {
        relay_->onRequest(requestListener_);
    }
}

std::optional<Relay::Traffic> Host::traffic() const {
    if (!relay_ && pastTraffic_.requests == 0) {
        return std::nullopt;
    }
    Relay::Traffic total = pastTraffic_;
    if (relay_) {
        total.requests += relay_->traffic().requests;
        total.bytes += relay_->traffic().bytes;
    }
    return total;
}

void Host::applyTiming() {
    if (settings_.timeoutMs) {
        setReplyTimeout(*settings_.timeoutMs);
    }
    if (settings_.gapMs) {
        // The inter-frame gap has no request of its own; it is a field of the
        // context that the host owns, read before every frame.
        context_->interFrameGap = static_cast<std::uint16_t>(*settings_.gapMs);
    }
}

unsigned Host::replyTimeoutMs() const {
    return context_ == nullptr ? 0 : static_cast<unsigned>(context_->timeoutTicks) * 10;
}

void Host::setReplyTimeout(unsigned ms) {
    // The init file's reply timeout, through the driver's own port change,
    // which keeps the line settings when given a baud rate of 0.
    PortChange change{};
    std::strncpy(change.portName, driverPort_.c_str(), kPortNameSize - 1);
    change.timeoutTicks = static_cast<std::int32_t>((ms + 9) / 10);
    if (call(kChangeVpiParams, &change) != kStatusDone) {
        throw Failure(PortRefusal(settings_.port, ""));
    }
}

bool Host::changeLine(const HostSettings& given) {
    line_ = WithGivenSettings(line_, given);
    if (relayed_) {
        // The relay runs its device at the settings it started with.
        return reopen();
    }
    PortChange change{};
    std::strncpy(change.portName, driverPort_.c_str(), kPortNameSize - 1);
    change.timeoutTicks = -1;
    change.settings = line_;
    return call(kChangeVpiParams, &change) == kStatusDone;
}

bool Host::reopen() {
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
        pastTraffic_.requests += relay_->traffic().requests;
        pastTraffic_.bytes += relay_->traffic().bytes;
        relay_.reset();
    }
    std::string error;
    relay_ = newRelay(error);
    if (!relay_) {
        return false;
    }
    relay_->onRequest(requestListener_);
    driverPort_ = relay_->driverPath();
    PortChange change{};
    std::strncpy(change.portName, driverPort_.c_str(), kPortNameSize - 1);
    change.timeoutTicks = -1;
    if (call(kChangeVpiParams, &change) != kStatusDone) {
        return false;
    }
    opened_ = DeviceIdentity(settings_.port);
    return true;
}

void Host::end() {
    if (started_) {
        started_ = false;
        call(kEndVpi, nullptr);
    }
    relay_.reset();
}

ParsedGate Host::parse(const std::string& address) {
    return parseAs(kSingleParse, address, 1);
}

ParsedGate Host::parseBlock(const std::string& address, int count) {
    return parseAs(kBlockParse, address, count);
}

ParsedGate Host::parseAs(std::uint32_t code, const std::string& address, int count) {
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
    const std::size_t mark = log_->mark();
    const int status = call(code, &params);
    if (status != kStatusDone) {
        const auto messages = log_->since(mark);
        const std::string reason =
            messages.empty() ? "refused by the driver" : WithoutPrefix(messages.back().text);
        // A gate the driver cannot read is a mistake on the command line,
        // shown at its character counted from 1; a float gate on a station
        // not marked P200X is a matter of the init file.
        if (Classify(messages).kind == FaultKind::NotP200X) {
            throw Failure("gate '" + address + "': " + reason);
        }
        const auto character = reason.find("illegal char #");
        if (character != std::string::npos) {
            const auto at = std::strtoul(reason.c_str() + character + 14, nullptr, 10);
            if (at < address.size()) {
                throw UsageError("gate '" + address + "': character " + std::to_string(at + 1) +
                                 " ('" + address[at] + "') cannot stand there (" + reason + ")");
            }
        }
        throw UsageError("gate '" + address + "': " + reason);
    }
    gate.address = params.gate;
    gate.width = params.gate.width;
    return gate;
}

Outcome Host::request(const ParsedGate& gate, std::uint32_t code, std::uint8_t* area, int count,
                      const std::string& command) {
    Outcome outcome;
    const bool guarded = store_ != nullptr && gate.memoryType() == kMemoryJournal;
    BatchStart start;
    start.command = command;
    start.gate = gate.definition.address;
    start.driverNumber = settings_.driverNumber;
    std::int64_t batch = 0;
    if (guarded) {
        start.positionsFile = positionsFile_;
        start.positionsBefore = ReadFileBytes(positionsFile_);
        try {
            batch = store_->beginGuardedBatch(start);
        } catch (const StoreError& error) {
            throw Failure(error.what());
        }
    }

    GateDescriptor descriptor{};
    descriptor.gate = gate.address;
    descriptor.count = count;
    descriptor.values = area;
    const std::size_t mark = log_->mark();
    collecting_ = &outcome.values;
    alerting_ = &outcome.alerts;
    outcome.status = call(code, &descriptor);
    collecting_ = nullptr;
    alerting_ = nullptr;
    outcome.messages = log_->since(mark);

    // A driver that could not write its positions through to the last-event
    // file names the file in its message. The file then lags behind the
    // records passed on, while the driver's table in memory is ahead of it:
    // stored now, the values would come a second time after a restart. So
    // they are not stored, the file goes back as it was before the batch and
    // the driver gets no further request (only a cold start would reload its
    // table, and it would skip the records otherwise); the next run passes
    // them again.
    std::optional<std::string> unsaved;
    if (guarded) {
        for (const auto& message : outcome.messages) {
            if (const Diagnosis diagnosis = Classify({message});
                diagnosis.kind == FaultKind::PositionsUnsaved) {
                unsaved = Explain(diagnosis, 0, "");
                break;
            }
        }
    }

    if (store_ != nullptr) {
        try {
            if (guarded) {
                store_->finishBatch(batch, outcome.status,
                                    unsaved ? std::vector<StoredValue>{} : outcome.values,
                                    unsaved ? std::vector<StoredAlert>{} : outcome.alerts);
            } else if (!outcome.values.empty() || !outcome.alerts.empty()) {
                store_->recordBatch(start, outcome.status, outcome.values, outcome.alerts);
            }
        } catch (const StoreError& error) {
            outcome.storeError = error.what();
        }
        if (unsaved) {
            outcome.storeError =
                outcome.storeError ? *outcome.storeError + "; " + *unsaved : *unsaved;
        }
        if (guarded && outcome.storeError) {
            // The driver has moved past records the history does not hold:
            // its positions go back so that they come again.
            // The driver's own table still holds the new positions and
            // would write some of them again, so it gets no further request.
            end();
            halted_ = true;
            try {
                RestoreFile(positionsFile_, start.positionsBefore, true);
                *outcome.storeError += "; " + fs::path(positionsFile_).filename().string() +
                                       " is put back so that they are collected again";
            } catch (const Failure& failure) {
                *outcome.storeError += std::string("; ") + failure.what();
            }
        }
    }
    return outcome;
}

Outcome Host::read(const ParsedGate& gate, const std::string& command) {
    std::uint8_t area[4] = {};
    Outcome outcome = request(gate, kSingleRead, area, 1, command);
    outcome.raw = RawFromArea(area, gate.width);
    outcome.value = outcome.raw;
    if (outcome.status == kStatusDone && gate.width != 1) {
        outcome.value = cook(gate.definition.address, outcome.raw);
    }
    return outcome;
}

Outcome Host::readBlock(const ParsedGate& first, int count) {
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

double Host::cook(const std::string& address, std::uint32_t raw) {
    const auto defined = halvo::FindGate(address);
    return halvo::Cook(defined ? *defined : DefaultGate(address), raw);
}

Outcome Host::write(const ParsedGate& gate, std::uint32_t raw, const std::string& command) {
    std::uint8_t area[4];
    AreaFromRaw(raw, gate.width, area);
    Outcome outcome = request(gate, kSingleWrite, area, 1, command);
    outcome.raw = raw;
    return outcome;
}

} // namespace kovra_host
