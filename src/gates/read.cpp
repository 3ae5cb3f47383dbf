// Read transactions: one J-bus read request, up to four exchanges, and the
// reply's data stored in the caller's value area.
#include "gates/read.h"

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/host_library.h"
#include "contract/records.h"
#include "gates/routes.h"
#include "link/jbus.h"
#include "link/reply_check.h"

#include <algorithm>
#include <cstring>

namespace kovra {

namespace {

constexpr std::size_t kReadRequestLength = 6;
constexpr std::uint8_t kReadWordsFunction = 3;

// Reply layout: station, function, byte count, data.
constexpr std::size_t kReplyByteCount = 2;
constexpr std::size_t kReplyData = 3;

// Registers per element: a 32-bit element is two consecutive words.
std::int32_t Scale(const GateDescriptor& descriptor) {
    return descriptor.gate.width == 32 ? 2 : 1;
}

void StoreWord(void* values, std::size_t index, std::uint16_t value) {
    std::memcpy(static_cast<std::uint8_t*>(values) + index * sizeof value, &value, sizeof value);
}

void StoreLong(void* values, std::size_t index, std::uint32_t value) {
    std::memcpy(static_cast<std::uint8_t*>(values) + index * sizeof value, &value, sizeof value);
}

std::uint16_t WordAt(const std::uint8_t* data) {
    return static_cast<std::uint16_t>(data[0] << 8 | data[1]);
}

// A counter/chrono keeps 24 significant bits: its top byte is not part of the value.
std::uint32_t LongAt(const std::uint8_t* data, int memoryType) {
    const std::uint32_t low24 = static_cast<std::uint32_t>(data[1]) << 16 |
                                static_cast<std::uint32_t>(data[2]) << 8 | data[3];
    if (memoryType == kMemoryCounter) {
        return low24;
    }
    return static_cast<std::uint32_t>(data[0]) << 24 | low24;
}

// One exchange of the request already built in txFrame; 0 with a reply fit
// for decoding in rxFrame, else the attempt's status. `final` is set when no
// further attempt may follow.
int ReadAttempt(DriverContext& context, int attempt, bool& final) {
    if (Send(context, context.txFrame, kReadRequestLength) != 0) {
        err(kSeverityTrace, "KOVRA> DoRead() error sending request, retry %d", attempt);
        return kStatusUnavailable;
    }
    std::size_t length = 0;
    if (Receive(context, context.rxFrame, length) != 0) {
        err(kSeverityTrace, "KOVRA> DoRead() error reading reply, retry %d", attempt);
        return kStatusUnavailable;
    }
    // Decoding takes the data where the request puts it: a reply to some
    // other request, or a short one, would store stale buffer bytes.
    const ReplyCheck check = CheckReply(context.txFrame, context.rxFrame, length);
    switch (check.fault) {
    case ReplyFault::None:
        return kStatusDone;
    case ReplyFault::Station:
        err(kSeverityTrace, "KOVRA> DoRead() wrong plcaddr %d of rcv. mess., retry %d",
            static_cast<int>(check.received), attempt);
        return kStatusRefused;
    case ReplyFault::Crc:
        err(kSeverityTrace, "KOVRA> DoRead() crc error, retry %d", attempt);
        return kStatusRefused;
    case ReplyFault::Exception:
        err(kSeverityTrace, "KOVRA> DoRead() plc sent 0x80 => error");
        err(kSeverityTrace, "KOVRA> DoRead() received 0x80 error code, %02xh", check.received);
        final = true;
        return kStatusRefused;
    case ReplyFault::Function:
        err(kSeverityTrace, "KOVRA> DoRead() wrong function %02xh of rcv. mess., retry %d",
            check.received, attempt);
        return kStatusRefused;
    case ReplyFault::ByteCount:
    default: // the echo faults are a write's own
        err(kSeverityTrace, "KOVRA> DoRead() wrong byte count %u of rcv. mess., retry %d",
            check.received, attempt);
        return kStatusRefused;
    }
}

int ReadAndLog(VpiRequest& request, const char* failureFormat) {
    if (ContextOf(request).portEnabled == 0) {
        return kStatusUnavailable;
    }
    const int status = DoRead(request);
    if (status != kStatusDone) {
        err(kSeverityTrace, failureFormat, status);
    }
    return status;
}

} // namespace

int SingleRead(VpiRequest& request) {
    return ReadAndLog(request, "KOVRA> SingleRead() , ret val is %d");
}

int BlockRead(VpiRequest& request) {
    return ReadAndLog(request, "KOVRA> BlockRead() , ret val is %d");
}

int DoRead(VpiRequest& request) {
    const GateDescriptor& descriptor = DescriptorOf(request);
    if (const RoutedOperation route = RouteFor(descriptor.gate.memoryType)) {
        return route(request);
    }
    DriverContext& context = ContextOf(request);
    BuildReadRequest(descriptor, context.txFrame);

    int status = kStatusDone;
    bool final = false;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        status = ReadAttempt(context, attempt, final);
        if (status == kStatusDone || final) {
            break;
        }
    }
    if (status != kStatusDone) {
        return status;
    }
    return DecodeReadReply(descriptor, context.rxFrame);
}

