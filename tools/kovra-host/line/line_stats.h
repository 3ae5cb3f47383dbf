// What crossed the line, frame by frame: each request, and how the PLC
// answered it. A request that the next one follows without a reply went
// unanswered; the driver's retries are thus counted by their cause. Noise
// before a reply is what the driver reads as the reply's start: the attempt
// is judged by those bytes, not by the clean frame that the trace finds
// after them.
#pragma once

#include "line/reply_times.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace kovra_host {

// Why a request got no good reply.
enum class ReplyFault {
    Silence,      // no reply before the next request
    Crc,          // a reply whose CRC does not match
    WrongStation, // a reply from another station
    BadReply,     // the wrong function or length, or an echo that differs
    Exception,    // the PLC refused the request
};
constexpr std::size_t kReplyFaultCount = 5;
const char* ReplyFaultName(ReplyFault fault);

struct StationFigures {
    unsigned frames = 0; // requests sent
    unsigned good = 0;   // good replies
    std::array<unsigned, kReplyFaultCount> faults{};
    ReplyTimes replyMs; // of the good replies

    unsigned failed() const;
    void add(const StationFigures& other);
};

// By station.
using LineFigures = std::map<int, StationFigures>;
StationFigures Total(const LineFigures& figures);
void Merge(LineFigures& into, const LineFigures& from);

class LineStats {
  public:
    void request(const std::vector<std::uint8_t>& frame, std::int64_t nowMs);
    // Whether the reply answers the request before it well.
    bool reply(const std::vector<std::uint8_t>& frame, std::int64_t nowMs);
    // Bytes that belong to no frame, seen before the reply.
    void garbage(const std::vector<std::uint8_t>& bytes);
    // So far; a request still awaiting its reply counts as unanswered.
    LineFigures figures() const;

  private:
    std::optional<std::vector<std::uint8_t>> pending_;
    std::int64_t sentAt_ = 0;
    std::vector<std::uint8_t> garbage_; // since the pending request
    LineFigures stations_;
};

} // namespace kovra_host
