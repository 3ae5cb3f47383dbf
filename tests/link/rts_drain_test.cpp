// RTS switching waits for the frame to leave the wire. A pseudo-terminal has
// no UART, so the C library's tcdrain is watched on its way through.
#include "link/jbus.h"
#include "link/serial_port.h"
#include "link/wire_time.h"
#include "support/world.h"

#include <dlfcn.h>
#include <termios.h>

#include <cstring>
#include <memory>

using namespace kovra;

namespace {

int drains = 0;
std::size_t messagesAtDrain = 0;

} // namespace

extern "C" int tcdrain(int fd) {
    ++drains;
    messagesAtDrain = halvo::Log().size();
    using Drain = int (*)(int);
    static const auto real = reinterpret_cast<Drain>(dlsym(RTLD_NEXT, "tcdrain"));
    return real(fd);
}

TEST(RtsSwitching, RtsFallsOnlyAfterTheOutputHasDrained) {
    halvo::Reset();
    halvo::SetLogSink(nullptr);
    PtyPair pty;
    auto context = std::make_unique<DriverContext>();
    std::memset(context.get(), 0, sizeof(DriverContext));
    ASSERT_EQ(OpenPort(pty.slavePath().c_str(), CommSettings{9600, 8, 0, 0}, kLineControlDtrRtsOn,
                       &context->portHandle),
              kSerialOk);
    context->rtsCtsSwitching = 1;
    std::uint8_t frame[kTxFrameSize] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    drains = 0;
    EXPECT_EQ(Send(*context, frame, 6), 0);
    ClosePortHandle(context->portHandle);
    // The pseudo-terminal refuses both RTS switches, and each refusal is
    // logged: the drain came between raising and dropping.
    EXPECT_EQ(drains, 1);
    EXPECT_EQ(messagesAtDrain, 1u);
    EXPECT_EQ(halvo::Log().size(), 2u);
    halvo::Reset();
}

// Where the port cannot say when the frame has left, RTS is held for its wire
// time: every bit of every character at the line's speed.
TEST(RtsSwitching, AFramesWireTimeCountsEveryBitOfEveryCharacter) {
    struct Case {
        CommSettings format;
        std::uint32_t baud;
        unsigned characters;
        unsigned halfBits;
        long long microseconds;
    };
    const Case cases[] = {
        {{0, 8, 0, 0}, 9600, 8, 20, 8334},                // 8N1: 10 bits, 8333.3 us
        {{0, 7, 0, 2}, 9600, 8, 20, 8334},                // 7E1: 10 bits as well
        {{0, 7, 0, 2}, 115200, 8, 20, 695},               // 694.4 us
        {{0, 8, 2, 0}, 9600, 8, 22, 9167},                // 8N2: 11 bits, 9166.7 us
        {{0, 8, 2, 0}, 115200, 9, 22, 860},               // 859.4 us
        {{0, 5, 1, 0}, 9600, 8, 15, 6250},                // 5 data bits, 1.5 stop bits: 7.5 bits
        {{0, 5, 1, 1}, 115200, 8, 17, 591},               // and odd parity: 8.5 bits, 590.3 us
        {{0, 0x0108, 0x0102, 0x0203}, 9600, 1, 24, 1250}, // the low bytes: 8M2, 12 bits
        {{0, 8, 0, 0}, 9600, 0, 20, 0},
        {{0, 8, 0, 0}, 0, 8, 20, 0},
    };
    for (const Case& c : cases) {
        const unsigned halfBits = CharacterHalfBits(c.format);
        EXPECT_EQ(halfBits, c.halfBits)
            << c.format.dataBits << " " << c.format.stopBits << " " << c.format.parity;
        EXPECT_EQ(WireTime(c.characters, halfBits, c.baud).count(), c.microseconds)
            << c.baud << " x" << c.characters;
    }
}
