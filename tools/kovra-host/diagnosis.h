// Why a request failed, told from what the driver reported: its messages
// name the cause at the layer that saw it, and the device itself tells
// whether it is still there. The stems kovra-host recognises stand in one
// table; the driver keeps each message where it logs it.
#pragma once

#include "console.h"

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

// The kind in a few words: "silent station"; with a count: "2 silent stations".
const char* KindName(FaultKind kind);
std::string KindCount(FaultKind kind, unsigned count);

// A message without its "KOVRA> " prefix.
std::string WithoutPrefix(const std::string& message);

} // namespace kovra_host
