#include "line/line_stats.h"

#include "line/frames.h"
#include "link/frame_length.h"
#include "link/reply_check.h"

#include <optional>

namespace kovra_host {

const char* ReplyFaultName(ReplyFault fault) {
    switch (fault) {
    case ReplyFault::Silence:
        return "silence";
    case ReplyFault::Crc:
        return "CRC";
    case ReplyFault::WrongStation:
        return "wrong station";
    case ReplyFault::BadReply:
        return "wrong function, length or echo";
    case ReplyFault::Exception:
        return "exception";
    }
    return "?";
}

unsigned StationFigures::failed() const {
    unsigned sum = 0;
    for (const unsigned count : faults) {
        sum += count;
    }
    return sum;
}

void StationFigures::add(const StationFigures& other) {
    frames += other.frames;
    good += other.good;
    for (std::size_t i = 0; i < kReplyFaultCount; ++i) {
        faults[i] += other.faults[i];
    }
    replyMs.merge(other.replyMs);
}

StationFigures Total(const LineFigures& figures) {
    StationFigures total;
    for (const auto& [station, one] : figures) {
        total.add(one);
    }
    return total;
}

void Merge(LineFigures& into, const LineFigures& from) {
    for (const auto& [station, one] : from) {
        into[station].add(one);
    }
}

namespace {

// Why the driver would refuse the reply, judged as it judges: a reply of
// another length than the header announces, then the driver's own check.
std::optional<ReplyFault> Judge(const std::vector<std::uint8_t>& request,
                                const std::vector<std::uint8_t>& reply) {
    const bool exception = (reply[1] & kovra::kExceptionFlag) != 0;
    const std::size_t length =
        exception ? kovra::frame_layout::kExceptionLength : ReplyLengthFor(request);
    if (request.size() < 6 || length == 0 || reply.size() != length) {
        return ReplyFault::BadReply;
    }
    switch (kovra::CheckReply(request.data(), reply.data(), reply.size()).fault) {
    case kovra::ReplyFault::None:
        return std::nullopt;
    case kovra::ReplyFault::Station:
        return ReplyFault::WrongStation;
    case kovra::ReplyFault::Crc:
        return ReplyFault::Crc;
    case kovra::ReplyFault::Exception:
        return ReplyFault::Exception;
    default:
        return ReplyFault::BadReply;
    }
}

} // namespace

void LineStats::request(const std::vector<std::uint8_t>& frame, std::int64_t nowMs) {
    if (frame.empty()) {
        return;
    }
    if (pending_) {
        ++stations_[(*pending_)[0]].faults[static_cast<std::size_t>(ReplyFault::Silence)];
    }
    ++stations_[frame[0]].frames;
    pending_ = frame;
    garbage_.clear();
    sentAt_ = nowMs;
}

void LineStats::garbage(const std::vector<std::uint8_t>& bytes) {
    if (pending_) {
        garbage_.insert(garbage_.end(), bytes.begin(), bytes.end());
    }
}

bool LineStats::reply(const std::vector<std::uint8_t>& frame, std::int64_t nowMs) {
    if (!pending_ || frame.size() < 2) {
        return false; // a reply nobody asked for: not one of ours to count
    }
    const std::vector<std::uint8_t> request = std::move(*pending_);
    pending_.reset();
    // The driver takes noise for the reply's start and reads on from there:
    // what it judged is the noise and the reply, as long as a reply.
    std::vector<std::uint8_t> taken = frame;
    if (!garbage_.empty()) {
        taken = std::move(garbage_);
        garbage_.clear();
        taken.insert(taken.end(), frame.begin(), frame.end());
        if (const std::size_t length = ReplyLengthFor(request);
            length != 0 && taken.size() > length) {
            taken.resize(length);
        }
    }
    StationFigures& station = stations_[request[0]];
    if (const auto fault = Judge(request, taken)) {
        ++station.faults[static_cast<std::size_t>(*fault)];
        return false;
    }
    ++station.good;
    station.replyMs.add(static_cast<unsigned>(nowMs - sentAt_));
    return true;
}

LineFigures LineStats::figures() const {
    LineFigures figures = stations_;
    if (pending_) {
        ++figures[(*pending_)[0]].faults[static_cast<std::size_t>(ReplyFault::Silence)];
    }
    return figures;
}

} // namespace kovra_host
