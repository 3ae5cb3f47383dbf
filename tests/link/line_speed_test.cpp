// Speeds on a Linux line: any rate the host's 16-bit field carries, read back
// through an independent descriptor with the kernel's termios2.
#include "link/line_posix.h"
#include "link/serial_port.h"
#include "support/world.h"

#include <asm/termbits.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>

using namespace kovra;

namespace {

// A pseudo-terminal takes every speed; a device that settles on another one
// is played by rewriting what the kernel reports (0: report as it is).
unsigned settledSpeed = 0;

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    const int result = real(fd, request, argument);
    if (result == 0 && request == TCGETS2 && settledSpeed != 0) {
        static_cast<termios2*>(argument)->c_ospeed = settledSpeed;
        static_cast<termios2*>(argument)->c_ispeed = settledSpeed;
    }
    return result;
}

namespace {

termios2 SettingsOf(const std::string& path) {
    termios2 state{};
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ioctl(fd, TCGETS2, &state), 0);
    close(fd);
    return state;
}

} // namespace

TEST(SerialSpeed, AnySpeedTheFieldCarriesReachesTheLine) {
    struct Case {
        std::uint16_t baud;
        tcflag_t code; // the classic code where one exists
    };
    const Case cases[] = {
        {14400, BOTHER}, {28800, BOTHER}, {56000, BOTHER}, {65535, BOTHER},
        {12345, BOTHER}, {9600, B9600},   {57600, B57600},
    };
    PtyPair pty;
    for (const Case& c : cases) {
        PortHandle handle = nullptr;
        ASSERT_EQ(OpenPort(pty.slavePath().c_str(), CommSettings{c.baud, 8, 0, 2},
                           kLineControlDtrRtsOn, &handle),
                  kSerialOk)
            << c.baud;
        const termios2 state = SettingsOf(pty.slavePath());
        EXPECT_EQ(state.c_ospeed, c.baud);
        EXPECT_EQ(state.c_cflag & CBAUD, c.code) << c.baud;
        EXPECT_EQ(state.c_cflag & CIBAUD, 0u) << c.baud; // input at the output speed
        ClosePortHandle(handle);
    }
}

TEST(SerialSpeed, ADeviceThatSettlesOnAnotherSpeedIsRefusedWithTheSpeedAsked) {
    struct Case {
        unsigned settled;
        LineFault fault;
        const char* reason;
    };
    const Case cases[] = {
        {19200, LineFault::None, ""},
        {9600, LineFault::Refused, "the device does not run at 19200 baud"},
        {19201, LineFault::Refused, "the device does not run at 19200 baud"},
    };
    PtyPair pty;
    const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    for (const Case& c : cases) {
        std::string reason;
        settledSpeed = c.settled;
        const LineFault fault = SetUpLine(fd, CommSettings{19200, 8, 0, 2}, &reason);
        settledSpeed = 0;
        EXPECT_EQ(fault, c.fault) << c.settled;
        EXPECT_EQ(reason, c.reason) << c.settled;
    }
    close(fd);
}
