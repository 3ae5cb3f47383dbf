// The serial layer over real pseudo-terminals: the test plays the far end of
// the line on the master side.
#include "link/serial_port.h"
#include "support/world.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

using namespace kovra;

namespace {

constexpr CommSettings k9600N81{9600, 8, 0, 0};

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Closes the port when the test ends, whatever it asserted.
struct OpenedPort {
    PortHandle handle = nullptr;
    int code = -1;
    OpenedPort(const char* name, const CommSettings& settings) {
        code = OpenPort(name, settings, kLineControlDtrRtsOn, &handle);
    }
    ~OpenedPort() {
        if (handle != nullptr) {
            ClosePortHandle(handle);
        }
    }
    OpenedPort(const OpenedPort&) = delete;
    OpenedPort& operator=(const OpenedPort&) = delete;
};

// Reads the terminal's settings through an independent descriptor.
termios SettingsOf(const std::string& path) {
    termios state{};
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &state), 0);
    close(fd);
    return state;
}

} // namespace

TEST(SerialOpen, ADeviceThatDoesNotExistGivesOneAndNoHandle) {
    PortHandle handle = reinterpret_cast<PortHandle>(0x1);
    EXPECT_EQ(OpenPort("/dev/kovra-no-such-device", k9600N81, kLineControlDtrRtsOn, &handle),
              kSerialOpenFailed);
    EXPECT_EQ(handle, nullptr);
}

TEST(SerialOpen, AFileThatIsNoTerminalHasNoReadableState) {
    TempCurrentDirectory directory;
    directory.writeFile("plain", "not a terminal");
    PortHandle handle = nullptr;
    EXPECT_EQ(OpenPort("plain", k9600N81, kLineControlDtrRtsOn, &handle), kSerialStateUnreadable);
    EXPECT_EQ(handle, nullptr);
}

TEST(SerialOpen, TheDeviceIsOpenedForExclusiveUse) {
    PtyPair pty;
    {
        OpenedPort first(pty.slavePath().c_str(), k9600N81);
        ASSERT_EQ(first.code, kSerialOk);
        OpenedPort second(pty.slavePath().c_str(), k9600N81);
        EXPECT_EQ(second.code, kSerialOpenFailed);
        EXPECT_EQ(second.handle, nullptr);
    }
    OpenedPort again(pty.slavePath().c_str(), k9600N81);
    EXPECT_EQ(again.code, kSerialOk);
}

TEST(SerialOpen, TheLineSettingsAndRawModeReachTheTerminal) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), CommSettings{19200, 8, 2, 3});
    ASSERT_EQ(port.code, kSerialOk);
    const termios state = SettingsOf(pty.slavePath());
    EXPECT_EQ(cfgetospeed(&state), B19200);
    EXPECT_EQ(cfgetispeed(&state), B19200);
    EXPECT_NE(state.c_cflag & CSTOPB, 0u);
    EXPECT_NE(state.c_cflag & CMSPAR, 0u); // mark parity (a pty drops PARENB itself)
    EXPECT_EQ(state.c_lflag & ICANON, 0u);
    EXPECT_EQ(state.c_lflag & ECHO, 0u);
    EXPECT_EQ(state.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(state.c_oflag & OPOST, 0u);
    EXPECT_EQ(state.c_cc[VMIN], 0);
}

// A byte with a parity error must reach the reply check as a bad byte, so
// input parity checking follows the parity asked for.
TEST(SerialOpen, InputParityIsCheckedExactlyWhenTheLineHasParity) {
    PtyPair pty;
    for (const std::uint16_t parity : {0, 1, 2, 3, 4}) {
        OpenedPort port(pty.slavePath().c_str(), CommSettings{9600, 8, 0, parity});
        ASSERT_EQ(port.code, kSerialOk) << parity;
        EXPECT_EQ((SettingsOf(pty.slavePath()).c_iflag & INPCK) != 0, parity != 0) << parity;
    }
}

