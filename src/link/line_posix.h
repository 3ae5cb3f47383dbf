// The setup of a POSIX serial line from the host's line settings, shared by
// the driver's port and kovra-host's relay, so that a line is either set up
// as asked or refused with the reason, never silently changed. POSIX only.
#pragma once

#include "contract/records.h"

#include <string>

namespace kovra {

enum class LineFault {
    None,
    Unreadable, // the device has no terminal state: it is no serial line
    Format,     // data bits, stop bits or parity that the line cannot carry
    Speed,      // speed 0, which would hang the line up
    Refused,    // the device refused the state, or took another speed
};

// Raw binary transfer (no flow control, no character translation, parity
// checked when parity is on) with the settings' speed and character format:
// data bits 5 to 8; stop bits 0 one, 1 one and a half, 2 two; parity 0 none,
// 1 odd, 2 even, 3 mark, 4 space; the low byte of each code counts. Any speed
// the 16-bit field carries is asked of the device, not only the classic
// table. Reads return at once with what is there. On a fault, `reason` (when
// given) says for a person what could not be had.
LineFault SetUpLine(int fd, const CommSettings& settings, std::string* reason);

} // namespace kovra
