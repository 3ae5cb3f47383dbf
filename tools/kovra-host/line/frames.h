// J-bus frames as they pass on the line, cut out of a byte stream and told in
// words, for --trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kovra_host {

enum class Direction { ToPlc, FromPlc };

// Cuts one direction's byte stream into frames by the lengths that J-bus
// implies (request: 8 bytes, or 9 + n for a multiple write; reply: 5 for an
// exception, 5 + n for read data, 8 for a write echo). Bytes that fit no frame
// wait for flush(), which the caller invokes after a silence on the line.
class FrameSplitter {
  public:
    explicit FrameSplitter(Direction direction) : direction_(direction) {}
    std::vector<std::vector<std::uint8_t>> feed(const std::uint8_t* bytes, std::size_t count);
    std::vector<std::uint8_t> flush();
    bool pending() const { return !buffer_.empty(); }

  private:
    // Total length of the frame at the start of the buffer, 0 while unknown.
    std::size_t expectedLength() const;

    Direction direction_;
    std::vector<std::uint8_t> buffer_;
};

// "station 01: read 1 word at 0x0010", with the CRC verdict and the journal
// and clock registers named.
std::string DescribeFrame(Direction direction, const std::vector<std::uint8_t>& frame,
                          bool complete = true);

// One trace line: time, arrow, hex bytes, meaning.
std::string TraceLine(const std::string& time, Direction direction,
                      const std::vector<std::uint8_t>& frame, bool complete = true);

} // namespace kovra_host
