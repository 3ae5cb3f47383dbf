// The serial port on Win32: one COM port handle, synchronous (non-overlapped)
// transfers, and the total read timeout of COMMTIMEOUTS as the reply timeout.
// This is the only file of the driver that sees <windows.h>.
#include "link/serial_port.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>, which it needs.
#include <timeapi.h>

// winnt.h makes YieldProcessor a macro for the pause instruction; the driver
// has a function of that name.
#undef YieldProcessor

#include <chrono>
#include <cstring>
#include <string>

namespace kovra {

namespace {

// The port state record as the host's platform lays it out.
constexpr DWORD kDcbLength = 28;
static_assert(sizeof(DCB) == kDcbLength);

constexpr DWORD kQueueSize = 1200;
constexpr DWORD kOpenReadTimeoutMs = 1000;
constexpr unsigned kMillisecondsPerTick = 10;
constexpr unsigned kFlushTimeoutTicks = 5;
constexpr DWORD kFlushChunk = 512;
constexpr int kFlushReadFailed = 1;

HANDLE Win32Handle(PortHandle handle) {
    return static_cast<HANDLE>(handle);
}

DWORD DtrControlFor(std::uint16_t lineControl) {
    if ((lineControl & 0x0101) != 0) {
        return DTR_CONTROL_ENABLE;
    }
    if ((lineControl & 0x8000) != 0) {
        return DTR_CONTROL_HANDSHAKE;
    }
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControlFor(std::uint16_t lineControl) {
    if ((lineControl & 0x0202) != 0) {
        return RTS_CONTROL_ENABLE;
    }
    if ((lineControl & 0x1000) != 0) {
        return RTS_CONTROL_HANDSHAKE;
    }
    if ((lineControl & 0x2000) != 0) {
        return RTS_CONTROL_TOGGLE;
    }
    return RTS_CONTROL_DISABLE;
}

// Windows knows COM1 to COM9 by their plain names but COM10 and above only in
// the device namespace, as \\.\COM10. Every other name is opened as given.
bool NeedsDeviceNamespace(const char* name) {
    if (std::strlen(name) < 5 || _strnicmp(name, "COM", 3) != 0) {
        return false;
    }
    unsigned number = 0;
    for (const char* digit = name + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(*digit - '0');
    }
    return number >= 10;
}

// Closes a half-configured device so that a failed open never keeps the port.
int FailOpen(HANDLE port, int code) {
    CloseHandle(port);
    return code;
}

} // namespace

int OpenPort(const char* deviceName, const CommSettings& settings, std::uint16_t lineControl,
             PortHandle* handle) {
    const std::string nameToOpen =
        NeedsDeviceNamespace(deviceName) ? std::string("\\\\.\\") + deviceName : deviceName;
    HANDLE port = CreateFileA(nameToOpen.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return kSerialOpenFailed;
    }
    // The null device has no port state: it is used exactly as it opened.
    if (std::strcmp(deviceName, "NUL") == 0) {
        *handle = port;
        return kSerialOk;
    }

    DCB state;
    std::memset(&state, 0, sizeof state);
    state.DCBlength = kDcbLength;
    if (!GetCommState(port, &state)) {
        return FailOpen(port, kSerialStateUnreadable);
    }

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(port, &timeouts)) {
        return FailOpen(port, kSerialOpenFailed);
    }

    state.BaudRate = settings.baudRate;
    state.fBinary = TRUE;
    state.fParity = TRUE;
    state.fOutxCtsFlow = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDtrControl = DtrControlFor(lineControl);
    state.fDsrSensitivity = FALSE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    state.fErrorChar = FALSE;
    state.fNull = FALSE;
    state.fRtsControl = RtsControlFor(lineControl);
    state.fAbortOnError = FALSE;
    state.ByteSize = static_cast<BYTE>(settings.dataBits & 0xFF);
    state.Parity = static_cast<BYTE>(settings.parity & 0xFF);
    state.StopBits = static_cast<BYTE>(settings.stopBits & 0xFF);
    if (!SetCommState(port, &state)) {
        return FailOpen(port, kSerialStateRefused);
    }

    // Only a request to the device driver: the port works with its own queues too.
    SetupComm(port, kQueueSize, kQueueSize);
    *handle = port;
    return kSerialOk;
}

unsigned SetReplyTimeout(PortHandle handle, unsigned ticks) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(Win32Handle(handle), &timeouts)) {
        return 0;
    }
    const DWORD previous = timeouts.ReadTotalTimeoutConstant;
    const DWORD wanted = static_cast<DWORD>(ticks) * kMillisecondsPerTick;
    if (previous == wanted) {
        return previous / kMillisecondsPerTick;
    }
    timeouts.ReadTotalTimeoutConstant = wanted;
    if (!SetCommTimeouts(Win32Handle(handle), &timeouts)) {
        return 0;
    }
    return previous / kMillisecondsPerTick;
}

