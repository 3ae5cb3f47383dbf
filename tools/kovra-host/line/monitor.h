// A line that another master owns, listened to: the byte stream cut into
// J-bus frames by the driver's length rule and the line's silence, each
// request paired with its reply, and what went wrong flagged.
#pragma once

#include "line/reply_times.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

struct SeenFrame {
    double at = 0;  // seconds since the capture began, at the frame's first byte
    double gap = 0; // silence before it, in seconds
    std::vector<std::uint8_t> bytes;
};

enum class LineFlag { None, CrcError, Exception, NoReply, OtherStation, Garbage };

// A request and its reply, or garbage alone.
struct Transaction {
    std::optional<SeenFrame> request;
    std::optional<SeenFrame> reply;
    LineFlag flag = LineFlag::None;
    std::vector<std::uint8_t> garbage; // bytes between frames that fit none
    double garbageAt = 0;
    double replyMs() const;
};

struct StationStats {
    unsigned requests = 0;
    unsigned replies = 0;
    std::map<LineFlag, unsigned> errors;
    ReplyTimes replyMs; // to the nearest millisecond
};

class LineMonitor {
  public:
    // `bitsPerCharacter` with start, parity and stop bits: the silence that
    // ends a frame is 3.5 characters (at least 2 ms, the resolution of a
    // computer's timing); a request with no reply within `timeoutMs` is
    // flagged.
    LineMonitor(unsigned baud, unsigned bitsPerCharacter, unsigned timeoutMs);

    // Bytes seen at `at` seconds; returns the transactions they completed.
    std::vector<Transaction> feed(double at, const std::uint8_t* bytes, std::size_t count);
    // Time passed with no byte: a silence ends the bytes pending, a timeout
    // a request.
    std::vector<Transaction> idle(double now);
    // The end of the capture: everything pending is told.
    std::vector<Transaction> finish(double now);

    const std::map<int, StationStats>& stations() const { return stations_; }
    std::uint64_t bytes() const { return bytes_; }
    unsigned garbageBytes() const { return garbage_; }

  private:
    void cut(std::vector<Transaction>& out);
    void take(SeenFrame frame, LineFlag flag, std::vector<Transaction>& out);
    void closeRequest(LineFlag flag, std::optional<SeenFrame> reply, std::vector<Transaction>& out);
    void addGarbage(std::uint8_t byte);
    void endGarbage(std::vector<Transaction>& out);

    double silence_;
    double timeout_;
    std::vector<std::uint8_t> burst_;
    double burstStart_ = 0;
    double lastByte_ = -1;
    double lastFrameEnd_ = 0;
    std::optional<SeenFrame> pending_; // a request awaiting its reply
    double pendingEnd_ = 0;
    std::vector<std::uint8_t> garbageRun_;
    double garbageAt_ = 0;
    std::map<int, StationStats> stations_;
    std::uint64_t bytes_ = 0;
    unsigned garbage_ = 0;
};

const char* FlagName(LineFlag flag);

// As --trace tells frames, with the time of day (`startEpoch` + seconds) and
// the gap before each: one line a frame, then the flag.
std::string TransactionText(const Transaction& transaction, double startEpoch);
// One JSON object.
std::string TransactionJson(const Transaction& transaction, double startEpoch);
// Per station: requests, replies, errors by kind, reply times; then the
// line's load over `seconds`.
std::string MonitorSummary(const LineMonitor& monitor, double seconds, unsigned baud,
                           unsigned bitsPerCharacter);

} // namespace kovra_host
