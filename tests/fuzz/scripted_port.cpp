// The third implementation of the serial port, for the fuzz build (see
// scripted_port.h); it keeps the result codes of the real ones.
#include "scripted_port.h"

#include "link/serial_port.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kovra {

namespace {

struct ScriptedLine {
    fuzz::Responder responder;
    fuzz::Bytes pending; // arrived, not yet read
    std::size_t readPosition = 0;
    unsigned timeoutTicks = 100;
    bool open = false;
};

ScriptedLine& Line() {
    static ScriptedLine line;
    return line;
}

} // namespace

namespace fuzz {

void SetResponder(Responder responder) {
    Line().responder = std::move(responder);
    Line().pending.clear();
    Line().readPosition = 0;
}

Responder ScriptedReplies(const std::uint8_t* data, std::size_t size) {
    auto replies = std::make_shared<std::vector<Bytes>>();
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        replies->emplace_back(data + at + 1, data + at + 1 + length);
        at += 1 + length;
    }
    auto next = std::make_shared<std::size_t>(0);
    return [replies, next](const Bytes&) {
        return *next < replies->size() ? (*replies)[(*next)++] : Bytes{};
    };
}

} // namespace fuzz

int OpenPort(const char* deviceName, const CommSettings&, std::uint16_t, PortHandle* handle) {
    *handle = nullptr;
    if (deviceName == nullptr || deviceName[0] == '\0' || Line().open) {
        return kSerialOpenFailed;
    }
    Line().open = true;
    Line().timeoutTicks = 100;
    *handle = &Line();
    return kSerialOk;
}

unsigned SetReplyTimeout(PortHandle, unsigned ticks) {
    const unsigned previous = Line().timeoutTicks;
    Line().timeoutTicks = ticks;
    return previous;
}

int FlushInput(PortHandle) {
    Line().pending.clear();
    Line().readPosition = 0;
    return 0;
}

int WritePort(PortHandle, const std::uint8_t* buffer, unsigned count, unsigned* written) {
    if (written != nullptr) {
        *written = count;
    }
    ScriptedLine& line = Line();
    const fuzz::Bytes reply =
        line.responder ? line.responder(fuzz::Bytes(buffer, buffer + count)) : fuzz::Bytes{};
    line.pending.insert(line.pending.end(), reply.begin(), reply.end());
    return kSerialOk;
}

int ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint16_t count, unsigned* received) {
    return ReadPortAtLeast(handle, buffer, count, count, received);
}

// Every scripted byte has arrived by the time it is read: a read takes up to
// `most` of them.
int ReadPortAtLeast(PortHandle, std::uint8_t* buffer, std::uint16_t, std::uint16_t most,
                    unsigned* received) {
    if (received != nullptr) {
        *received = 0;
    }
    ScriptedLine& line = Line();
    const std::size_t available = line.pending.size() - line.readPosition;
    const std::size_t taken = std::min<std::size_t>(most, available);
    if (taken == 0) {
        return kSerialIoFailed;
    }
    std::memcpy(buffer, line.pending.data() + line.readPosition, taken);
    line.readPosition += taken;
    if (received != nullptr) {
        *received = static_cast<unsigned>(taken);
    }
    return kSerialOk;
}

int ClosePortHandle(PortHandle) {
    Line().open = false;
    return kSerialOk;
}

bool SetRts(PortHandle, bool) {
    return true;
}

bool DrainOutput(PortHandle, std::chrono::steady_clock::time_point) {
    return true;
}

void SleepMilliseconds(unsigned) {}

void YieldProcessor() {}

} // namespace kovra
