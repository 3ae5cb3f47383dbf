// RTS switching waits for the frame to leave the wire. A pseudo-terminal has
// no UART, so the C library's tcdrain is watched on its way through.
#include "link/jbus.h"
#include "link/serial_port.h"
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
