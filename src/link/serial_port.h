// The driver's only contact with the serial hardware: synchronous operations
// on one port handle. One implementation per platform (serial_win32.cpp,
// serial_posix.cpp); nothing above this header knows which one it runs on.
//
// Contract, shared by both implementations:
//  - Result codes: 0 success; 1 the device does not open or its timeouts
//    cannot be set; 2 a short write; 4 the port state cannot be read; 5 the
//    requested state is refused; 7 a read, write or close call failed, or a
//    read delivered nothing before its timeout.
//  - Nothing here logs, with one exception: a device that goes away during a
//    read (hangup, I/O error) ends the read at once, and the POSIX port logs
//    "KOVRA> ReadPort() device lost: <reason>" with the system's reason, once
//    per read, since no code carries that reason.
//  - A read waits for all requested bytes up to the total read timeout,
//    measured from the start of the read, with no inter-character timeout. A
//    write never times out. The total read timeout is 1000 ms after open.
//  - Devices are opened for exclusive use: a second open of an open device
//    fails. The name "NUL" opens the null device without configuring it.
#pragma once

#include "contract/context.h"

#include <chrono>
#include <cstdint>

namespace kovra {

// Line-control flags: DTR on if 0x0001 or 0x0100, else handshake if 0x8000;
// RTS on if 0x0002 or 0x0200, else handshake if 0x1000, else toggle if 0x2000.
constexpr std::uint16_t kLineControlDtrRtsOn = 0x0303;

constexpr int kSerialOk = 0;
constexpr int kSerialOpenFailed = 1;
constexpr int kSerialShortWrite = 2;
constexpr int kSerialStateUnreadable = 4;
constexpr int kSerialStateRefused = 5;
constexpr int kSerialIoFailed = 7;

// Opens and configures the device; on any nonzero code no handle stays open.
int OpenPort(const char* deviceName, const CommSettings& settings, std::uint16_t lineControl,
             PortHandle* handle);

// Sets the total read timeout to ticks × 10 ms. Returns the previous timeout in
// ticks (truncated), or 0 when the timeouts cannot be read or written. Writes
// nothing when the timeout is already in force.
unsigned SetReplyTimeout(PortHandle handle, unsigned ticks);

// Discards pending input: nothing to do when the input queue is empty;
// otherwise reads 512-byte pieces with a 50 ms timeout until a read returns
// fewer, then restores the timeout. 0, or 1 when a discarding read failed.
int FlushInput(PortHandle handle);

// One write of the whole buffer: 0 all written, 2 fewer, 7 the call failed.
// written (optional) receives the count when the call succeeds.
int WritePort(PortHandle handle, const std::uint8_t* buffer, unsigned count, unsigned* written);

// One timed read: 0 when at least one byte arrived (received holds how many,
// possibly fewer than asked), 7 when the call failed or nothing arrived.
// received (optional) is set to 0 first.
int ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint16_t count, unsigned* received);

// ReadPort for `least` bytes, which also takes, up to `most` bytes in all
// (least <= most), what has arrived beyond them by the time they are in:
// a reader that knows only the minimum it needs takes what has arrived of a
// frame, up to its end, in one call. Same result codes and timeout as ReadPort.
int ReadPortAtLeast(PortHandle handle, std::uint8_t* buffer, std::uint16_t least,
                    std::uint16_t most, unsigned* received);

int ClosePortHandle(PortHandle handle); // 0 closed, 7 the close failed

// RTS switching around a transmission: raise or drop RTS (false when refused),
// and wait until what was written has left the line. `onTheLine` is when it
// has by its own wire time, counted from the start of the write: POSIX waits
// for the device's word instead (tcdrain, which covers the UART's shift
// register); Win32 has none (its output queue reads empty once the bytes
// reach the UART or the USB adapter) and waits until then, to the
// millisecond. False when the port's status cannot be read; the wait then
// ends at once.
bool SetRts(PortHandle handle, bool raised);
bool DrainOutput(PortHandle handle, std::chrono::steady_clock::time_point onTheLine);

void SleepMilliseconds(unsigned milliseconds);
// Gives up the rest of the thread's time slice.
void YieldProcessor();

} // namespace kovra
