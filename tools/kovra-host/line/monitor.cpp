#include "line/monitor.h"

#include "line/frames.h"
#include "link/crc.h"
#include "link/frame_length.h"
#include "output/format.h"
#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace kovra_host {
namespace {

constexpr double kMinimumSilence = 0.002;

bool AwaitsEcho(std::uint8_t function) {
    return function == 5 || function == 6 || function == 15 || function == 16;
}

std::string Printf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string TimeOfDay(double epoch) {
    const auto seconds = static_cast<std::time_t>(std::floor(epoch));
    std::tm local{};
    LocalTime(seconds, local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>((epoch - std::floor(epoch)) * 1000));
    return text;
}

std::string FrameLine(const SeenFrame& frame, Direction direction, double startEpoch) {
    return TraceLine(TimeOfDay(startEpoch + frame.at) + Printf(" +%.3f", frame.gap), direction,
                     frame.bytes);
}

} // namespace

double Transaction::replyMs() const {
    return request && reply ? (reply->at - request->at) * 1000.0 : 0.0;
}

const char* FlagName(LineFlag flag) {
    switch (flag) {
    case LineFlag::None:
        return "";
    case LineFlag::CrcError:
        return "CRC error";
    case LineFlag::Exception:
        return "exception";
    case LineFlag::NoReply:
        return "no reply";
    case LineFlag::OtherStation:
        return "reply from another station";
    case LineFlag::Garbage:
        return "garbage";
    }
    return "";
}

LineMonitor::LineMonitor(unsigned baud, unsigned bitsPerCharacter, unsigned timeoutMs)
    : silence_(std::max(kMinimumSilence, 3.5 * bitsPerCharacter / baud)),
      timeout_(timeoutMs / 1000.0) {}

std::vector<Transaction> LineMonitor::feed(double at, const std::uint8_t* bytes,
                                           std::size_t count) {
    std::vector<Transaction> out = idle(at);
    if (burst_.empty()) {
        burstStart_ = at;
    }
    burst_.insert(burst_.end(), bytes, bytes + count);
    lastByte_ = at;
    bytes_ += count;
    return out;
}

std::vector<Transaction> LineMonitor::idle(double now) {
    std::vector<Transaction> out;
    if (!burst_.empty() && now - lastByte_ >= silence_) {
        cut(out);
    }
    if (pending_ && burst_.empty() && now - pendingEnd_ > timeout_) {
        closeRequest(LineFlag::NoReply, std::nullopt, out);
    }
    return out;
}

std::vector<Transaction> LineMonitor::finish(double now) {
    std::vector<Transaction> out;
    if (!burst_.empty()) {
        cut(out);
    }
    if (pending_) {
        closeRequest(now - pendingEnd_ > timeout_ ? LineFlag::NoReply : LineFlag::None,
                     std::nullopt, out);
    }
    return out;
}

// One burst between silences: frames by the length rule, a frame whose CRC
// fails taken as damaged only when it fills the rest of the burst, and
// otherwise the first byte set aside as garbage and the cut tried again one
// byte on.
void LineMonitor::cut(std::vector<Transaction>& out) {
    std::size_t i = 0;
    while (i < burst_.size()) {
        const std::uint8_t* head = burst_.data() + i;
        const std::size_t known = burst_.size() - i;
        const auto intact = [head, known](std::size_t length) {
            return length != 0 && length <= known && kovra::FrameCrcMatches(head, length);
        };
        // A master that gave up waiting sends its next request (or the same
        // one again): the request before it had no reply.
        if (pending_ && !intact(kovra::ReplyLength(head, known, AwaitsEcho(pending_->bytes[1]))) &&
            intact(kovra::RequestLength(head, known))) {
            closeRequest(LineFlag::NoReply, std::nullopt, out);
            continue;
        }
        const std::size_t length =
            pending_ ? kovra::ReplyLength(head, known, AwaitsEcho(pending_->bytes[1]))
                     : kovra::RequestLength(head, known);
        if (length == 0 || length > known) {
            if (length == 0 && !pending_ && known >= 2) {
                addGarbage(burst_[i++]);
                continue;
            }
            break;
        }
        const bool whole = intact(length);
        if (!whole && i + length != burst_.size()) {
            addGarbage(burst_[i++]);
            continue;
        }
        endGarbage(out);
        // Frames that came in one read share its time; only the first had a
        // silence before it.
        SeenFrame frame{burstStart_, i == 0 ? burstStart_ - lastFrameEnd_ : 0.0,
                        std::vector<std::uint8_t>(head, head + length)};
        take(std::move(frame), whole ? LineFlag::None : LineFlag::CrcError, out);
        i += length;
    }
    while (i < burst_.size()) {
        addGarbage(burst_[i++]);
    }
    endGarbage(out);
    lastFrameEnd_ = lastByte_;
    burst_.clear();
}

void LineMonitor::take(SeenFrame frame, LineFlag flag, std::vector<Transaction>& out) {
    if (pending_) {
        if (flag == LineFlag::None && frame.bytes[0] != pending_->bytes[0]) {
            flag = LineFlag::OtherStation;
        } else if (flag == LineFlag::None && (frame.bytes[1] & kovra::kExceptionFlag) != 0) {
            flag = LineFlag::Exception;
        }
        closeRequest(flag, std::move(frame), out);
        return;
    }
    StationStats& station = stations_[frame.bytes[0]];
    ++station.requests;
    // A damaged request or a broadcast awaits no reply.
    if (flag != LineFlag::None || frame.bytes[0] == 0) {
        if (flag != LineFlag::None) {
            ++station.errors[flag];
        }
        Transaction alone;
        alone.request = std::move(frame);
        alone.flag = flag;
        out.push_back(std::move(alone));
        return;
    }
    pending_ = std::move(frame);
    pendingEnd_ = lastByte_;
}

