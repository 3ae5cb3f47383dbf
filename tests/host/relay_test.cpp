// kovra-host's relay between the driver and a serial device, the device here
// being a pseudo-terminal.
#include "line/relay.h"

#include "link/serial_port.h"
#include "support/world.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <map>
#include <mutex>
#include <thread>

using namespace kovra;

namespace {

// A pseudo-terminal keeps every line setting but two: it forces 8 data bits
// and drops the parity enable. What was asked for those is seen on its way to
// the kernel: the control flags of the last termios2 set on each descriptor.
std::mutex askedMutex;
std::map<int, unsigned> askedFlags;

constexpr unsigned kSetTermios2 = 0x2B; // TCSETS2's number among the 'T' requests

unsigned AskedFlags(int fd) {
    const std::lock_guard<std::mutex> lock(askedMutex);
    return askedFlags[fd];
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (_IOC_TYPE(request) == 'T' && _IOC_NR(request) == kSetTermios2) {
        const std::lock_guard<std::mutex> lock(askedMutex);
        askedFlags[fd] = static_cast<const unsigned*>(argument)[2]; // c_iflag, c_oflag, c_cflag
    }
    using Ioctl = int (*)(int, unsigned long, void*);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}

namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<kovra_host::Relay> StartRelay(const PtyPair& device, const CommSettings& settings,
                                              std::string& error) {
    return kovra_host::Relay::Start(device.slavePath(), settings, nullptr, error);
}

// The descriptor the relay holds on the device: the newest one open on it.
int RelayDescriptorOf(const std::string& path) {
    int newest = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path) {
            newest = std::max(newest, std::stoi(entry.path().filename().string()));
        }
    }
    return newest;
}

} // namespace

TEST(Relay, ReproducesTheDriversLineSettingsOnTheDevice) {
    struct Case {
        const char* what;
        CommSettings settings;
        tcflag_t size;
        tcflag_t parity; // PARENB, PARODD, CMSPAR
        bool twoStopBits;
    };
    const Case cases[] = {
        {"7E1", {9600, 7, 0, 2}, CS7, PARENB, false},
        {"8O2", {19200, 8, 2, 1}, CS8, PARENB | PARODD, true},
        {"8M1 at 14400", {14400, 8, 0, 3}, CS8, PARENB | PARODD | CMSPAR, false},
        {"8S1", {9600, 8, 0, 4}, CS8, PARENB | CMSPAR, false},
        {"5N1.5", {1200, 5, 1, 0}, CS5, 0, true}, // one and a half: 5 bits, CSTOPB
        {"6N1", {2400, 6, 0, 0}, CS6, 0, false},
    };
    for (const Case& c : cases) {
        PtyPair device;
        std::string error;
        const auto relay = StartRelay(device, c.settings, error);
        ASSERT_NE(relay, nullptr) << c.what << ": " << error;
        const unsigned asked = AskedFlags(RelayDescriptorOf(device.slavePath()));
        EXPECT_EQ(asked & CSIZE, c.size) << c.what;
        EXPECT_EQ(asked & (PARENB | PARODD | CMSPAR), c.parity) << c.what;
        // What the pseudo-terminal keeps, read back from the device itself.
        termios kept{};
        const int fd = open(device.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_EQ(tcgetattr(fd, &kept), 0);
        close(fd);
        EXPECT_EQ((kept.c_cflag & CSTOPB) != 0, c.twoStopBits) << c.what;
        EXPECT_EQ(kept.c_cflag & (PARODD | CMSPAR), c.parity & (PARODD | CMSPAR)) << c.what;
        EXPECT_EQ(kept.c_cflag & CRTSCTS, 0u) << c.what;
        EXPECT_EQ(kept.c_lflag & ICANON, 0u) << c.what;
    }
}

TEST(Relay, RefusesWhatTheLineCannotCarryAndSaysWhy) {
    const std::pair<CommSettings, std::string> cases[] = {
        {{9600, 9, 0, 0}, "9 data bits"},
        {{9600, 8, 1, 0}, "one and a half stop bits with 8 data bits"},
        {{9600, 8, 0, 5}, "parity code 5"},
        {{0, 8, 0, 0}, "speed 0"},
    };
    PtyPair device;
    for (const auto& [settings, why] : cases) {
        std::string error;
        EXPECT_EQ(StartRelay(device, settings, error), nullptr) << why;
        EXPECT_NE(error.find(device.slavePath() + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    }
    std::string error;
    EXPECT_NE(StartRelay(device, CommSettings{9600, 8, 0, 0}, error), nullptr) << error;
}

class RelayHangup : public HostLibraryTest {};

TEST_F(RelayHangup, ADeviceThatGoesAwayFailsTheDriversReadAtOnce) {
    auto device = std::make_unique<PtyPair>();
    std::string error;
    const auto relay = StartRelay(*device, CommSettings{9600, 8, 0, 0}, error);
    ASSERT_NE(relay, nullptr) << error;
    PortHandle port = nullptr;
    ASSERT_EQ(OpenPort(relay->driverPath().c_str(), CommSettings{9600, 8, 0, 0},
                       kLineControlDtrRtsOn, &port),
              kSerialOk);
    SetReplyTimeout(port, 500); // 5 s
    std::thread unplug([&device] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        device.reset();
    });
    std::uint8_t buffer[2];
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(port, buffer, 2, nullptr), kSerialIoFailed);
    const auto elapsed = Clock::now() - start;
    unplug.join();
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    EXPECT_EQ(messages(kSeverityError),
              std::vector<std::string>{"KOVRA> ReadPort() device lost: hung up"});
    ClosePortHandle(port);
}
