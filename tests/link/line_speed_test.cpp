// Speeds on a Linux line: any rate the host's 16-bit field carries, read back
// through an independent descriptor with the kernel's termios2.
#include "link/serial_port.h"
#include "support/world.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace kovra;

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
