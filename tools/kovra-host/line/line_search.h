// A line whose settings nobody remembers: the common speeds, and with them
// the common framings, in the order a line is most likely to run them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

struct LineCandidate {
    unsigned baud = 9600;
    // As the command line names them; empty keeps what was given.
    std::string parity;
    std::string stopBits;
};

// The speeds alone, or each speed with none, even and odd parity and with no
// parity and 2 stop bits. Speeds above 65535 baud are left out: the driver's
// port record holds the speed in 16 bits.
std::vector<LineCandidate> LineCandidates(bool searchFraming);

// The reply timeout of each of the driver's tries that lets a station answer
// at that speed: a read request and its short reply, with 40 ms to spare.
unsigned ProbeTimeoutMs(unsigned baud);

// "--baud 19200 --parity even", with the stop bits when they are 2.
std::string CandidateOptions(const LineCandidate& candidate);

// The first candidate at which `answers` sees a station answer.
std::optional<LineCandidate> SearchLine(const std::vector<LineCandidate>& candidates,
                                        const std::function<bool(const LineCandidate&)>& answers);

} // namespace kovra_host
