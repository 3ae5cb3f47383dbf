// The telnet side of a serial device server (RFC 854 with the COM-PORT-OPTION
// of RFC 2217): data bytes escaped on the way out, unescaped on the way in,
// the server's option offers answered, and the line settings sent as the
// option's SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE.
#pragma once

#include "contract/records.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kovra_host::telnet {

using kovra::CommSettings;

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPortOption = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the
// command plus 100 and the value it took.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kServerOffset = 100;

// Data for the wire: every 0xFF doubled.
void AppendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t count);

// What the client offers at once: binary both ways, no go-ahead, and that it
// will speak COM-PORT-OPTION.
std::vector<std::uint8_t> Offers();

// The four subnegotiations that set the server's line as `settings` say.
std::vector<std::uint8_t> LineSettingsRequest(const CommSettings& settings);

// The server's confirmed line settings in words: "19200 baud, 8 data bits,
// parity even, 1 stop bit"; what it did not confirm is left out.
std::string DescribeConfirmed(const std::map<std::uint8_t, std::vector<std::uint8_t>>& confirmed);

// Reads the telnet stream from the server.
class Reader {
  public:
    explicit Reader(const CommSettings& settings) : settings_(settings) {}

    // Takes `count` bytes from the wire and leaves the data among them at
    // the front of `bytes`, returning how many; appends to `answers` what
    // must go back to the server (option answers, the line settings once the
    // server accepts COM-PORT-OPTION).
    std::size_t feed(std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& answers);

    // The server's answers to the SET commands, by SET command.
    const std::map<std::uint8_t, std::vector<std::uint8_t>>& confirmed() const {
        return confirmed_;
    }

  private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    void answerOption(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& answers);
    void endSub();

    CommSettings settings_;
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> sub_;
    // Options in force: ours (WILL) and the server's (DO), starting with the offers.
    std::map<std::uint8_t, bool> ours_{
        {kBinary, true}, {kSuppressGoAhead, true}, {kComPortOption, true}};
    std::map<std::uint8_t, bool> theirs_{{kBinary, true}, {kSuppressGoAhead, true}};
    bool settingsSent_ = false;
    std::map<std::uint8_t, std::vector<std::uint8_t>> confirmed_;
};

} // namespace kovra_host::telnet
