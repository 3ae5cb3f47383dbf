#include "session/diagnosis.h"

#include "output/format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kovra_host {

const std::vector<DriverStem>& DriverStems() {
    // The DoRead and DoWrite messages that follow a Receive failure only say
    // that the reply is missing; the Receive message before them says why.
    static const std::vector<DriverStem> kStems = {
        {"Receive() timeout 1", FaultKind::SilentStation},
        {"Receive() wrong length reading header", FaultKind::IncompleteReply},
        {"Receive() timeout 2nd part message", FaultKind::IncompleteReply},
        {"Receive() wrong length 2nd part message", FaultKind::IncompleteReply},
        {"Receive() error reading data part message", FaultKind::IncompleteReply},
        {"Receive() wrong length data part message", FaultKind::IncompleteReply},
        {"Receive() reading timeout last data part message", FaultKind::IncompleteReply},
        {"Receive() wrong length last data part message", FaultKind::IncompleteReply},
        {"crc error", FaultKind::CrcError},
        {"error in crc", FaultKind::CrcError},
        {"wrong plcaddr", FaultKind::OtherStation},
        {"wrong station", FaultKind::OtherStation},
        {"wrong function", FaultKind::WrongReply},
        {"wrong byte count", FaultKind::WrongReply},
        {"wrong address", FaultKind::WrongReply},
        {"wrong value", FaultKind::WrongReply},
        {"wrong quantity", FaultKind::WrongReply},
        {"0x80 error code", FaultKind::Exception},
        {"only supported on P200-X", FaultKind::NotP200X},
        {"float gates only supported on P200X", FaultKind::NotP200X},
        {"Send() Unable to send message", FaultKind::SendFailed},
        // fseek(), fwrite() or fflush() of a position; not the WARNINGs.
        {"WriteFileLastHoro() f", FaultKind::PositionsUnsaved},
    };
    return kStems;
}

const std::vector<SignStem>& SignStems() {
    static const std::vector<SignStem> kStems = {
        {"ReadHoroFile()", " reading ", Sign::FileRead},
        {"gate not defined", nullptr, Sign::RecordPassedOver},
        {"ret val is", nullptr, Sign::Returned},
        {"exited, rc=", nullptr, Sign::Returned},
        {"illegal char #", nullptr, Sign::IllegalCharacter},
        {"OpenLastHoro()", nullptr, Sign::LastEventOpen},
    };
    return kStems;
}

namespace {

// The two hexadecimal digits after "code" in "received 0x80 error code, 02h".
std::optional<unsigned> ExceptionCodeIn(const std::string& text) {
    const auto code = text.rfind("code");
    if (code == std::string::npos) {
        return std::nullopt;
    }
    const auto digits = text.find_first_of("0123456789abcdefABCDEF", code + 4);
    if (digits == std::string::npos) {
        return std::nullopt;
    }
    return static_cast<unsigned>(std::strtoul(text.substr(digits, 2).c_str(), nullptr, 16));
}

} // namespace

std::string WithoutPrefix(const std::string& message) {
    const std::string prefix = "KOVRA> ";
    return message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
}

Diagnosis Classify(const std::vector<LogLine>& messages) {
    for (auto message = messages.rbegin(); message != messages.rend(); ++message) {
        for (const auto& stem : DriverStems()) {
            if (message->text.find(stem.text) == std::string::npos) {
                continue;
            }
            Diagnosis diagnosis{stem.kind, std::nullopt, WithoutPrefix(message->text)};
            if (stem.kind == FaultKind::Exception) {
                diagnosis.exceptionCode = ExceptionCodeIn(message->text);
            }
            return diagnosis;
        }
    }
    return {};
}

std::optional<std::string> PositionsUnsaved(const std::vector<LogLine>& messages) {
    for (const auto& message : messages) {
        if (const Diagnosis diagnosis = Classify({message});
            diagnosis.kind == FaultKind::PositionsUnsaved) {
            return Explain(diagnosis, 0, "");
        }
    }
    return std::nullopt;
}

Sign SignOf(const std::string& message) {
    for (const auto& stem : SignStems()) {
        if (message.find(stem.text) != std::string::npos &&
            (stem.also == nullptr || message.find(stem.also) != std::string::npos)) {
            return stem.sign;
        }
    }
    return Sign::None;
}

unsigned CountSigns(const std::vector<LogLine>& messages, Sign sign) {
    unsigned count = 0;
    for (const auto& message : messages) {
        count += SignOf(message.text) == sign ? 1 : 0;
    }
    return count;
}

std::optional<std::string> LastWithSign(const std::vector<LogLine>& messages, Sign sign) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (SignOf(it->text) == sign) {
            return WithoutPrefix(it->text);
        }
    }
    return std::nullopt;
}

std::optional<std::string> LastReason(const std::vector<LogLine>& messages) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (SignOf(it->text) == Sign::Returned) {
            continue;
        }
        if (it->text.rfind("KOVRA", 0) == 0) {
            return WithoutPrefix(it->text);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> RefusedCharacter(const std::string& reason) {
    for (const auto& stem : SignStems()) {
        const auto at = reason.find(stem.text);
        if (stem.sign == Sign::IllegalCharacter && at != std::string::npos) {
            return std::strtoul(reason.c_str() + at + std::strlen(stem.text), nullptr, 10);
        }
    }
    return std::nullopt;
}

std::vector<unsigned> PassedOverAddresses(const std::vector<LogLine>& messages) {
    std::vector<unsigned> addresses;
    for (const auto& message : messages) {
        const auto at = message.text.find("J-bus Address ");
        unsigned address = 0;
        if (SignOf(message.text) == Sign::RecordPassedOver && at != std::string::npos &&
            std::sscanf(message.text.c_str() + at, "J-bus Address %x", &address) == 1 &&
            std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
            addresses.push_back(address);
        }
    }
    return addresses;
}

const char* KindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::SilentStation:
        return "silent station";
    case FaultKind::IncompleteReply:
        return "incomplete reply";
    case FaultKind::CrcError:
        return "CRC error";
    case FaultKind::OtherStation:
        return "reply from another station";
    case FaultKind::WrongReply:
        return "wrong reply";
    case FaultKind::Exception:
        return "exception";
    case FaultKind::NotP200X:
        return "not a P200X";
    case FaultKind::SendFailed:
        return "send failure";
    case FaultKind::PortGone:
        return "port gone";
    case FaultKind::PortInUse:
        return "port in use";
    case FaultKind::PermissionDenied:
        return "permission denied";
    case FaultKind::PositionsUnsaved:
        return "positions not saved";
    case FaultKind::Unknown:
        break;
    }
    return "other";
}