TEST(SerialOpen, SettingsTheLineCannotCarryAreRefusedAndLeaveTheDeviceFree) {
    PtyPair pty;
    const CommSettings refused[] = {
        {0, 8, 0, 0},                     // speed 0 would hang the line up
        {9600, 9, 0, 0},                  // data bits
        {9600, 4, 0, 0}, {9600, 8, 1, 0}, // one and a half stop bits need 5 data bits
        {9600, 8, 3, 0}, {9600, 8, 0, 5}, // parity code
    };
    for (const CommSettings& settings : refused) {
        OpenedPort port(pty.slavePath().c_str(), settings);
        EXPECT_EQ(port.code, kSerialStateRefused)
            << settings.baudRate << " " << settings.dataBits << " " << settings.stopBits << " "
            << settings.parity;
        EXPECT_EQ(port.handle, nullptr);
    }
    OpenedPort oneAndAHalf(pty.slavePath().c_str(), CommSettings{1200, 5, 1, 2});
    EXPECT_EQ(oneAndAHalf.code, kSerialOk);
}

TEST(SerialOpen, OnlyTheLowByteOfEachCharacterCodeCounts) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), CommSettings{9600, 0x0108, 0x0200, 0x0100});
    EXPECT_EQ(port.code, kSerialOk);
}

TEST(SerialNullDevice, OpensUnconfiguredAndHasNoTimeouts) {
    OpenedPort port("NUL", k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    ASSERT_NE(port.handle, nullptr);
    EXPECT_EQ(SetReplyTimeout(port.handle, 10), 0u);
    const std::uint8_t frame[] = {1, 2, 3};
    unsigned written = 0;
    EXPECT_EQ(WritePort(port.handle, frame, sizeof frame, &written), kSerialOk);
    EXPECT_EQ(written, 3u);
    std::uint8_t buffer[4];
    unsigned received = 99;
    EXPECT_EQ(ReadPort(port.handle, buffer, sizeof buffer, &received), kSerialIoFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(FlushInput(port.handle), 0);
    EXPECT_FALSE(SetRts(port.handle, true));
    // Two opens of the null device do not exclude each other.
    OpenedPort second("NUL", k9600N81);
    EXPECT_EQ(second.code, kSerialOk);
}

TEST(SerialTimeout, IsOneSecondAfterOpenAndReportsThePreviousValue) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    EXPECT_EQ(SetReplyTimeout(port.handle, 100), 100u); // already in force
    EXPECT_EQ(SetReplyTimeout(port.handle, 7), 100u);
    EXPECT_EQ(SetReplyTimeout(port.handle, 25), 7u);
    EXPECT_EQ(SetReplyTimeout(port.handle, 25), 25u);
}

TEST(SerialRead, NothingArrivingGivesSevenAfterTheTotalTimeout) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 10);
    std::uint8_t buffer[2];
    unsigned received = 99;
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(port.handle, buffer, 2, &received), kSerialIoFailed);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(elapsed, 95);
    EXPECT_LT(elapsed, 1000);
}

TEST(SerialRead, AShortReplyIsDeliveredWithItsCountWhenTheTimeoutEnds) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 8);
    pty.write({0x42});
    std::uint8_t buffer[2] = {};
    unsigned received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(port.handle, buffer, 2, &received), kSerialOk);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(buffer[0], 0x42);
    EXPECT_GE(MillisecondsSince(start), 75); // it waited for the second byte
    EXPECT_EQ(ReadPort(port.handle, buffer, 1, nullptr), kSerialIoFailed);
}

TEST(SerialRead, GapsBetweenCharactersDoNotEndARead) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 100);
    std::thread farEnd([&pty] {
        for (std::uint8_t byte = 1; byte <= 4; ++byte) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            pty.write({byte});
        }
    });
    std::uint8_t buffer[4] = {};
    unsigned received = 0;
    const int code = ReadPort(port.handle, buffer, 4, &received);
    farEnd.join();
    EXPECT_EQ(code, kSerialOk);
    ASSERT_EQ(received, 4u);
    EXPECT_EQ(Hex({buffer, buffer + 4}), "01 02 03 04");
}