std::size_t BuildReadRequest(const GateDescriptor& descriptor, std::uint8_t* frame) {
    const GateAddress& gate = descriptor.gate;
    const auto address = static_cast<std::uint16_t>(gate.address * Scale(descriptor));
    const auto quantity = static_cast<std::uint16_t>(static_cast<std::uint32_t>(descriptor.count) *
                                                     static_cast<std::uint32_t>(Scale(descriptor)));
    frame[0] = static_cast<std::uint8_t>(gate.station);
    frame[1] =
        gate.width == 32 ? kReadWordsFunction : static_cast<std::uint8_t>(gate.memoryType - '0');
    frame[2] = static_cast<std::uint8_t>(address >> 8);
    frame[3] = static_cast<std::uint8_t>(address);
    frame[4] = static_cast<std::uint8_t>(quantity >> 8);
    frame[5] = static_cast<std::uint8_t>(quantity);
    return kReadRequestLength;
}

int DecodeReadReply(const GateDescriptor& descriptor, const std::uint8_t* reply) {
    const GateAddress& gate = descriptor.gate;
    const std::uint8_t* data = reply + kReplyData;
    const std::int32_t count = descriptor.count;
    void* values = descriptor.values;

    if (gate.width != 1 && gate.width != 16 && gate.width != 32) {
        return kStatusRefused;
    }
    if (count == 1) {
        // Single layout: a bit or word in bytes 2 and 3, a 32-bit value in bytes 0 to 3.
        if (gate.width == 1) {
            StoreWord(values, 1, data[0] != 0 ? 1 : 0);
        } else if (gate.width == 16) {
            const std::uint16_t word = WordAt(data);
            StoreWord(values, 1,
                      gate.bitNumber == kNoBitNumber
                          ? word
                          : static_cast<std::uint16_t>((word >> gate.bitNumber) & 1));
        } else {
            StoreLong(values, 0, LongAt(data, gate.memoryType));
        }
        return kStatusDone;
    }
    if (count <= 0) {
        return kStatusDone;
    }
    // The quantity on the wire is 16 bits wide: a count the frame could not
    // carry must not make the decoding read past what the reply holds.
    const std::size_t dataBytes = reply[kReplyByteCount];
    const auto requested = static_cast<std::size_t>(count);
    if (gate.width == 1) {
        std::memcpy(values, data, std::min((requested + 7) / 8, dataBytes));
        return kStatusDone;
    }
    const std::size_t elements = std::min(requested, dataBytes / (gate.width / 8));
    if (gate.width == 16) {
        for (std::size_t i = 0; i < elements; ++i) {
            StoreWord(values, i, WordAt(data + 2 * i));
        }
    } else {
        for (std::size_t i = 0; i < elements; ++i) {
            StoreLong(values, i, LongAt(data + 4 * i, gate.memoryType));
        }
    }
    return kStatusDone;
}

} // namespace kovra
