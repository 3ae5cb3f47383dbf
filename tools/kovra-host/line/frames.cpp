#include "line/frames.h"

#include "journal/read_plan.h"
#include "link/crc.h"
#include "link/frame_length.h"
#include "output/format.h"

#include <cstdio>

namespace kovra_host {

using kovra::Crc16;
using kovra::FrameCrcMatches;
namespace {

constexpr std::uint16_t kClockRegister = 0x0001;

std::string Printf(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

std::string DescribeRequest(const std::vector<std::uint8_t>& frame) {
    const unsigned function = frame[1];
    if (frame.size() < 6) {
        return Printf("function %02X", function);
    }
    const std::uint16_t address = FrameWord(frame, 2);
    const std::uint16_t value = FrameWord(frame, 4);
    switch (function) {
    case 1:
        return "read " + Plural(value, "bit") + Printf(" at 0x%04X", address);
    case 2:
        return "read " + Plural(value, "input bit") + Printf(" at 0x%04X", address);
    case 3:
    case 4: {
        std::string text = "read " + Plural(value, function == 3 ? "word" : "input word") +
                           Printf(" at 0x%04X", address);
        if (function == 3 && address == kovra::kFileTableAddress) {
            text += " (journal file table)";
        } else if (function == 3 && address == kovra::kHeaderAddress && value == 16) {
            text += " (journal file header)";
        }
        return text;
    }
    case 5:
        return Printf("write bit 0x%04X = %u", address,
                      value == 0xFF00 ? 1u
                      : value == 0    ? 0u
                                      : value);
    case 6: {
        std::string text = Printf("write word 0x%04X = 0x%04X", address, value);
        if (address == kovra::kFileSelectAddress) {
            text += Printf(" (select journal file $%04x)", value);
        }
        return text;
    }
    case 16: {
        std::string text = "write " + Plural(value, "word") + Printf(" at 0x%04X", address);
        if (address == kClockRegister && value == 4 && frame.size() >= 15) {
            // Day, month, years since 1900, hours, minutes, seconds, 0, weekday.
            char clock[96];
            std::snprintf(clock, sizeof clock, " (set clock to %04u-%02u-%02u %02u:%02u:%02u)",
                          1900u + frame[9], frame[8], frame[7], frame[10], frame[11], frame[12]);
            text += clock;
        }
        return text;
    }
    default:
        return Printf("function %02X", function);
    }
}

std::string DescribeReply(const std::vector<std::uint8_t>& frame) {
    const unsigned function = frame[1];
    if (function & 0x80) {
        const unsigned code = frame.size() > 2 ? frame[2] : 0;
        return Printf("exception %02X to function %02X", code, function & 0x7F) + " (" +
               ExceptionMeaning(code) + ")";
    }
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4: {
        if (frame.size() < 3) {
            return "read reply";
        }
        const unsigned count = frame[2];
        std::string text = "reply, " + Plural(count, "data byte");
        if ((function == 3 || function == 4) && count == 2 && frame.size() >= 5) {
            text += Printf(": 0x%04X", FrameWord(frame, 3));
        }
        return text;
    }
    case 5:
    case 6:
    case 15:
    case 16:
        return "write acknowledged";
    default:
        return Printf("function %02X", function);
    }
}

} // namespace

std::size_t FrameSplitter::expectedLength() const {
    if (direction_ == Direction::ToPlc) {
        return kovra::RequestLength(buffer_.data(), buffer_.size());
    }
    if (buffer_.size() < 2) {
        return 0;
    }
    // The line does not say whether a write is awaiting its echo: the
    // function tells the kind of reply, and the trace knows no other kind.
    const unsigned function = buffer_[1];
    const bool writeEcho = function == 5 || function == 6 || function == 15 || function == 16;
    const bool readData = function >= 1 && function <= 4;
    if ((function & kovra::kExceptionFlag) == 0 && !writeEcho && !readData) {
        return 0;
    }
    return kovra::ReplyLength(buffer_.data(), buffer_.size(), writeEcho);
}

std::uint16_t FrameWord(const std::vector<std::uint8_t>& frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}

std::size_t ReplyLengthFor(const std::vector<std::uint8_t>& request) {
    if (request.size() < kovra::frame_layout::kFixedRequestLength) {
        return 0;
    }
    const unsigned quantity = FrameWord(request, 4);
    switch (request[1]) {
    case 1:
    case 2:
        return kovra::frame_layout::kReadOverhead + (quantity + 7) / 8;
    case 3:
    case 4:
        return kovra::frame_layout::kReadOverhead + 2 * quantity;
    case 5:
    case 6:
    case 15:
    case 16:
        return kovra::frame_layout::kWriteEchoLength;
    default:
        return 0;
    }
}

void FrameSplitter::expectReplyTo(const std::vector<std::uint8_t>& request) {
    request_ = ReplyLengthFor(request) == 0 ? std::vector<std::uint8_t>{} : request;
}

std::optional<std::size_t> FrameSplitter::replyLength() const {
    using kovra::frame_layout::kExceptionLength;
    const std::size_t length = ReplyLengthFor(request_);
    const std::uint8_t function = request_[1];
    const auto validAt = [&](std::size_t size) {
        return buffer_.size() >= size && FrameCrcMatches(buffer_.data(), size);
    };
    if (buffer_.size() >= 2 && buffer_[1] == (function | kovra::kExceptionFlag)) {
        if (buffer_.size() < kExceptionLength) {
            return 0;
        }
        if (validAt(kExceptionLength) || buffer_[0] == request_[0]) {
            return kExceptionLength;
        }
    }
    if (validAt(length)) {
        return length;
    }
    // The request's own station and function: a reply, its CRC right or not.
    if (buffer_.size() < 2 || (buffer_[0] == request_[0] && buffer_[1] == function)) {
        return buffer_.size() >= length ? length : 0;
    }
    // Another station's reply of the right length is told as such once whole.
    if (buffer_[1] == function && buffer_.size() < length) {
        return 0;
    }
    return std::nullopt;
}

std::vector<Piece> FrameSplitter::feed(const std::uint8_t* bytes, std::size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
    std::vector<Piece> pieces;
    std::vector<std::uint8_t> garbage;
    for (;;) {
        std::size_t length = 0;
        if (direction_ == Direction::FromPlc && !request_.empty()) {
            const auto reply = replyLength();
            if (!reply) {
                garbage.push_back(buffer_.front());
                buffer_.erase(buffer_.begin());
                continue;
            }
            length = *reply;
        } else {
            length = expectedLength();
        }
        if (length == 0 || buffer_.size() < length) {
            break;
        }
        if (!garbage.empty()) {
            pieces.push_back({std::move(garbage), true});
            garbage.clear();
        }
        const auto end = buffer_.begin() + static_cast<std::ptrdiff_t>(length);
        pieces.push_back({std::vector<std::uint8_t>(buffer_.begin(), end), false});
        buffer_.erase(buffer_.begin(), end);
        // One reply to a request: what follows it is not awaited.
        if (direction_ == Direction::FromPlc) {
            request_.clear();
        }
    }
    if (!garbage.empty()) {
        pieces.push_back({std::move(garbage), true});
    }
    return pieces;
}

std::vector<std::uint8_t> FrameSplitter::flush() {
    std::vector<std::uint8_t> rest;
    rest.swap(buffer_);
    return rest;
}

std::string DescribeFrame(Direction direction, const std::vector<std::uint8_t>& frame,
                          bool complete) {
    if (frame.size() < 2) {
        return "fragment";
    }
    std::string text = Printf("station %02X: ", frame[0]);
    text += direction == Direction::ToPlc ? DescribeRequest(frame) : DescribeReply(frame);
    if (!complete) {
        text += " [incomplete]";
    } else if (!FrameCrcMatches(frame.data(), frame.size())) {
        text += " [CRC error]";
    }
    return text;
}

std::string GarbageLine(const std::string& time, const std::vector<std::uint8_t>& bytes) {
    return time + " <- " + HexBytes(bytes.data(), bytes.size()) + "  garbage, " +
           Plural(static_cast<unsigned>(bytes.size()), "byte") + " skipped";
}

std::string TraceLine(const std::string& time, Direction direction,
                      const std::vector<std::uint8_t>& frame, bool complete) {
    return time + (direction == Direction::ToPlc ? " -> " : " <- ") +
           HexBytes(frame.data(), frame.size()) + "  " + DescribeFrame(direction, frame, complete);
}

} // namespace kovra_host
