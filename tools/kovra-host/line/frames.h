// J-bus frames as they pass on the line, cut out of a byte stream and told in
// words, for --trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

enum class Direction { ToPlc, FromPlc };

// A piece of one direction's byte stream: a frame, or bytes that belong to
// none (noise on the line before a reply).
struct Piece {
    std::vector<std::uint8_t> bytes;
    bool garbage = false;
};

// Cuts one direction's byte stream into frames by the lengths that J-bus
// implies (request: 8 bytes, or 9 + n for a multiple write; reply: 5 for an
// exception, 5 + n for read data, 8 for a write echo). Bytes that fit no frame
// wait for flush(), which the caller invokes after a silence on the line.
// Told the request that a reply answers, the reply side resynchronises after
// noise: it slides one byte at a time until a frame of the length that the
// request calls for, with a valid CRC, or the request's own station and
// function, stands at the start; the bytes slid over are garbage.
class FrameSplitter {
  public:
    explicit FrameSplitter(Direction direction) : direction_(direction) {}
    std::vector<Piece> feed(const std::uint8_t* bytes, std::size_t count);
    std::vector<std::uint8_t> flush();
    bool pending() const { return !buffer_.empty(); }
    // The request whose reply comes next (reply side only).
    void expectReplyTo(const std::vector<std::uint8_t>& request);

  private:
    // Total length of the frame at the start of the buffer, 0 while unknown.
    std::size_t expectedLength() const;
    // With a request known: the reply's length at the start of the buffer, 0
    // while too few bytes have come, or nothing when the start is noise.
    std::optional<std::size_t> replyLength() const;

    Direction direction_;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> request_;
};

// The word at `at` of a frame, most significant byte first.
std::uint16_t FrameWord(const std::vector<std::uint8_t>& frame, std::size_t at);

// The length of the reply a request calls for, exceptions apart; 0 when the
// request does not tell it.
std::size_t ReplyLengthFor(const std::vector<std::uint8_t>& request);

// "station 01: read 1 word at 0x0010", with the CRC verdict and the journal
// and clock registers named.
std::string DescribeFrame(Direction direction, const std::vector<std::uint8_t>& frame,
                          bool complete = true);

// One trace line: time, arrow, hex bytes, meaning.
std::string TraceLine(const std::string& time, Direction direction,
                      const std::vector<std::uint8_t>& frame, bool complete = true);

// Bytes skipped before a reply: "13:45:30.125 <- FF 00  garbage, 2 bytes skipped".
std::string GarbageLine(const std::string& time, const std::vector<std::uint8_t>& bytes);

} // namespace kovra_host