TEST(SerialRead, TheTimeoutCountsFromTheStartOfTheReadNotFromTheLastCharacter) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 15);
    std::thread farEnd([&pty] {
        for (int i = 0; i < 20; ++i) {
            pty.write({0x55});
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    std::uint8_t buffer[20] = {};
    unsigned received = 0;
    const int code = ReadPort(port.handle, buffer, 20, &received);
    farEnd.join();
    EXPECT_EQ(code, kSerialOk);
    EXPECT_GE(received, 1u);
    EXPECT_LT(received, 20u); // a byte every 40 ms never reset the 150 ms total
}

TEST(SerialRead, AtLeastTakesWhatIsWaitingUpToItsMostAndLeavesTheRest) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 10);
    pty.write({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::uint8_t buffer[10] = {};
    unsigned received = 0;
    EXPECT_EQ(ReadPortAtLeast(port.handle, buffer, 2, 6, &received), kSerialOk);
    ASSERT_EQ(received, 6u);
    EXPECT_EQ(ReadPortAtLeast(port.handle, buffer + 6, 1, 10, &received), kSerialOk);
    ASSERT_EQ(received, 4u);
    EXPECT_EQ(Hex({buffer, buffer + 10}), "01 02 03 04 05 06 07 08 09 0A");
}

TEST(SerialFlush, DiscardsSixHundredWaitingBytesAndRestoresTheTimeout) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 12);
    pty.write(std::vector<std::uint8_t>(600, 0xAA));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(FlushInput(port.handle), 0);
    std::uint8_t byte = 0;
    EXPECT_EQ(ReadPort(port.handle, &byte, 1, nullptr), kSerialIoFailed);
    EXPECT_EQ(SetReplyTimeout(port.handle, 12), 12u);
    pty.write({0x01, 0x02});
    std::uint8_t buffer[2] = {};
    unsigned received = 0;
    EXPECT_EQ(ReadPort(port.handle, buffer, 2, &received), kSerialOk);
    EXPECT_EQ(received, 2u);
}

TEST(SerialFlush, AQuietLineCostsNoDiscardingRead) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 33);
    // Each discarding read would wait 50 ms; twenty flushes stay far below that.
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(FlushInput(port.handle), 0);
    }
    EXPECT_LT(MillisecondsSince(start), 500);
    EXPECT_EQ(SetReplyTimeout(port.handle, 33), 33u);
}

TEST(SerialWrite, PutsEveryByteOnTheLine) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    const std::uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    unsigned written = 0;
    EXPECT_EQ(WritePort(port.handle, frame, sizeof frame, &written), kSerialOk);
    EXPECT_EQ(written, sizeof frame);
    EXPECT_EQ(WritePort(port.handle, frame, 2, nullptr), kSerialOk);
    EXPECT_EQ(Hex(pty.read(100)), "01 03 00 00 00 01 84 0A 01 03");
}

TEST(SerialWrite, FailsWithSevenWhenTheFarEndHasGone) {
    auto pty = std::make_unique<PtyPair>();
    OpenedPort port(pty->slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    pty.reset(); // hangs the line up
    const std::uint8_t frame[] = {0x01};
    EXPECT_EQ(WritePort(port.handle, frame, 1, nullptr), kSerialIoFailed);
    std::uint8_t byte = 0;
    EXPECT_EQ(ReadPort(port.handle, &byte, 1, nullptr), kSerialIoFailed);
}

TEST(SerialModemLines, APseudoTerminalRefusesRtsButItsOutputDrains) {
    PtyPair pty;
    OpenedPort port(pty.slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    EXPECT_FALSE(SetRts(port.handle, true));
    EXPECT_FALSE(SetRts(port.handle, false));
    EXPECT_TRUE(DrainOutput(port.handle, Clock::now()));
}

class SerialHangup : public HostLibraryTest {};

TEST_F(SerialHangup, AFarEndClosedDuringAReadEndsItAtOnceAndSaysWhy) {
    auto pty = std::make_unique<PtyPair>();
    OpenedPort port(pty->slavePath().c_str(), k9600N81);
    ASSERT_EQ(port.code, kSerialOk);
    SetReplyTimeout(port.handle, 500); // 5 s
    std::thread farEnd([&pty] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.reset();
    });
    std::uint8_t buffer[2];
    unsigned received = 99;
    const auto start = Clock::now();
    const int code = ReadPort(port.handle, buffer, 2, &received);
    const long long elapsed = MillisecondsSince(start);
    farEnd.join();
    EXPECT_EQ(code, kSerialIoFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_LT(elapsed, 2500);
    EXPECT_EQ(messages(kSeverityError),
              std::vector<std::string>{"KOVRA> ReadPort() device lost: hung up"});
}
