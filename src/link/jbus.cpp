// One J-bus frame each way. Every request waits the inter-frame gap and
// discards what is left of any earlier reply; a reply is read in parts whose
// lengths follow from what has already arrived.
#include "link/jbus.h"

#include "contract/context.h"
#include "contract/host_library.h"
#include "link/crc.h"
#include "link/serial_port.h"

namespace kovra {

namespace {

constexpr std::uint16_t kHeaderLength = 2;  // station, function
constexpr std::uint16_t kExceptionRest = 3; // exception code, CRC
constexpr std::uint16_t kWriteEchoRest = 6; // address, value or count, CRC
constexpr std::uint16_t kCrcLength = 2;

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
    unsigned written = 0;
    const int result = WritePort(context.portHandle, frame, total, &written);
    if (switching) {
        // RTS must not fall while the frame is still on the line.
        if (!DrainOutput(context.portHandle)) {
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
    unsigned got = 0;

    if (ReadPort(context.portHandle, buffer, kHeaderLength, &got) != kSerialOk) {
        err(kSeverityTrace, "KOVRA> Receive() timeout 1");
        return kStatusUnavailable;
    }
    receivedLength += got;
    if (got < kHeaderLength) {
        err(kSeverityTrace, "KOVRA> Receive() wrong length reading header");
        return kStatusUnavailable;
    }

    // The exception test comes first: a write refused by the PLC answers with
    // the short exception frame, not with an echo.
    if ((buffer[1] & kExceptionFlag) != 0) {
        if (ReadPort(context.portHandle, buffer + receivedLength, kExceptionRest, &got) !=
            kSerialOk) {
            err(kSeverityTrace, "KOVRA> Receive() timeout 2nd part message");
            return kStatusUnavailable;
        }
        receivedLength += got;
        if (got < kExceptionRest) {
            err(kSeverityTrace, "KOVRA> Receive() wrong length 2nd part message");
            return kStatusUnavailable;
        }
        return kStatusDone;
    }

    std::uint16_t expected = 0;
    if (context.writeReplyPending == 1) {
        expected = kWriteEchoRest;
    } else {
        if (ReadPort(context.portHandle, buffer + receivedLength, 1, &got) != kSerialOk) {
            err(kSeverityTrace, "KOVRA> Receive() error reading data part message");
            return kStatusUnavailable;
        }
        receivedLength += got;
        if (got < 1) {
            err(kSeverityTrace, "KOVRA> Receive() wrong length data part message");
            return kStatusUnavailable;
        }
        expected = static_cast<std::uint16_t>(buffer[2] + kCrcLength);
    }

    if (ReadPort(context.portHandle, buffer + receivedLength, expected, &got) != kSerialOk) {
        err(kSeverityTrace, "KOVRA> Receive() reading timeout last data part message");
        return kStatusUnavailable;
    }
    receivedLength += got;
    if (got < expected) {
        err(kSeverityTrace, "KOVRA> Receive() wrong length last data part message");
        return kStatusUnavailable;
    }
    return kStatusDone;
}

} // namespace kovra