void LineMonitor::closeRequest(LineFlag flag, std::optional<SeenFrame> reply,
                               std::vector<Transaction>& out) {
    Transaction transaction;
    transaction.request = std::move(pending_);
    transaction.reply = std::move(reply);
    transaction.flag = flag;
    pending_.reset();
    StationStats& station = stations_[transaction.request->bytes[0]];
    if (transaction.reply) {
        ++station.replies;
        if (flag == LineFlag::None || flag == LineFlag::Exception) {
            station.replyMs.add(static_cast<unsigned>(std::lround(transaction.replyMs())));
        }
    }
    if (flag != LineFlag::None) {
        ++station.errors[flag];
    }
    out.push_back(std::move(transaction));
}

void LineMonitor::addGarbage(std::uint8_t byte) {
    if (garbageRun_.empty()) {
        garbageAt_ = burstStart_;
    }
    garbageRun_.push_back(byte);
    ++garbage_;
}

void LineMonitor::endGarbage(std::vector<Transaction>& out) {
    if (garbageRun_.empty()) {
        return;
    }
    Transaction transaction;
    transaction.flag = LineFlag::Garbage;
    transaction.garbage = std::move(garbageRun_);
    transaction.garbageAt = garbageAt_;
    garbageRun_.clear();
    out.push_back(std::move(transaction));
}

std::string TransactionText(const Transaction& transaction, double startEpoch) {
    std::string text;
    if (transaction.flag == LineFlag::Garbage) {
        return TimeOfDay(startEpoch + transaction.garbageAt) + " ! garbage, " +
               Plural(static_cast<unsigned>(transaction.garbage.size()), "byte") + ": " +
               HexBytes(transaction.garbage.data(), transaction.garbage.size()) + "\n";
    }
    text += FrameLine(*transaction.request, Direction::ToPlc, startEpoch) + "\n";
    if (transaction.reply) {
        text += FrameLine(*transaction.reply, Direction::FromPlc, startEpoch) +
                Printf("  (%.0f ms)", transaction.replyMs()) + "\n";
    }
    if (transaction.flag == LineFlag::NoReply || transaction.flag == LineFlag::OtherStation) {
        text += std::string(12, ' ') + " ! " + FlagName(transaction.flag) + "\n";
    }
    return text;
}

std::string TransactionJson(const Transaction& transaction, double startEpoch) {
    const auto hex = [](const std::optional<SeenFrame>& frame) {
        return frame ? JsonString(HexBytes(frame->bytes.data(), frame->bytes.size())) : "null";
    };
    const double at = transaction.request ? transaction.request->at : transaction.garbageAt;
    std::string text = "{\"time\":" + JsonString(TimeOfDay(startEpoch + at));
    if (transaction.request) {
        text += ",\"station\":" + JsonString(HexByte(transaction.request->bytes[0])) +
                ",\"request\":" + hex(transaction.request) + ",\"reply\":" + hex(transaction.reply);
        text += transaction.reply ? Printf(",\"reply_ms\":%.1f", transaction.replyMs()) : "";
    } else {
        text += ",\"garbage\":" +
                JsonString(HexBytes(transaction.garbage.data(), transaction.garbage.size()));
    }
    text += std::string(",\"flag\":") +
            (transaction.flag == LineFlag::None ? "null" : JsonString(FlagName(transaction.flag))) +
            "}\n";
    return text;
}

std::string MonitorSummary(const LineMonitor& monitor, double seconds, unsigned baud,
                           unsigned bitsPerCharacter) {
    std::string text;
    for (const auto& [address, station] : monitor.stations()) {
        text += "station " + HexByte(static_cast<unsigned>(address)) + ": " +
                Plural(station.requests, "request") + ", " + std::to_string(station.replies) +
                (station.replies == 1 ? " reply" : " replies");
        std::string errors;
        for (const auto& [flag, count] : station.errors) {
            errors += (errors.empty() ? "; errors: " : ", ") + std::string(FlagName(flag)) + " " +
                      std::to_string(count);
        }
        text += errors;
        if (const ReplyTimes& times = station.replyMs; times.count() != 0) {
            text += "; reply time min " + std::to_string(times.min()) + " ms, median " +
                    std::to_string(times.median()) + " ms, max " + std::to_string(times.max()) +
                    " ms";
        }
        text += "\n";
    }
    if (monitor.garbageBytes() > 0) {
        text += "garbage: " + Plural(monitor.garbageBytes(), "byte") + "\n";
    }
    const double load =
        seconds > 0 ? static_cast<double>(monitor.bytes()) * bitsPerCharacter / baud / seconds : 0;
    text += "line: " + Plural(static_cast<unsigned>(monitor.bytes()), "byte") +
            Printf(" in %.1f s", seconds) + " at " + std::to_string(baud) + " baud, " +
            std::to_string(bitsPerCharacter) +
            " bits a character: " + Printf("%.1f%% load", load * 100) + "\n";
    return text;
}

} // namespace kovra_host
