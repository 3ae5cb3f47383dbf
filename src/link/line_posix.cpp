// Linux's termios2 carries any speed (BOTHER) besides the classic codes. Its
// header cannot live beside <termios.h>, so this file speaks termios2 only.
#include "link/line_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace kovra {

namespace {

struct ClassicSpeed {
    unsigned baud;
    tcflag_t code;
};

// The classic codes the 16-bit speed field reaches. A line set with one of
// them reads back the same way through the classic interface too.
constexpr ClassicSpeed kClassicSpeeds[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
};

tcflag_t SpeedCode(unsigned baud) {
    for (const ClassicSpeed& speed : kClassicSpeeds) {
        if (speed.baud == baud) {
            return speed.code;
        }
    }
    return BOTHER;
}

// The control flags of the character format, or null with `reason` set. There
// is no flag for one and a half stop bits, but a UART set to 5 data bits and
// two stop bits sends one and a half, so 1.5 goes with 5 data bits only (as on
// Win32).
bool CharacterFormat(const CommSettings& settings, tcflag_t* flags, std::string* reason) {
    const unsigned dataBits = settings.dataBits & 0xFFu;
    const unsigned stopBits = settings.stopBits & 0xFFu;
    const unsigned parity = settings.parity & 0xFFu;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    static constexpr tcflag_t kStops[] = {0, CSTOPB, CSTOPB};
    static constexpr tcflag_t kParities[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                             PARENB | CMSPAR};
    std::string why;
    if (dataBits < 5 || dataBits > 8) {
        why = std::to_string(dataBits) + " data bits (5 to 8)";
    } else if (stopBits > 2) {
        why = "stop bits code " + std::to_string(stopBits) + " (0 one, 1 one and a half, 2 two)";
    } else if (stopBits == 1 && dataBits != 5) {
        why = "one and a half stop bits with " + std::to_string(dataBits) +
              " data bits (only with 5)";
    } else if (parity > 4) {
        why = "parity code " + std::to_string(parity) + " (0 none, 1 odd, 2 even, 3 mark, 4 space)";
    } else {
        *flags = kSizes[dataBits - 5] | kStops[stopBits] | kParities[parity];
        return true;
    }
    if (reason != nullptr) {
        *reason = "cannot carry " + why;
    }
    return false;
}

LineFault Fail(LineFault fault, std::string* reason, const std::string& why) {
    if (reason != nullptr) {
        *reason = why;
    }
    return fault;
}

} // namespace

LineFault SetUpLine(int fd, const CommSettings& settings, std::string* reason) {
    termios2 state{};
    if (ioctl(fd, TCGETS2, &state) != 0) {
        return Fail(LineFault::Unreadable, reason,
                    std::string("no serial line: ") + std::strerror(errno));
    }
    tcflag_t format = 0;
    if (!CharacterFormat(settings, &format, reason)) {
        return LineFault::Format;
    }
    const unsigned baud = settings.baudRate;
    if (baud == 0) {
        return Fail(LineFault::Speed, reason, "cannot run at speed 0");
    }
    state.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    // A byte with a parity error reads as 0, and its frame then fails the CRC.
    if ((format & PARENB) != 0) {
        state.c_iflag |= INPCK;
    }
    state.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    state.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    state.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD |
                                            CMSPAR | CRTSCTS);
    state.c_cflag |= format | SpeedCode(baud) | CREAD | CLOCAL;
    state.c_ispeed = baud; // CIBAUD 0: input at the output speed
    state.c_ospeed = baud;
    state.c_cc[VMIN] = 0;
    state.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &state) != 0) {
        return Fail(LineFault::Refused, reason,
                    "the device refuses these settings: " + std::string(std::strerror(errno)));
    }
    // A device that cannot reach the speed may settle on another one.
    termios2 taken{};
    if (ioctl(fd, TCGETS2, &taken) != 0 || taken.c_ospeed != baud) {
        return Fail(LineFault::Refused, reason,
                    "the device does not run at " + std::to_string(baud) + " baud");
    }
    return LineFault::None;
}

} // namespace kovra