int FlushInput(PortHandle handle) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(Win32Handle(handle), &errors, &status) && status.cbInQue == 0) {
        return kSerialOk;
    }

    const unsigned previous = SetReplyTimeout(handle, kFlushTimeoutTicks);
    std::uint8_t scratch[kFlushChunk];
    DWORD received = 0;
    BOOL readOk = FALSE;
    do {
        received = 0;
        readOk = ReadFile(Win32Handle(handle), scratch, kFlushChunk, &received, nullptr);
    } while (readOk && received == kFlushChunk);
    // 0 means the timeout in force was never learnt: there is nothing to restore.
    if (previous != 0) {
        SetReplyTimeout(handle, previous);
    }
    return readOk ? kSerialOk : kFlushReadFailed;
}

int WritePort(PortHandle handle, const std::uint8_t* buffer, unsigned count, unsigned* written) {
    DWORD sent = 0;
    if (!WriteFile(Win32Handle(handle), buffer, count, &sent, nullptr)) {
        return kSerialIoFailed;
    }
    if (written != nullptr) {
        *written = sent;
    }
    return sent == count ? kSerialOk : kSerialShortWrite;
}

int ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint16_t count, unsigned* received) {
    if (received != nullptr) {
        *received = 0;
    }
    DWORD delivered = 0;
    if (!ReadFile(Win32Handle(handle), buffer, count, &delivered, nullptr)) {
        // The reason does not change what the caller does: the read failed.
        static_cast<void>(GetLastError());
        return kSerialIoFailed;
    }
    // With no interval timeout a read returns early only when the total timeout
    // expires; nothing at all means the station stayed silent.
    if (delivered == 0) {
        return kSerialIoFailed;
    }
    if (received != nullptr) {
        *received = delivered;
    }
    return kSerialOk;
}

// The port's read waits for exactly the count asked; what arrived beyond
// `least` meanwhile is counted by the port's status and taken with a second
// read, which does not wait since the bytes are there.
int ReadPortAtLeast(PortHandle handle, std::uint8_t* buffer, std::uint16_t least,
                    std::uint16_t most, unsigned* received) {
    unsigned got = 0;
    const int result = ReadPort(handle, buffer, least, &got);
    if (result == kSerialOk && got == least && most > least) {
        DWORD errors = 0;
        COMSTAT status;
        std::memset(&status, 0, sizeof status);
        const DWORD room = static_cast<DWORD>(most - least);
        DWORD more = 0;
        if (ClearCommError(Win32Handle(handle), &errors, &status) && status.cbInQue > 0 &&
            ReadFile(Win32Handle(handle), buffer + least,
                     status.cbInQue < room ? status.cbInQue : room, &more, nullptr)) {
            got += more;
        }
    }
    if (received != nullptr) {
        *received = got;
    }
    return result;
}

int ClosePortHandle(PortHandle handle) {
    return CloseHandle(Win32Handle(handle)) ? kSerialOk : kSerialIoFailed;
}

bool SetRts(PortHandle handle, bool raised) {
    return EscapeCommFunction(Win32Handle(handle), raised ? SETRTS : CLRRTS) != 0;
}

// Windows cannot tell when the last bit has left, so the frame's own wire
// time is waited out. A system tick (15.6 ms by default) outlasts a short
// frame: the timer runs at a millisecond for the wait, and the last stretch,
// shorter than the timer can be trusted with, is spent yielding.
bool DrainOutput(PortHandle, std::chrono::steady_clock::time_point onTheLine) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kYieldingTail = std::chrono::milliseconds(2);
    timeBeginPeriod(1);
    for (auto left = onTheLine - Clock::now(); left > Clock::duration::zero();
         left = onTheLine - Clock::now()) {
        const auto asleep =
            std::chrono::duration_cast<std::chrono::milliseconds>(left - kYieldingTail);
        Sleep(asleep.count() > 0 ? static_cast<DWORD>(asleep.count()) : 0);
    }
    timeEndPeriod(1);
    return true;
}

void SleepMilliseconds(unsigned milliseconds) {
    Sleep(milliseconds);
}

void YieldProcessor() {
    Sleep(0);
}

} // namespace kovra
