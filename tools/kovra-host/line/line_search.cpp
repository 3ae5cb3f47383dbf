#include "line/line_search.h"

namespace kovra_host {
namespace {

constexpr unsigned kSpeeds[] = {9600, 19200, 38400, 57600, 4800, 2400, 1200};

struct Framing {
    const char* parity;
    const char* stopBits;
};
constexpr Framing kFramings[] = {{"none", "1"}, {"even", "1"}, {"odd", "1"}, {"none", "2"}};

// A read request (8 bytes) and a one-word reply (7), 11 bits a character
// at most (8 data bits, parity, 2 stop bits, start bit).
constexpr unsigned kProbeBits = (8 + 7) * 11;
constexpr unsigned kSpareMs = 40;

} // namespace

std::vector<LineCandidate> LineCandidates(bool searchFraming) {
    std::vector<LineCandidate> candidates;
    for (const unsigned baud : kSpeeds) {
        if (!searchFraming) {
            candidates.push_back({baud, "", ""});
            continue;
        }
        for (const auto& framing : kFramings) {
            candidates.push_back({baud, framing.parity, framing.stopBits});
        }
    }
    return candidates;
}

unsigned ProbeTimeoutMs(unsigned baud) {
    const unsigned attempt = (kProbeBits * 1000 + baud - 1) / baud + kSpareMs;
    return (attempt + 9) / 10 * 10;
}

std::string CandidateOptions(const LineCandidate& candidate) {
    std::string text = "--baud " + std::to_string(candidate.baud);
    if (!candidate.parity.empty()) {
        text += " --parity " + candidate.parity;
    }
    if (candidate.stopBits == "2") {
        text += " --stop-bits 2";
    }
    return text;
}

std::optional<LineCandidate> SearchLine(const std::vector<LineCandidate>& candidates,
                                        const std::function<bool(const LineCandidate&)>& answers) {
    for (const auto& candidate : candidates) {
        if (answers(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace kovra_host
