// Write transactions: a single bit or word (J-bus functions 5 and 6), and the
// one block shape the driver writes, four registers (function 16), which is
// how a PLC clock is set.
#include "gates/write.h"

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/host_library.h"
#include "contract/records.h"
#include "gates/routes.h"
#include "link/jbus.h"
#include "link/reply_check.h"

#include <cstring>

namespace kovra {

namespace {

constexpr std::uint8_t kWriteBitFunction = 5;
constexpr std::uint8_t kWriteWordFunction = 6;
constexpr std::uint8_t kWriteWordsFunction = 16;
constexpr std::size_t kSingleWriteLength = 6;
constexpr std::int32_t kBlockWriteWords = 4;
constexpr std::size_t kBlockWriteBytes = 2 * kBlockWriteWords;
constexpr std::size_t kBlockWriteLength = 7 + kBlockWriteBytes;

// While a write waits for its reply, Receive expects the fixed-length echo
// instead of a read reply; every later read depends on the flag being down.
class WriteReplyPending {
  public:
    explicit WriteReplyPending(DriverContext& context) : context_(context) {
        context_.writeReplyPending = 1;
    }
    ~WriteReplyPending() { context_.writeReplyPending = 0; }
    WriteReplyPending(const WriteReplyPending&) = delete;
    WriteReplyPending& operator=(const WriteReplyPending&) = delete;

  private:
    DriverContext& context_;
};

int WriteAttempt(DriverContext& context, std::uint8_t* frame, std::size_t length, int attempt,
                 bool& final) {
    if (Send(context, frame, length) != 0) {
        err(kSeverityTrace, "KOVRA> DoWrite() send error, retry %d", attempt);
        return kStatusUnavailable;
    }
    std::size_t received = 0;
    if (Receive(context, context.rxFrame, received) != 0) {
        err(kSeverityTrace, "KOVRA> DoWrite() receive error, retry %d", attempt);
        return kStatusRefused;
    }
    // A reply is refused unless it echoes the request: another station's, or
    // an echo of another write, says nothing of whether this one was done.
    const ReplyCheck check = CheckReply(frame, context.rxFrame, received);
    const char* mismatch = nullptr; // the message of an echo that does not match
    switch (check.fault) {
    case ReplyFault::None:
        return kStatusDone;
    case ReplyFault::Crc:
        err(kSeverityTrace, "KOVRA> DoWrite() error in crc, retry %d", attempt);
        return kStatusRefused;
    case ReplyFault::Exception:
        err(kSeverityTrace, "KOVRA> DoWrite() plc sent 0x80 error code %02xh", check.received);
        final = true;
        return kStatusRefused;
    case ReplyFault::Station:
        mismatch = "KOVRA> DoWrite() wrong station %02x of rcv. mess., retry %d";
        break;
    case ReplyFault::Function:
        mismatch = "KOVRA> DoWrite() wrong function %02x of rcv. mess., retry %d";
        break;
    case ReplyFault::Address:
        mismatch = "KOVRA> DoWrite() wrong address %04x of rcv. mess., retry %d";
        break;
    case ReplyFault::Value:
        mismatch = "KOVRA> DoWrite() wrong value %04x of rcv. mess., retry %d";
        break;
    case ReplyFault::Quantity:
    default: // a byte count is a read's own
        mismatch = "KOVRA> DoWrite() wrong quantity %u of rcv. mess., retry %d";
        break;
    }
    err(kSeverityTrace, mismatch, check.received, attempt);
    return kStatusRefused;
}

std::uint16_t SingleValue(const GateDescriptor& descriptor) {
    std::uint16_t value = 0;
    std::memcpy(&value, static_cast<const std::uint8_t*>(descriptor.values) + 2, sizeof value);
    return value;
}

} // namespace

int SingleWrite(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    if (context.portEnabled == 0) {
        return kStatusRefused;
    }
    const GateDescriptor& descriptor = DescriptorOf(request);
    const GateAddress& gate = descriptor.gate;
    // I and S gates always have a handler of their own; an H gate is written
    // as a plain register.
    if (gate.memoryType == kMemoryJournal || gate.memoryType == kMemoryClock) {
        return RouteFor(gate.memoryType)(request);
    }
    if (gate.memoryType == kMemoryInputBits || gate.memoryType == kMemoryInputWords ||
        gate.memoryType == kMemoryCounter || gate.memoryType == kMemoryFloat) {
        err(kSeverityTrace,
            "KOVRA> SingleWrite() not allowed for types '2', '4', 'C', 'F' and 'I'");
        return kStatusRefused;
    }
    if (gate.bitNumber != kNoBitNumber) {
        err(kSeverityTrace, "KOVRA> SingleWrite() not allowed for spec. dig gates");
        return kStatusRefused;
    }

    const std::uint16_t value = SingleValue(descriptor);
    std::uint8_t* frame = context.txFrame;
    frame[0] = static_cast<std::uint8_t>(gate.station);
    frame[2] = static_cast<std::uint8_t>(gate.address >> 8);
    frame[3] = static_cast<std::uint8_t>(gate.address);
    if (gate.width == 1) {
        frame[1] = kWriteBitFunction;
        frame[4] = value != 0 ? 0xFF : 0x00;
        frame[5] = 0x00;
    } else if (gate.width == 16) {
        frame[1] = kWriteWordFunction;
        frame[4] = static_cast<std::uint8_t>(value >> 8);
        frame[5] = static_cast<std::uint8_t>(value);
    } else {
        return kStatusRefused;
    }

    const int status = DoWrite(request, frame, kSingleWriteLength);
    if (status != kStatusDone) {
        err(kSeverityTrace, "KOVRA> SingleWrite() exited, rc= %u", static_cast<unsigned>(status));
    }
    return status;
}

int BlockWrite(VpiRequest& request) {
    const GateDescriptor& descriptor = DescriptorOf(request);
    const GateAddress& gate = descriptor.gate;
    if (descriptor.count != kBlockWriteWords || gate.memoryType != kMemoryWords) {
        err(kSeverityTrace, "KOVRA> BlockWrite() not supported");
        return kStatusRefused;
    }
    // The caller hands the registers already in wire order, high byte first.
    std::uint8_t* frame = ContextOf(request).txFrame;
    frame[0] = static_cast<std::uint8_t>(gate.station);
    frame[1] = kWriteWordsFunction;
    frame[2] = static_cast<std::uint8_t>(gate.address >> 8);
    frame[3] = static_cast<std::uint8_t>(gate.address);
    frame[4] = 0;
    frame[5] = static_cast<std::uint8_t>(kBlockWriteWords);
    frame[6] = static_cast<std::uint8_t>(kBlockWriteBytes);
    std::memcpy(frame + 7, descriptor.values, kBlockWriteBytes);
    return DoWrite(request, frame, kBlockWriteLength);
}

int DoWrite(VpiRequest& request, std::uint8_t* frame, std::size_t length) {
    DriverContext& context = ContextOf(request);
    const WriteReplyPending pending(context);
    int status = kStatusDone;
    bool final = false;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        status = WriteAttempt(context, frame, length, attempt, final);
        if (status == kStatusDone || final) {
            break;
        }
    }
    return status;
}

} // namespace kovra
