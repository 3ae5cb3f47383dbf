#include "link/reply_check.h"

#include "link/crc.h"
#include "link/frame_length.h"

namespace kovra {

namespace {

constexpr std::size_t kFunction = 1;
constexpr std::size_t kByteCount = 2; // a read reply's; an exception's code
constexpr std::size_t kAddress = 2;   // a write echo's, then value or quantity
constexpr std::size_t kValue = 4;
constexpr std::uint8_t kWriteWordsFunction = 16;

unsigned WordAt(const std::uint8_t* frame, std::size_t at) {
    return static_cast<unsigned>(frame[at] << 8 | frame[at + 1]);
}

bool IsRead(std::uint8_t function) {
    return function >= 1 && function <= 4;
}

// The data bytes a read of the request's quantity takes.
unsigned ExpectedByteCount(const std::uint8_t* request) {
    const unsigned quantity = WordAt(request, kValue);
    const std::uint8_t function = request[kFunction];
    if (function == 1 || function == 2) {
        return (quantity + 7) / 8;
    }
    return quantity * 2;
}

} // namespace

ReplyCheck CheckReply(const std::uint8_t* request, const std::uint8_t* reply,
                      std::size_t replyLength) {
    if (reply[0] != request[0]) {
        return {ReplyFault::Station, reply[0]};
    }
    if (!FrameCrcMatches(reply, replyLength)) {
        return {ReplyFault::Crc, 0};
    }
    if ((reply[kFunction] & kExceptionFlag) != 0) {
        return {ReplyFault::Exception, reply[kByteCount]};
    }
    if (reply[kFunction] != request[kFunction]) {
        return {ReplyFault::Function, reply[kFunction]};
    }
    if (IsRead(request[kFunction])) {
        if (reply[kByteCount] != ExpectedByteCount(request)) {
            return {ReplyFault::ByteCount, reply[kByteCount]};
        }
        return {};
    }
    if (WordAt(reply, kAddress) != WordAt(request, kAddress)) {
        return {ReplyFault::Address, WordAt(reply, kAddress)};
    }
    if (WordAt(reply, kValue) != WordAt(request, kValue)) {
        return {request[kFunction] == kWriteWordsFunction ? ReplyFault::Quantity
                                                          : ReplyFault::Value,
                WordAt(reply, kValue)};
    }
    return {};
}

} // namespace kovra