std::string KindCount(FaultKind kind, unsigned count) {
    // Counted, a silent station is the requests it left unanswered: three of
    // them may be one station's.
    struct Counted {
        FaultKind kind;
        const char* one;
        const char* many;
    };
    static const Counted kCounted[] = {
        {FaultKind::SilentStation, "unanswered request", "unanswered requests"},
        {FaultKind::IncompleteReply, "incomplete reply", "incomplete replies"},
        {FaultKind::CrcError, "CRC error", "CRC errors"},
        {FaultKind::OtherStation, "reply from another station", "replies from another station"},
        {FaultKind::WrongReply, "wrong reply", "wrong replies"},
        {FaultKind::Exception, "exception", "exceptions"},
        {FaultKind::SendFailed, "send failure", "send failures"},
    };
    const char* name = KindName(kind);
    for (const auto& counted : kCounted) {
        if (counted.kind == kind) {
            name = count == 1 ? counted.one : counted.many;
        }
    }
    return std::to_string(count) + " " + name;
}

std::string Explain(const Diagnosis& diagnosis, int station, const std::string& port) {
    const std::string who = "station " + HexByte(static_cast<unsigned>(station));
    const std::string on = port.empty() ? "" : " on " + port;
    switch (diagnosis.kind) {
    case FaultKind::SilentStation:
        return who + " does not answer" + on;
    case FaultKind::IncompleteReply:
        return who + "'s reply breaks off before its end" + on;
    case FaultKind::CrcError:
        return who + "'s replies fail their CRC check" + on;
    case FaultKind::OtherStation:
        return "another station answered in place of " + who + on;
    case FaultKind::WrongReply:
        return who + "'s reply does not fit the request (" + diagnosis.message + ")";
    case FaultKind::Exception:
        if (diagnosis.exceptionCode) {
            return who + " refused the request (exception " + HexByte(*diagnosis.exceptionCode) +
                   ": " + ExceptionMeaning(*diagnosis.exceptionCode) + ")";
        }
        return who + " refused the request";
    case FaultKind::NotP200X:
        return who + " is not a P200X for the driver (add the line 'P200X = " +
               HexByte(static_cast<unsigned>(station)) + "' to the init file)";
    case FaultKind::SendFailed:
        return "cannot send to " + who + on;
    case FaultKind::PortGone:
        return "port " + port + " is gone";
    case FaultKind::PortInUse:
        return "port " + port + " is in use by another program";
    case FaultKind::PermissionDenied:
        return "port " + port + ": Permission denied";
    case FaultKind::PositionsUnsaved:
        return "the driver could not save its positions: " + diagnosis.message;
    case FaultKind::Unknown:
        break;
    }
    return diagnosis.message;
}

std::optional<LostRecordsAlert> ReadLostRecordsAlert(const std::string& text) {
    static constexpr const char* kOverflow = " overflow probably records lost";
    static constexpr const char* kCleared = " cleared probably records lost";
    static constexpr const char* kJournal = "'Journal de Bord'";
    unsigned driver = 0;
    unsigned station = 0;
    int nameAt = 0;
    if (std::sscanf(text.c_str(), "KOVRA%2u %2x:%n", &driver, &station, &nameAt) != 2 ||
        nameAt == 0) {
        return std::nullopt;
    }
    LostRecordsAlert alert;
    alert.station = static_cast<int>(station);
    const auto ends = [&](const char* tail) {
        const std::size_t length = std::strlen(tail);
        return text.size() >= nameAt + length &&
               text.compare(text.size() - length, length, tail) == 0;
    };
    alert.overflow = ends(kOverflow);
    if (!alert.overflow && !ends(kCleared)) {
        return std::nullopt;
    }
    alert.fileName = text.substr(static_cast<std::size_t>(nameAt),
                                 text.size() - static_cast<std::size_t>(nameAt) -
                                     std::strlen(alert.overflow ? kOverflow : kCleared));
    // "'MemoFile $%04x'": four lower-case hexadecimal digits.
    static constexpr const char* kMemo = "'MemoFile $";
    const std::string& name = alert.fileName;
    const std::size_t digitsAt = std::strlen(kMemo);
    const bool memo = name.size() == digitsAt + 5 && name.compare(0, digitsAt, kMemo) == 0 &&
                      name.back() == '\'' &&
                      std::all_of(name.begin() + digitsAt, name.end() - 1, [](char digit) {
                          return std::isdigit(static_cast<unsigned char>(digit)) ||
                                 (digit >= 'a' && digit <= 'f');
                      });
    if (name == kJournal) {
        alert.file = 1;
    } else if (memo) {
        alert.file = static_cast<std::uint16_t>(std::stoul(name.substr(digitsAt, 4), nullptr, 16));
    } else {
        return std::nullopt;
    }
    return alert;
}

} // namespace kovra_host
