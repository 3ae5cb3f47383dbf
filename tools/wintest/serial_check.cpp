// kovra-serialcheck: the Win32 serial port layer against a real COM port.
//
// Run under Wine with COM9 linked to a pseudo-terminal whose master side is
// played by tests/wine/responder.cpp. The responder understands a handful of
// commands, so that every check looks at what crossed the line:
//   'E' n(2) bytes        echo the n bytes back
//   'S' n(2)              send n pattern bytes (byte i is (i * 7 + 3) & 0xFF)
//   'W' ms(2) n(1) bytes  wait ms milliseconds, then send the n bytes
//   'T'                   report the line settings of the terminal (12 bytes)
//   'Q'                   quit
// Two-byte counts and delays are sent high byte first.
#include "check.h"
#include "link/serial_port.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using wintest::Check;
using wintest::CheckEqual;
using wintest::Section;

using namespace kovra;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr CommSettings k9600_8N1{9600, 8, 0, 0};
constexpr CommSettings k19200_8N2{19200, 8, 2, 0};

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Bytes Command(char opcode, unsigned number, const Bytes& data = {}) {
    Bytes bytes{static_cast<std::uint8_t>(opcode), static_cast<std::uint8_t>(number >> 8),
                static_cast<std::uint8_t>(number & 0xFF)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

bool Send(PortHandle port, const Bytes& bytes) {
    unsigned written = 0;
    return WritePort(port, bytes.data(), static_cast<unsigned>(bytes.size()), &written) ==
               kSerialOk &&
           written == bytes.size();
}

// Reads exactly `count` bytes with the timeout in force; fewer on failure.
Bytes Receive(PortHandle port, unsigned count) {
    Bytes bytes(count);
    unsigned got = 0;
    if (ReadPort(port, bytes.data(), static_cast<std::uint16_t>(count), &got) != kSerialOk) {
        got = 0;
    }
    bytes.resize(got);
    return bytes;
}

// The terminal's settings as the responder sees them on the Linux side.
struct LineReport {
    unsigned baud = 0;
    bool twoStopBits = false;
    bool hardwareFlow = false;
    bool softwareFlow = false;
    bool lineEditing = false; // canonical input, echo or signal characters
    bool outputProcessing = false;
    bool inputTranslation = false; // CR/LF translation or stripping of bit 8
    bool valid = false;
};

LineReport QueryLine(PortHandle port) {
    LineReport report;
    if (!Send(port, {'T'})) {
        return report;
    }
    const Bytes reply = Receive(port, 12);
    if (reply.size() != 12) {
        return report;
    }
    report.baud = (unsigned{reply[0]} << 24) | (unsigned{reply[1]} << 16) |
                  (unsigned{reply[2]} << 8) | reply[3];
    // reply[4] to reply[6], the character size and parity, are fixed on a pseudo-terminal.
    report.twoStopBits = reply[7] != 0;
    report.hardwareFlow = reply[8] != 0;
    report.softwareFlow = reply[9] != 0;
    report.lineEditing = (reply[10] & 1) != 0;
    report.outputProcessing = (reply[10] & 2) != 0;
    report.inputTranslation = (reply[11] & 1) != 0;
    report.valid = true;
    return report;
}

void CheckRawLine(const LineReport& line) {
    Check(!line.hardwareFlow && !line.softwareFlow, "no RTS/CTS and no XON/XOFF flow control");
    Check(!line.lineEditing && !line.outputProcessing && !line.inputTranslation,
          "the line is raw: no editing, no output processing, no CR/LF translation");
}

PortHandle CheckOpeningAndSettings() {
    Section("a device that does not exist does not open");
    PortHandle untouched = reinterpret_cast<PortHandle>(0x1234);
    CheckEqual(OpenPort("COM8", k9600_8N1, kLineControlDtrRtsOn, &untouched), kSerialOpenFailed,
               "COM8 (no such device) gives 1");
    Check(untouched == reinterpret_cast<PortHandle>(0x1234), "and hands out no handle");

    // A pseudo-terminal keeps 8 data bits and no parity whatever it is told, so
    // of the character format only the stop bits can be seen on its far end.
    Section("the line settings reach the terminal");
    PortHandle port = nullptr;
    CheckEqual(OpenPort("COM9", k19200_8N2, kLineControlDtrRtsOn, &port), kSerialOk,
               "COM9 opens at 19200 bit/s, two stop bits");
    Check(port != nullptr, "with a handle");
    const LineReport fast = QueryLine(port);
    Check(fast.valid, "the responder reports the settings");
    CheckEqual(fast.baud, 19200, "19200 bit/s");
    Check(fast.twoStopBits, "two stop bits");
    CheckRawLine(fast);

    // COM10 is linked to the same terminal: the name is given as the host gives
    // it, and reached in the device namespace.
    Section("COM10 and above open under their plain names");
    CheckEqual(ClosePortHandle(port), kSerialOk, "closing gives 0");
    CheckEqual(OpenPort("COM10", k9600_8N1, kLineControlDtrRtsOn, &port), kSerialOk,
               "COM10 opens at 9600 8N1");
    CheckEqual(QueryLine(port).baud, 9600, "and the terminal behind it runs at 9600 bit/s");
    CheckEqual(ClosePortHandle(port), kSerialOk, "COM10 closes");

    // Wine does not enforce the share mode 0 of the open on devices, so a second
    // open of COM9 would succeed here: exclusivity is not observable under Wine.
    Section("a closed port opens again with new settings");
    CheckEqual(OpenPort("COM9", k9600_8N1, kLineControlDtrRtsOn, &port), kSerialOk,
               "after the close COM9 opens again, at 9600 8N1");
    const LineReport plain = QueryLine(port);
    CheckEqual(plain.baud, 9600, "9600 bit/s");
    Check(!plain.twoStopBits, "one stop bit");
    CheckRawLine(plain);
    return port;
}

void CheckReplyTimeout(PortHandle port) {
    Section("the reply timeout");
    CheckEqual(SetReplyTimeout(port, 100), 100u, "100 ticks right after open: 1000 ms in force");
    CheckEqual(SetReplyTimeout(port, 10), 100u, "setting 10 ticks returns the previous 100");
    CheckEqual(SetReplyTimeout(port, 10), 10u, "setting it again returns 10");
}

void CheckTransfers(PortHandle port) {
    Section("bytes cross the line unchanged");
    Bytes all(256);
    for (unsigned i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    SetReplyTimeout(port, 50);
    Check(Send(port, Command('E', 256, all)), "a 259-byte write is written whole");
    const Bytes echoed = Receive(port, 256);
    CheckEqual(echoed.size(), 256u, "one read returns all 256 echoed bytes");
    Check(echoed == all, "every byte value 0 to 255 comes back as sent (CR, LF, XON, XOFF too)");

    Section("a read waits for every byte asked, with no gap timeout");
    const Bytes first{'a', 'b'};
    const Bytes rest{'c', 'd', 'e'};
    Send(port, Command('W', 30, Bytes{2, first[0], first[1]}));
    Send(port, Command('W', 120, Bytes{3, rest[0], rest[1], rest[2]}));
    const Bytes joined = Receive(port, 5);
    Check(joined == Bytes({'a', 'b', 'c', 'd', 'e'}),
          "two parts 120 ms apart arrive in one read of 5 bytes");

    Section("a short reply and a silent line");
    SetReplyTimeout(port, 10);
    Send(port, Command('S', 1));
    std::uint8_t buffer[8] = {};
    unsigned got = 99;
    auto start = Clock::now();
    CheckEqual(ReadPort(port, buffer, 2, &got), kSerialOk, "1 of 2 bytes arrives: 0");
    long waited = MillisecondsSince(start);
    CheckEqual(got, 1u, "with a count of 1");
    CheckEqual(buffer[0], 3, "the byte sent");
    Check(waited >= 80, "after waiting out the 100 ms timeout (" + std::to_string(waited) + " ms)");
    got = 99;
    start = Clock::now();
    CheckEqual(ReadPort(port, buffer, 2, &got), kSerialIoFailed, "nothing arrives: 7");
    waited = MillisecondsSince(start);
    CheckEqual(got, 0u, "with a count of 0");
    Check(waited >= 80 && waited < 900,
          "after the 100 ms timeout, not the 1000 ms of open (" + std::to_string(waited) + " ms)");

    Section("writes");
    const Bytes frame{'E', 0, 4, 0x01, 0x03, 0x00, 0x10};
    CheckEqual(WritePort(port, frame.data(), static_cast<unsigned>(frame.size()), nullptr),
               kSerialOk, "a write without out-count gives 0");
    SetReplyTimeout(port, 50);
    Check(Receive(port, 4) == Bytes({0x01, 0x03, 0x00, 0x10}), "and its bytes went out");
    const auto written = Clock::now();
    const auto onTheLine = written + std::chrono::milliseconds(6);
    Check(DrainOutput(port, onTheLine), "draining the output gives true");
    Check(Clock::now() >= onTheLine, "and returns once the frame's wire time has passed (" +
                                         std::to_string(MillisecondsSince(written)) + " ms for 6)");
}

void CheckFlush(PortHandle port, unsigned waiting) {
    const std::string what = std::to_string(waiting) + " bytes waiting";
    Send(port, Command('S', waiting));
    SleepMilliseconds(300);
    SetReplyTimeout(port, 30);
    CheckEqual(FlushInput(port), 0, "flush with " + what + " gives 0");
    CheckEqual(SetReplyTimeout(port, 30), 30u, "and restores the 300 ms timeout");
    std::uint8_t byte = 0;
    unsigned got = 0;
    SetReplyTimeout(port, 10);
    CheckEqual(ReadPort(port, &byte, 1, &got), kSerialIoFailed, "nothing of them is left to read");
}

void CheckFlushing(PortHandle port) {
    Section("discarding stale input");
    SetReplyTimeout(port, 30);
    const auto start = Clock::now();
    CheckEqual(FlushInput(port), 0, "flush of a quiet line gives 0");
    const long spent = MillisecondsSince(start);
    CheckEqual(SetReplyTimeout(port, 30), 30u, "and leaves the timeout alone");
    Check(spent < 45, "without a 50 ms discarding read (" + std::to_string(spent) + " ms)");
    CheckFlush(port, 600);
    CheckFlush(port, 1024);
}

void CheckModemLines(PortHandle port) {
    Section("RTS on a pseudo-terminal");
    // A pseudo-terminal has no modem lines; the driver must live with the refusal.
    Check(!SetRts(port, true), "raising RTS is refused");
    Check(!SetRts(port, false), "dropping RTS is refused");
}

void CheckNullDevice() {
    Section("the null device");
    PortHandle null = nullptr;
    CheckEqual(OpenPort("NUL", k9600_8N1, kLineControlDtrRtsOn, &null), kSerialOk,
               "NUL opens unconfigured");
    const std::uint8_t bytes[3] = {1, 2, 3};
    unsigned written = 0;
    CheckEqual(WritePort(null, bytes, 3, &written), kSerialOk, "a write to it gives 0");
    CheckEqual(written, 3u, "and counts 3 bytes");
    CheckEqual(SetReplyTimeout(null, 100), 0u, "it has no timeouts: SetReplyTimeout gives 0");
    CheckEqual(ClosePortHandle(null), kSerialOk, "it closes");
}

} // namespace

int main() {
    PortHandle port = CheckOpeningAndSettings();
    CheckReplyTimeout(port);
    CheckTransfers(port);
    CheckFlushing(port);
    CheckModemLines(port);
    Send(port, {'Q'});
    Section("closing");
    CheckEqual(ClosePortHandle(port), kSerialOk, "the port closes");
    CheckNullDevice();
    return wintest::Summary("kovra-serialcheck");
}
