// What the driver's messages tell kovra-host: why a request failed (each
// message names the cause at the layer that saw it), and how a collection
// moves on. Every stem kovra-host recognises stands in the tables here, asked
// through the queries below; nothing else in the program reads log text. The
// driver keeps each message where it logs it.
#pragma once

#include "session/capture.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

enum class FaultKind {
    Unknown,
    SilentStation,    // nothing came back
    IncompleteReply,  // a reply cut short
    CrcError,         // a reply whose CRC does not match
    OtherStation,     // a reply from another station
    WrongReply,       // a reply with another function, length or echo
    Exception,        // the PLC refused the request with an exception code
    NotP200X,         // a P200X-only request to a station not marked P200X
    SendFailed,       // the request could not be written
    PortGone,         // the device went away
    PortInUse,        // another program holds the device
    PermissionDenied, // the device may not be opened by this user
    PositionsUnsaved, // the last-event file could not be written
};

struct DriverStem {
    const char* text; // a part of the message that only this cause produces
    FaultKind kind;
};

// Every stem kovra-host recognises, most specific first.
const std::vector<DriverStem>& DriverStems();

struct Diagnosis {
    FaultKind kind = FaultKind::Unknown;
    std::optional<unsigned> exceptionCode;
    std::string message; // the driver message that told it, without "KOVRA> "
};

// The cause named by the latest message that names one: the last attempt
// decides, as it decided the status.
Diagnosis Classify(const std::vector<LogLine>& messages);

// The cause in words: "station 01 does not answer on /dev/ttyS0".
std::string Explain(const Diagnosis& diagnosis, int station, const std::string& port);

// The kind in a few words: "silent station"; with a count, what it left:
// "2 unanswered requests", "1 CRC error".
const char* KindName(FaultKind kind);
std::string KindCount(FaultKind kind, unsigned count);

// A message without its "KOVRA> " prefix.
std::string WithoutPrefix(const std::string& message);

// The driver's message that it could not write its positions through to the
// last-event file, explained; nothing when none says so.
std::optional<std::string> PositionsUnsaved(const std::vector<LogLine>& messages);

// What a message that names no fault tells.
enum class Sign {
    None,
    FileRead,         // a journal or memo file is being read
    RecordPassedOver, // a journal record whose address has no gate
    Returned,         // the trace of a function's return value, no reason
    IllegalCharacter, // a gate refused at a character
    LastEventOpen,    // the last-event file could not be opened or created
};

struct SignStem {
    const char* text;
    const char* also; // a second part the message must hold too, or null
    Sign sign;
};

const std::vector<SignStem>& SignStems();
Sign SignOf(const std::string& message);

unsigned CountSigns(const std::vector<LogLine>& messages, Sign sign);
// The latest message with that sign, without its prefix.
std::optional<std::string> LastWithSign(const std::vector<LogLine>& messages, Sign sign);
// The latest message of the driver's own that gives a reason, without its prefix.
std::optional<std::string> LastReason(const std::vector<LogLine>& messages);
// The character, counted from 0, at which the driver refused a gate.
std::optional<std::size_t> RefusedCharacter(const std::string& reason);

// The J-bus addresses of the journal records passed over for want of a gate,
// each once, in the order the driver named them ("J-bus Address 0099").
std::vector<unsigned> PassedOverAddresses(const std::vector<LogLine>& messages);

// What a lost-records alert names:
// "KOVRA01 05:'Journal de Bord' overflow probably records lost".
struct LostRecordsAlert {
    int station = 0;
    std::uint16_t file = 0;
    std::string fileName;  // "'Journal de Bord'", "'MemoFile $0020'"
    bool overflow = false; // the ring turned over, rather than the file was cleared
};
std::optional<LostRecordsAlert> ReadLostRecordsAlert(const std::string& text);

} // namespace kovra_host
