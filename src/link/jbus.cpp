// One J-bus frame each way. Every request waits the inter-frame gap and
// discards what is left of any earlier reply; a reply is read in parts whose
// lengths follow from what has already arrived.
#include "link/jbus.h"

#include "contract/context.h"
#include "contract/host_library.h"
#include "link/crc.h"
#include "link/serial_port.h"
#include "link/wire_time.h"

#include <chrono>

namespace kovra {

namespace {

using frame_layout::kByteCountLength;
using frame_layout::kHeaderLength;

constexpr std::size_t kCrcLength = 2;

// What a part of a reply logs when none of it arrives, or only some.
struct PartMessages {
    const char* silent;
    const char* shortened;
};

// A reply as far as it has been read: its parts so far take `length` bytes
// of the buffer, a read may have brought `buffered` bytes.
struct ReplyInProgress {
    PortHandle port;
    std::uint8_t* buffer;
    std::size_t& length;
    bool writeEcho;
    std::size_t buffered = 0;
};

// Where the frame ends as far as the bytes buffered tell it; before they do,
// the end of the shortest reply they may begin.
std::size_t FrameEndSoFar(const ReplyInProgress& reply) {
    static_assert(frame_layout::kReadOverhead <= frame_layout::kExceptionLength &&
                  frame_layout::kReadOverhead <= frame_layout::kWriteEchoLength);
    const std::size_t total = ReplyLength(reply.buffer, reply.buffered, reply.writeEcho);
    return total != 0 ? total : frame_layout::kReadOverhead;
}

// Extends the reply to its first `end` bytes. What the buffer lacks is read
// in one timed read, which takes along what is already waiting up to the
// frame's end and never beyond it: the bytes that follow a broken reply must
// stay in the port for the flush before the next attempt.
bool ReadPart(ReplyInProgress& reply, std::size_t end, const PartMessages& messages) {
    if (reply.buffered < end) {
        unsigned got = 0;
        (void)ReadPortAtLeast(reply.port, reply.buffer + reply.buffered,
                              static_cast<std::uint16_t>(end - reply.buffered),
                              static_cast<std::uint16_t>(FrameEndSoFar(reply) - reply.buffered),
                              &got);
        reply.buffered += got;
    }
    const std::size_t arrived = reply.buffered < end ? reply.buffered : end;
    const bool nothing = arrived == reply.length;
    reply.length = arrived;
    if (nothing || arrived < end) {
        err(kSeverityTrace, nothing ? messages.silent : messages.shortened);
        return false;
    }
    return true;
}

constexpr PartMessages kHeaderMessages{"KOVRA> Receive() timeout 1",
                                       "KOVRA> Receive() wrong length reading header"};
constexpr PartMessages kExceptionMessages{"KOVRA> Receive() timeout 2nd part message",
                                          "KOVRA> Receive() wrong length 2nd part message"};
constexpr PartMessages kByteCountMessages{"KOVRA> Receive() error reading data part message",
                                          "KOVRA> Receive() wrong length data part message"};
constexpr PartMessages kLastPartMessages{"KOVRA> Receive() reading timeout last data part message",
                                         "KOVRA> Receive() wrong length last data part message"};

} // namespace

int Send(DriverContext& context, std::uint8_t* frame, std::size_t length) {
    if (context.interFrameGap != 0) {
        SleepMilliseconds(context.interFrameGap);
    }
    // The tail of a late or broken earlier reply must not be read as part of
    // the reply to this request.
    (void)FlushInput(context.portHandle);

    const std::uint16_t crc = Crc16(frame, length);
    frame[length] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[length + 1] = static_cast<std::uint8_t>(crc >> 8);
    const unsigned total = static_cast<unsigned>(length + kCrcLength);

    const bool switching = context.rtsCtsSwitching != 0;
    if (switching && !SetRts(context.portHandle, true)) {
        err(kSeverityTrace, "KOVRA> Send() EscapeCommFunction() failed");
    }
    const auto writeStarted = std::chrono::steady_clock::now();
    unsigned written = 0;
    const int result = WritePort(context.portHandle, frame, total, &written);
    if (switching) {
        // RTS must not fall while the frame is still on the line: its own
        // wire time and one character of margin.
        const auto onTheLine =
            writeStarted + WireTime(total + 1, CharacterHalfBits(context.portSettings),
                                    context.portSettings.baudRate);
        if (!DrainOutput(context.portHandle, onTheLine)) {
            err(kSeverityTrace, "KOVRA> Send() ClearCommError() failed");
        }
        if (!SetRts(context.portHandle, false)) {
            err(kSeverityTrace, "KOVRA> Send() EscapeCommFunction() failed");
        }
    }
    if (result != kSerialOk || written != total) {
        err(kSeverityTrace, "KOVRA> Send() Unable to send message.");
        return kStatusUnavailable;
    }
    return kStatusDone;
}

int Receive(DriverContext& context, std::uint8_t* buffer, std::size_t& receivedLength) {
    receivedLength = 0;
    const bool writeEcho = context.writeReplyPending == 1;
    ReplyInProgress reply{context.portHandle, buffer, receivedLength, writeEcho};
    if (!ReadPart(reply, kHeaderLength, kHeaderMessages)) {
        return kStatusUnavailable;
    }
    // The exception test comes first: a write refused by the PLC answers with
    // the short exception frame, not with an echo.
    const bool exception = (buffer[1] & kExceptionFlag) != 0;
    if (ReplyLength(buffer, receivedLength, writeEcho) == 0 &&
        !ReadPart(reply, kByteCountLength, kByteCountMessages)) {
        return kStatusUnavailable;
    }
    const std::size_t total = ReplyLength(buffer, receivedLength, writeEcho);
    if (!ReadPart(reply, total, exception ? kExceptionMessages : kLastPartMessages)) {
        return kStatusUnavailable;
    }
    return kStatusDone;
}

} // namespace kovra
