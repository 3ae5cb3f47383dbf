#include "line/rfc2217.h"

namespace kovra_host::telnet {
namespace {

void AppendSub(std::vector<std::uint8_t>& out, std::uint8_t command,
               const std::vector<std::uint8_t>& value) {
    out.insert(out.end(), {kIac, kSb, kComPortOption, command});
    AppendEscaped(out, value.data(), value.size());
    out.insert(out.end(), {kIac, kSe});
}

// The option's codes: parity 1 none, 2 odd, 3 even, 4 mark, 5 space (the
// port record counts from 0 none); stop size 1 one, 2 two, 3 one and a half.
std::uint8_t ParityCode(std::uint16_t parity) {
    return static_cast<std::uint8_t>(parity <= 4 ? parity + 1 : 1);
}

std::uint8_t StopSizeCode(std::uint16_t stopBits) {
    return stopBits == 2 ? 2 : stopBits == 1 ? 3 : 1;
}

} // namespace

void AppendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) {
            out.push_back(kIac);
        }
    }
}

std::vector<std::uint8_t> Offers() {
    return {kIac, kWill, kBinary,          kIac, kDo, kBinary,
            kIac, kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead,
            kIac, kWill, kComPortOption};
}

std::vector<std::uint8_t> LineSettingsRequest(const CommSettings& settings) {
    std::vector<std::uint8_t> out;
    const std::uint32_t baud = settings.baudRate;
    AppendSub(out, kSetBaudRate,
              {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
               static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)});
    AppendSub(out, kSetDataSize, {static_cast<std::uint8_t>(settings.dataBits)});
    AppendSub(out, kSetParity, {ParityCode(settings.parity)});
    AppendSub(out, kSetStopSize, {StopSizeCode(settings.stopBits)});
    return out;
}

std::string DescribeConfirmed(const std::map<std::uint8_t, std::vector<std::uint8_t>>& confirmed) {
    static const char* const kParities[] = {"none", "odd", "even", "mark", "space"};
    static const char* const kStops[] = {"1 stop bit", "2 stop bits", "1.5 stop bits"};
    std::string text;
    const auto add = [&text](const std::string& part) {
        text += (text.empty() ? "" : ", ") + part;
    };
    for (const auto& [command, value] : confirmed) {
        if (command == kSetBaudRate && value.size() == 4) {
            add(std::to_string(static_cast<std::uint32_t>(value[0]) << 24 | value[1] << 16 |
                               value[2] << 8 | value[3]) +
                " baud");
        } else if (command == kSetDataSize && value.size() == 1) {
            add(std::to_string(value[0]) + " data bits");
        } else if (command == kSetParity && value.size() == 1 && value[0] >= 1 && value[0] <= 5) {
            add(std::string("parity ") + kParities[value[0] - 1]);
        } else if (command == kSetStopSize && value.size() == 1 && value[0] >= 1 && value[0] <= 3) {
            add(kStops[value[0] - 1]);
        }
    }
    return text;
}

std::size_t Reader::feed(std::uint8_t* bytes, std::size_t count,
                         std::vector<std::uint8_t>& answers) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (state_) {
        case State::Data:
            if (byte == kIac) {
                state_ = State::Command;
            } else {
                bytes[kept++] = byte;
            }
            break;
        case State::Command:
            state_ = State::Data;
            if (byte == kIac) {
                bytes[kept++] = byte;
            } else if (byte >= kWill) {
                verb_ = byte;
                state_ = State::Option;
            } else if (byte == kSb) {
                sub_.clear();
                state_ = State::Sub;
            }
            break; // other commands (NOP, go-ahead, break) carry nothing for the line
        case State::Option:
            answerOption(verb_, byte, answers);
            state_ = State::Data;
            break;
        case State::Sub:
            if (byte == kIac) {
                state_ = State::SubCommand;
            } else {
                sub_.push_back(byte);
            }
            break;
        case State::SubCommand:
            if (byte == kIac) {
                sub_.push_back(byte);
                state_ = State::Sub;
            } else {
                if (byte == kSe) {
                    endSub();
                }
                state_ = State::Data;
            }
            break;
        }
    }
    return kept;
}

// Agrees to binary, no go-ahead and COM-PORT-OPTION, refuses the rest, and
// answers only a change, so that two ends never echo each other for ever.
void Reader::answerOption(std::uint8_t verb, std::uint8_t option,
                          std::vector<std::uint8_t>& answers) {
    const bool wanted = option == kBinary || option == kSuppressGoAhead ||
                        (option == kComPortOption && (verb == kDo || verb == kDont));
    const bool theirs = verb == kWill || verb == kWont;
    auto& state = theirs ? theirs_ : ours_;
    const bool now = (verb == kWill || verb == kDo) && wanted;
    if (const auto known = state.find(option); known == state.end() || known->second != now) {
        answers.insert(answers.end(),
                       {kIac, theirs ? (now ? kDo : kDont) : (now ? kWill : kWont), option});
    }
    state[option] = now;
    if (option == kComPortOption && verb == kDo && !settingsSent_) {
        const auto request = LineSettingsRequest(settings_);
        answers.insert(answers.end(), request.begin(), request.end());
        settingsSent_ = true;
    }
}

void Reader::endSub() {
    if (sub_.size() >= 2 && sub_[0] == kComPortOption && sub_[1] > kServerOffset &&
        sub_[1] <= kServerOffset + kSetStopSize) {
        confirmed_[static_cast<std::uint8_t>(sub_[1] - kServerOffset)] =
            std::vector<std::uint8_t>(sub_.begin() + 2, sub_.end());
    }
}

} // namespace kovra_host::telnet
