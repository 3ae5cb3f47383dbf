// The serial port on POSIX systems (termios), keeping the contract that the
// Win32 communications functions give the driver on its native platform:
// exclusive opens, one total read timeout measured from the start of a read,
// writes that never time out.
#include "link/serial_port.h"

#include "contract/host_library.h"
#include "link/line_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h> // tcdrain only: line_posix.cpp sets the line up
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

enum class ReadEnd {
    Done,   // every byte, the timeout, or the end of the null device
    HungUp, // the device went away (unplugged, far end of a pty closed)
    Failed, // the system reported an error; errno says which
};

// Waits for `least` bytes up to the total read timeout, taking up to `most`
// of what is there; `received` holds what arrived in every case. A device
// that is gone ends the read at once: its hangup would otherwise look like a
// station that stays silent.
ReadEnd TimedRead(PosixPort& port, std::uint8_t* buffer, unsigned least, unsigned most,
                  unsigned* received) {
    using Clock = std::chrono::steady_clock;
    const bool waitsForever = port.readTimeoutMs == 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(port.readTimeoutMs);
    *received = 0;
    while (*received < least) {
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
            return ReadEnd::Failed;
        }
        if (ready == 0) {
            break;
        }
        if ((pfd.revents & POLLNVAL) != 0) {
            errno = EBADF;
            return ReadEnd::Failed;
        }
        const ssize_t n = read(port.fd, buffer + *received, most - *received);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return ReadEnd::Failed;
        }
        if (n == 0) {
            // The end of input: a hung-up terminal's, or the null device's,
            // which never delivers anything.
            return (pfd.revents & (POLLHUP | POLLERR)) != 0 ? ReadEnd::HungUp : ReadEnd::Done;
        }
        *received += static_cast<unsigned>(n);
    }
    return ReadEnd::Done;
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

    switch (SetUpLine(fd, settings, nullptr)) {
    case LineFault::None:
        break;
    case LineFault::Unreadable:
        CloseFd(fd);
        return kSerialStateUnreadable;
    default:
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
    // The line reads without waiting, so one read tells a quiet line, the
    // usual case, in the one call it costs anyway.
    std::uint8_t scratch[kFlushChunk];
    if (read(port->fd, scratch, kFlushChunk) == 0) {
        return 0;
    }
    // Bytes were waiting (or the read failed): what is left of the reply
    // they belong to may still be coming.
    const unsigned previous = SetReplyTimeout(handle, kFlushReadTimeoutTicks);
    bool ok = true;
    unsigned got = 0;
    do {
        ok = TimedRead(*port, scratch, kFlushChunk, kFlushChunk, &got) == ReadEnd::Done;
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
    return ReadPortAtLeast(handle, buffer, count, count, received);
}

int ReadPortAtLeast(PortHandle handle, std::uint8_t* buffer, std::uint16_t least,
                    std::uint16_t most, unsigned* received) {
    if (received != nullptr) {
        *received = 0;
    }
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->fd < 0) {
        return kSerialIoFailed;
    }
    unsigned got = 0;
    switch (TimedRead(*port, buffer, least, most, &got)) {
    case ReadEnd::Done:
        break;
    case ReadEnd::HungUp:
        err(kSeverityError, "KOVRA> ReadPort() device lost: %s", "hung up");
        break;
    case ReadEnd::Failed:
        err(kSeverityError, "KOVRA> ReadPort() device lost: %s", std::strerror(errno));
        break;
    }
    if (got == 0) {
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

bool DrainOutput(PortHandle handle, std::chrono::steady_clock::time_point) {
    PosixPort* port = PortOf(handle);
    if (port == nullptr || port->fd < 0 || port->nullDevice) {
        return false;
    }
    // Unlike the output queue's count, tcdrain also waits for the bytes in the
    // UART's own FIFO and shift register.
    while (tcdrain(port->fd) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
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
