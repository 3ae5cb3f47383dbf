// The serial port on POSIX systems (termios), keeping the contract that the
// Win32 communications functions give the driver on its native platform:
// exclusive opens, one total read timeout measured from the start of a read,
// writes that never time out.
#include "link/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace kovra {

namespace {

constexpr unsigned kOpenReadTimeoutMs = 1000;
constexpr unsigned kFlushReadTimeoutTicks = 5; // 50 ms per discarding read
constexpr std::uint16_t kFlushChunk = 512;

// What a PortHandle points to. The fd is -1 only after a close that the system
// reported as failed: Linux releases the descriptor even then, so it must not
// be closed a second time.
struct PosixPort {
    int fd = -1;
    // Total read timeout in milliseconds; 0 waits until every byte has arrived,
    // as a Win32 port with all read timeouts 0 does.
    unsigned readTimeoutMs = kOpenReadTimeoutMs;
    bool nullDevice = false;
};

PosixPort* PortOf(PortHandle handle) {
    return static_cast<PosixPort*>(handle);
}

bool SpeedConstant(std::uint16_t baudRate, speed_t* speed) {
    struct Entry {
        std::uint16_t baud;
        speed_t constant;
    };
    static constexpr Entry kSpeeds[] = {
        {50, B50},     {75, B75},       {110, B110},     {134, B134},
        {150, B150},   {200, B200},     {300, B300},     {600, B600},
        {1200, B1200}, {1800, B1800},   {2400, B2400},   {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
    };
    for (const Entry& entry : kSpeeds) {
        if (entry.baud == baudRate) {
            *speed = entry.constant;
            return true;
        }
    }
    return false;
}

// The character format: data bits 5 to 8; stop bits 0 one, 1 one and a half,
// 2 two; parity 0 none, 1 odd, 2 even, 3 mark, 4 space. termios has no code
// for one and a half stop bits, but a UART set to 5 data bits and two stop
// bits sends one and a half, so 1.5 is accepted with 5 data bits only (the
// combination Win32 accepts as well) and refused otherwise.
bool CharacterFormat(const CommSettings& settings, tcflag_t* flags) {
    const unsigned dataBits = settings.dataBits & 0xFFu;
    const unsigned stopBits = settings.stopBits & 0xFFu;
    const unsigned parity = settings.parity & 0xFFu;
    tcflag_t cflag = 0;
    switch (dataBits) {
    case 5:
        cflag |= CS5;
        break;
    case 6:
        cflag |= CS6;
        break;
    case 7:
        cflag |= CS7;
        break;
    case 8:
        cflag |= CS8;
        break;
    default:
        return false;
    }
    switch (stopBits) {
    case 0:
        break;
    case 1:
        if (dataBits != 5) {
            return false;
        }
        cflag |= CSTOPB;
        break;
    case 2:
        cflag |= CSTOPB;
        break;
    default:
        return false;
    }
    switch (parity) {
    case 0:
        break;
    case 1:
        cflag |= PARENB | PARODD;
        break;
    case 2:
        cflag |= PARENB;
        break;
    case 3:
        cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        cflag |= PARENB | CMSPAR;
        break;
    default:
        return false;
    }
    *flags = cflag;
    return true;
}

// DTR: on for 0x0001 or 0x0100; handshake (0x8000) has no termios form and
// leaves DTR on. RTS: on for 0x0002 or 0x0200; handshake (0x1000) and toggle
// (0x2000) have no termios form either and leave RTS on. Everything else off.
void ApplyLineControl(int fd, std::uint16_t lineControl) {
    const bool dtrOn = (lineControl & (0x0001 | 0x0100 | 0x8000)) != 0;
    const bool rtsOn = (lineControl & (0x0002 | 0x0200 | 0x1000 | 0x2000)) != 0;
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    // A pseudo-terminal has no modem lines and refuses these; the port is
    // usable all the same.
    (void)ioctl(fd, dtrOn ? TIOCMBIS : TIOCMBIC, &dtr);
    (void)ioctl(fd, rtsOn ? TIOCMBIS : TIOCMBIC, &rts);
}

void CloseFd(int fd) {
    (void)ioctl(fd, TIOCNXCL);
    (void)close(fd);
}

// Waits for `count` bytes up to the total read timeout. False only when the
// system reports an error; a timeout, or the end of a device that will never
// deliver more (the null device), ends the read with what has arrived.
bool TimedRead(PosixPort& port, std::uint8_t* buffer, unsigned count, unsigned* received) {
    using Clock = std::chrono::steady_clock;
    const bool waitsForever = port.readTimeoutMs == 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(port.readTimeoutMs);
    unsigned got = 0;
    while (got < count) {
        int waitMs = -1;
        if (!waitsForever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            waitMs = static_cast<int>(left.count());
        }
        pollfd pfd{port.fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            *received = got;
            return false;
        }
        if (ready == 0) {
            break;
        }
        if ((pfd.revents & POLLNVAL) != 0) {
            *received = got;
            return false;
        }
        const ssize_t n = read(port.fd, buffer + got, count - got);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            *received = got;
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<unsigned>(n);
    }
    *received = got;
    return true;
}

} // namespace

int OpenPort(const char* deviceName, const CommSettings& settings, std::uint16_t lineControl,
             PortHandle* handle) {
    *handle = nullptr;
    const bool nullDevice = std::strcmp(deviceName, "NUL") == 0;
    const char* path = nullDevice ? "/dev/null" : deviceName;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kSerialOpenFailed;
    }
    if (nullDevice) {
        *handle = new PosixPort{fd, kOpenReadTimeoutMs, true};
        return kSerialOk;
    }
    // Exclusive use: TIOCEXCL keeps other users off the terminal, but the
    // superuser passes it, so an advisory lock on the device makes a second
    // open by this driver fail for everyone.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return kSerialOpenFailed;
    }
    (void)ioctl(fd, TIOCEXCL);

    termios state{};
    if (tcgetattr(fd, &state) != 0) {
        CloseFd(fd);
        return kSerialStateUnreadable;
    }

    speed_t speed{};
    tcflag_t format = 0;
    if (!SpeedConstant(settings.baudRate, &speed) || !CharacterFormat(settings, &format)) {
        CloseFd(fd);
        return kSerialStateRefused;
    }
    // Raw binary transfer, no flow control, no character translation. Parity
    // errors are checked when parity is on (the byte reads as 0 and the frame
    // then fails its CRC).
    state.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    if ((format & PARENB) != 0) {
        state.c_iflag |= INPCK;
    }
    state.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    state.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    state.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    state.c_cflag |= format | CREAD | CLOCAL;
    // Reads return at once with what is there; the timed read does the waiting.
    state.c_cc[VMIN] = 0;
    state.c_cc[VTIME] = 0;
    if (cfsetispeed(&state, speed) != 0 || cfsetospeed(&state, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &state) != 0) {
        CloseFd(fd);
        return kSerialStateRefused;
    }
    ApplyLineControl(fd, lineControl);

    // Writes block until the device has taken every byte.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        CloseFd(fd);
        return kSerialOpenFailed;
    }
    // The device queues of the Win32 port have no termios counterpart; the
    // kernel's own buffers exceed any frame the driver handles.
    *handle = new PosixPort{fd, kOpenReadTimeoutMs, false};
    return kSerialOk;
}

unsigned SetReplyTimeout(PortHandle handle, unsigned ticks) {
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->nullDevice) {
        return 0; // the null device has no timeouts
    }
    const unsigned previous = port->readTimeoutMs;
    port->readTimeoutMs = ticks * 10;
    return previous / 10;
}

int FlushInput(PortHandle handle) {
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->fd < 0) {
        return 1;
    }
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) == 0 && waiting == 0) {
        return 0;
    }
    const unsigned previous = SetReplyTimeout(handle, kFlushReadTimeoutTicks);
    std::uint8_t scratch[kFlushChunk];
    bool ok = true;
    unsigned got = 0;
    do {
        ok = TimedRead(*port, scratch, kFlushChunk, &got);
    } while (ok && got == kFlushChunk);
    if (previous != 0) {
        SetReplyTimeout(handle, previous);
    }
    return ok ? 0 : 1;
}

int WritePort(PortHandle handle, const std::uint8_t* buffer, unsigned count, unsigned* written) {
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->fd < 0) {
        return kSerialIoFailed;
    }
    unsigned done = 0;
    while (done < count) {
        const ssize_t n = write(port->fd, buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kSerialIoFailed;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<unsigned>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return done == count ? kSerialOk : kSerialShortWrite;
}

int ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint16_t count, unsigned* received) {
    if (received != nullptr) {
        *received = 0;
    }
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->fd < 0) {
        return kSerialIoFailed;
    }
    unsigned got = 0;
    if (!TimedRead(*port, buffer, count, &got) || got == 0) {
        return kSerialIoFailed;
    }
    if (received != nullptr) {
        *received = got;
    }
    return kSerialOk;
}

int ClosePortHandle(PortHandle handle) {
    PosixPort* port = PortOf(handle);
    if (port == nullptr) {
        return kSerialIoFailed;
    }
    if (port->fd >= 0) {
        if (!port->nullDevice) {
            (void)ioctl(port->fd, TIOCNXCL);
        }
        if (close(port->fd) != 0 && errno != EINTR) {
            port->fd = -1; // released all the same; the caller keeps the handle
            return kSerialIoFailed;
        }
    }
    delete port;
    return kSerialOk;
}

bool SetRts(PortHandle handle, bool raised) {
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->fd < 0 || port->nullDevice) {
        return false;
    }
    int rts = TIOCM_RTS;
    return ioctl(port->fd, raised ? TIOCMBIS : TIOCMBIC, &rts) == 0;
}

bool OutputQueueLength(PortHandle handle, unsigned* pending) {
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->fd < 0 || port->nullDevice) {
        return false;
    }
    int queued = 0;
    if (ioctl(port->fd, TIOCOUTQ, &queued) != 0) {
        return false;
    }
    *pending = queued > 0 ? static_cast<unsigned>(queued) : 0;
    return true;
}

void SleepMilliseconds(unsigned milliseconds) {
    timespec wanted{static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&wanted, &left) != 0 && errno == EINTR) {
        wanted = left;
    }
}

void YieldProcessor() {
    sched_yield();
}

} // namespace kovra
