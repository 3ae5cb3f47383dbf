// Start, restart and re-plumbing of a driver instance through VpiMain, with a
// pseudo-terminal as the serial line and a temporary current directory for the
// driver's files. Reply timeouts are measured by how long a read on the
// silent line takes.
#include "driver/driver_info.h"
#include "driver/stopping.h"
#include "link/serial_port.h"
#include "support/world.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

using namespace kovra;

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr CommSettings k9600N81{9600, 8, 0, 0};
constexpr char kNoSuchDevice[] = "/dev/kovrax"; // the 11 characters a name may have

class Lifecycle : public HostLibraryTest {
  protected:
    Lifecycle() : context_(std::make_unique<DriverContext>()) {
        std::memset(context_.get(), 0, sizeof(DriverContext));
        // Port names carry at most 11 characters (/dev/pts/99).
        EXPECT_LT(pty_.slavePath().size(), kPortNameSize);
    }
    // The driver keeps its table and stream until the process ends; the test
    // ends sooner.
    ~Lifecycle() override {
        if (context_->portHandle != nullptr) {
            ClosePortHandle(context_->portHandle);
        }
        ReleaseLastEvents(*context_);
    }

    int call(std::uint32_t code, void* data = nullptr) {
        VpiRequest request{context_.get(), code, 3, 0, data};
        return VpiMain(&request);
    }

    int coldStart(const std::string& name, bool enabled, CommSettings settings = k9600N81) {
        PortParams params{};
        std::strncpy(params.portName, name.c_str(), sizeof params.portName - 1);
        params.portEnabled = enabled ? 1 : 0;
        params.settings = settings;
        return call(kColdStart, &params);
    }

    int changeParams(const std::string& name, std::int32_t ticks, CommSettings settings) {
        PortChange change{};
        std::strncpy(change.portName, name.c_str(), sizeof change.portName - 1);
        change.timeoutTicks = ticks;
        change.settings = settings;
        return call(kChangeVpiParams, &change);
    }

    // A started instance with the port open on the pseudo-terminal, without
    // the cold start's last-event file.
    void startWithPort(std::int32_t ticks = -1, CommSettings settings = k9600N81) {
        ASSERT_EQ(coldStart("", false), 0);
        ASSERT_EQ(changeParams(pty_.slavePath(), ticks, settings), 0);
        ASSERT_NE(context_->portHandle, nullptr);
        halvo::ClearRecords();
    }

    // How long a read on the silent line waits before it gives up.
    long long silentReadMs() const {
        std::uint8_t byte = 0;
        const auto start = Clock::now();
        EXPECT_EQ(ReadPort(context_->portHandle, &byte, 1, nullptr), kSerialIoFailed);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }

    // True when nobody holds the device: it opens (and is closed again).
    static bool deviceFree(const std::string& path) {
        PortHandle handle = nullptr;
        if (OpenPort(path.c_str(), k9600N81, kLineControlDtrRtsOn, &handle) != kSerialOk) {
            return false;
        }
        ClosePortHandle(handle);
        return true;
    }

    static speed_t speedOf(const std::string& path) {
        termios state{};
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0);
        tcgetattr(fd, &state);
        close(fd);
        return cfgetospeed(&state);
    }

    TempCurrentDirectory directory_;
    PtyPair pty_;
    std::unique_ptr<DriverContext> context_;
};

// --- Driver information and dispatch ---

TEST_F(Lifecycle, DriverInformationIsAvailableBeforeAnyStart) {
    DriverInfo info{};
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(call(kGetDriverInfo, &info), 0);
    EXPECT_EQ(info.driverId, 70);
    EXPECT_STREQ(info.driverName, "Perax P200");
    ASSERT_NE(info.banner, nullptr);
    EXPECT_EQ(std::strlen(info.banner), 202u);
    EXPECT_EQ(static_cast<unsigned char>(info.banner[0]), 0x0D);
    EXPECT_NE(std::strstr(info.banner, "  KOVRA :  PERAX   P200, P200X or ARLEQUIN      (32-bit "
                                       "driver) \xBA\n"),
              nullptr);
    EXPECT_EQ(info.contextSize, static_cast<std::int32_t>(sizeof(DriverContext)));
    EXPECT_EQ(info.infoA, 4);
    EXPECT_EQ(info.infoB, 1);
    EXPECT_EQ(info.defaultSettings.baudRate, 9600);
    EXPECT_EQ(info.defaultSettings.dataBits, 8);
    EXPECT_EQ(info.defaultSettings.stopBits, 0);
    EXPECT_EQ(info.defaultSettings.parity, 0);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Lifecycle, CodesWithoutAHandlerAnswerTwoAndTouchNothing) {
    std::memset(context_.get(), 0x3C, sizeof(DriverContext));
    const std::vector<std::uint8_t> before(reinterpret_cast<std::uint8_t*>(context_.get()),
                                           reinterpret_cast<std::uint8_t*>(context_.get()) +
                                               sizeof(DriverContext));
    for (std::uint32_t code : {0u, 8u, 9u, 16u, 17u, 0xFFFFFFFFu}) {
        EXPECT_EQ(call(code), 2) << code;
    }
    EXPECT_EQ(std::memcmp(before.data(), context_.get(), sizeof(DriverContext)), 0);
    EXPECT_TRUE(messages().empty());
    std::memset(context_.get(), 0, sizeof(DriverContext));
}

// --- Cold start ---

TEST_F(Lifecycle, AColdStartWithoutAPortOpensNothing) {
    EXPECT_EQ(coldStart(pty_.slavePath(), false), 0);
    const Lines log = messages();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(std::regex_match(log[0], std::regex("KOVRA> version compiled on [A-Z][a-z]{2} "
                                                    "[ 123][0-9] [0-9]{4} at time "
                                                    "[0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << log[0];
    EXPECT_EQ(messages(kSeverityTrace).front(), log[0]);
    EXPECT_EQ(log[1], "KOVRA> ColdStart() no initfile found, defaults used");
    EXPECT_EQ(context_->portEnabled, 0);
    EXPECT_EQ(context_->portHandle, nullptr);
    EXPECT_EQ(context_->lastEvents, nullptr);
    EXPECT_TRUE(deviceFree(pty_.slavePath()));
    EXPECT_FALSE(std::filesystem::exists(directory_.path() / "KOVRA03H.DAT"));
}

TEST_F(Lifecycle, AReopenAfterAStartWithoutAPortOpensNoDeviceFromTheHostsRawMemory) {
    std::memset(context_.get(), 0xA5, sizeof(DriverContext));
    ASSERT_EQ(coldStart(pty_.slavePath(), false), 0);
    EXPECT_STREQ(context_->portName, "");
    EXPECT_EQ(call(kReopenPort), 2);
    EXPECT_EQ(context_->portHandle, nullptr);
    EXPECT_EQ(changeParams(pty_.slavePath(), -1, k9600N81), 0);
    EXPECT_NE(context_->portHandle, nullptr);
}

TEST_F(Lifecycle, APortOpenedAfterAStartWithoutOneSetsUpTheLastEventTableAndFileOnce) {
    std::memset(context_.get(), 0xA5, sizeof(DriverContext));
    ASSERT_EQ(coldStart(pty_.slavePath(), false), 0);
    EXPECT_EQ(
        std::count(std::begin(context_->lastQueryStamps), std::end(context_->lastQueryStamps), 0),
        1536);
    halvo::ClearRecords();

    EXPECT_EQ(changeParams(pty_.slavePath(), -1, k9600N81), 0);

    EXPECT_EQ(messages(), Lines{"KOVRA> OpenLastHoro() file created: 'KOVRA03H.DAT'"});
    ASSERT_NE(context_->lastEvents, nullptr);
    EXPECT_EQ(context_->lastEventCapacity, 128);
    EXPECT_EQ(context_->lastEventCount, 0);
    EXPECT_EQ(std::filesystem::file_size(directory_.path() / "KOVRA03H.DAT"), 1536u);

    const std::uint8_t* table = context_->lastEvents;
    ASSERT_EQ(call(kClosePort), 0);
    halvo::ClearRecords();
    EXPECT_EQ(call(kReopenPort), 0);
    EXPECT_EQ(context_->lastEvents, table);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Lifecycle, AReopenAfterAFailedColdStartSetsUpTheLastEventFileWithTheColdStartsMessages) {
    directory_.writeFile("KOVRA03H.DAT", std::string(10, '\0'));
    ASSERT_EQ(coldStart(kNoSuchDevice, true), 2);
    std::strcpy(context_->portName, pty_.slavePath().c_str());
    halvo::ClearRecords();

    EXPECT_EQ(call(kReopenPort), 1);

    EXPECT_EQ(
        messages(kSeverityError),
        (Lines{"KOVRA> OpenLastHoro() 'KOVRA03H.DAT' file size too small",
               "KOVRA> ColdStart() unrecoverable error opening",
               "KOVRA>    last horo file, delete KOVRAxxH.DAT", "KOVRA>    and restart Halvo"}));
    EXPECT_NE(context_->portHandle, nullptr);
    EXPECT_NE(context_->lastEvents, nullptr);
}

TEST_F(Lifecycle, AColdStartOnAnUnopenablePortKeepsTheFileOptionsAndAllocatesNoTable) {
    directory_.writeFile("KOVRA.INT", "IFG = 20\nCOMM_TIMEOUT = 300\n");
    EXPECT_EQ(coldStart(kNoSuchDevice, true), 2);
    EXPECT_EQ(messages(kSeverityError), Lines{"KOVRA> ColdStart() error opening COM port"});
    EXPECT_EQ(messages().back(), "KOVRA> ColdStart() error opening COM port");
    EXPECT_EQ(context_->portHandle, nullptr);
    EXPECT_EQ(context_->lastEvents, nullptr);
    EXPECT_EQ(context_->interFrameGap, 20);
    EXPECT_EQ(context_->timeoutTicks, 30);
    EXPECT_STREQ(context_->portName, kNoSuchDevice);
    EXPECT_FALSE(std::filesystem::exists(directory_.path() / "KOVRA03H.DAT"));
}

TEST_F(Lifecycle, AColdStartWithSettingsTheLineRefusesFailsAndLeavesTheDeviceFree) {
    EXPECT_EQ(coldStart(pty_.slavePath(), true, CommSettings{9600, 9, 0, 0}), 2);
    EXPECT_TRUE(logged("KOVRA> ColdStart() error opening COM port", kSeverityError));
    EXPECT_EQ(context_->portHandle, nullptr);
    EXPECT_TRUE(deviceFree(pty_.slavePath()));
}

// Cold starts with an enabled port also load the last-event file.
TEST_F(Lifecycle, AColdStartOpensThePortWithTheFileTimeoutAndLoadsTheLastEventFile) {
    directory_.writeFile("KOVRA.INT", "COMM_TIMEOUT = 200\n");
    EXPECT_EQ(coldStart(pty_.slavePath(), true, CommSettings{19200, 8, 0, 0}), 0);
    EXPECT_TRUE(messages(kSeverityError).empty());
    ASSERT_NE(context_->portHandle, nullptr);
    EXPECT_EQ(context_->portEnabled, 1);
    EXPECT_EQ(context_->lineControl, kLineControlDtrRtsOn);
    EXPECT_FALSE(deviceFree(pty_.slavePath()));
    EXPECT_EQ(speedOf(pty_.slavePath()), B19200);
    const long long waited = silentReadMs();
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 900);
    ASSERT_NE(context_->lastEvents, nullptr);
    EXPECT_EQ(context_->lastEventCapacity, 128);
    EXPECT_EQ(context_->lastEventCount, 0);
    EXPECT_EQ(std::filesystem::file_size(directory_.path() / "KOVRA03H.DAT"), 1536u);
}

TEST_F(Lifecycle, AColdStartWhoseLastEventFileFailsAnswersOneWithThePortOpen) {
    directory_.writeFile("KOVRA03H.DAT", std::string(10, '\0'));
    EXPECT_EQ(coldStart(pty_.slavePath(), true), 1);
    const Lines errors = messages(kSeverityError);
    ASSERT_GE(errors.size(), 3u);
    EXPECT_EQ(
        Lines(errors.end() - 3, errors.end()),
        (Lines{"KOVRA> ColdStart() unrecoverable error opening",
               "KOVRA>    last horo file, delete KOVRAxxH.DAT", "KOVRA>    and restart Halvo"}));
    EXPECT_NE(context_->portHandle, nullptr);
    EXPECT_FALSE(deviceFree(pty_.slavePath()));
    EXPECT_NE(context_->lastEvents, nullptr);
}

// --- Warm start ---

TEST_F(Lifecycle, AWarmStartWithoutAPortOnlyLogs) {
    ASSERT_EQ(coldStart("", false), 0);
    halvo::ClearRecords();
    EXPECT_EQ(call(kWarmStart), 0);
    EXPECT_EQ(messages(), Lines{"KOVRA> WarmStart()"});
    EXPECT_TRUE(logged("KOVRA> WarmStart()", kSeverityTrace));
}

TEST_F(Lifecycle, AWarmStartDiscardsPendingInput) {
    startWithPort(10);
    pty_.write({0x01, 0x03, 0x02});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(call(kWarmStart), 0);
    EXPECT_EQ(messages(), Lines{"KOVRA> WarmStart()"});
    std::uint8_t byte = 0;
    EXPECT_EQ(ReadPort(context_->portHandle, &byte, 1, nullptr), kSerialIoFailed);
    EXPECT_EQ(context_->timeoutTicks, 10);
}

// --- Closing and reopening ---

TEST_F(Lifecycle, ClosingTwiceFindsTheSecondTimeNothingToClose) {
    startWithPort();
    EXPECT_EQ(call(kClosePort), 0);
    EXPECT_EQ(context_->portHandle, nullptr);
    EXPECT_EQ(context_->portEnabled, 0);
    EXPECT_TRUE(deviceFree(pty_.slavePath()));
    EXPECT_EQ(call(kClosePort), 0);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Lifecycle, AReopenedPortHasTheStoredSettingsAndTheOneSecondTimeout) {
    startWithPort(20, CommSettings{19200, 8, 0, 0});
    ASSERT_EQ(call(kClosePort), 0);
    EXPECT_EQ(call(kReopenPort), 0);
    ASSERT_NE(context_->portHandle, nullptr);
    EXPECT_EQ(context_->portEnabled, 1);
    EXPECT_EQ(context_->timeoutTicks, 20);
    EXPECT_FALSE(deviceFree(pty_.slavePath()));
    EXPECT_EQ(speedOf(pty_.slavePath()), B19200);
    const long long waited = silentReadMs();
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 3000);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Lifecycle, ReopeningAnOpenPortReplacesTheHandleInsteadOfFailing) {
    startWithPort(20);
    EXPECT_EQ(call(kReopenPort), 0);
    ASSERT_NE(context_->portHandle, nullptr);
    EXPECT_EQ(context_->portEnabled, 1);
    EXPECT_EQ(SetReplyTimeout(context_->portHandle, 100), 100u); // the fresh open's timeout
    ASSERT_EQ(call(kClosePort), 0);
    EXPECT_TRUE(deviceFree(pty_.slavePath())); // no earlier handle left holding it
    EXPECT_TRUE(messages().empty());
}

TEST_F(Lifecycle, AReopenThatFailsSaysNothingAndLeavesThePortClosed) {
    startWithPort();
    ASSERT_EQ(call(kClosePort), 0);
    std::strcpy(context_->portName, kNoSuchDevice);
    EXPECT_EQ(call(kReopenPort), 2);
    EXPECT_EQ(context_->portHandle, nullptr);
    EXPECT_EQ(context_->portEnabled, 0);
    EXPECT_TRUE(messages().empty());
}

// --- Changing the port parameters ---

TEST_F(Lifecycle, ANewPortNameMovesToTheNewDeviceWithTheOldSettingsAndTimeout) {
    startWithPort(20, CommSettings{19200, 8, 0, 0});
    PtyPair other;
    EXPECT_EQ(changeParams(other.slavePath(), -1, CommSettings{0, 7, 2, 2}), 0);
    EXPECT_TRUE(deviceFree(pty_.slavePath()));
    EXPECT_FALSE(deviceFree(other.slavePath()));
    EXPECT_STREQ(context_->portName, other.slavePath().c_str());
    EXPECT_EQ(speedOf(other.slavePath()), B19200);
    EXPECT_EQ(context_->portSettings.dataBits, 8);
    const long long waited = silentReadMs();
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 900);
    EXPECT_TRUE(messages().empty());
    ASSERT_EQ(call(kClosePort), 0);
}

TEST_F(Lifecycle, ATimeoutOfZeroKeepsTheTimeoutAndOtherValuesReplaceIt) {
    startWithPort(20);
    PtyPair other;
    EXPECT_EQ(changeParams(other.slavePath(), 0, k9600N81), 0);
    EXPECT_EQ(context_->timeoutTicks, 20);
    long long waited = silentReadMs();
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 900);
    EXPECT_EQ(changeParams(pty_.slavePath(), 30, k9600N81), 0);
    EXPECT_EQ(context_->timeoutTicks, 30);
    waited = silentReadMs();
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 950);
    EXPECT_TRUE(deviceFree(other.slavePath()));
}

TEST_F(Lifecycle, ATimeoutBelowMinusOneOrBeyondWhatThePortCanWaitIsRefusedByName) {
    startWithPort(20);
    for (const std::int32_t ticks : {-2, INT32_MIN, 214748365, 429496730}) {
        halvo::ClearRecords();
        EXPECT_EQ(changeParams(pty_.slavePath(), ticks, k9600N81), 0);
        EXPECT_EQ(messages(kSeverityError),
                  Lines{"KOVRA> ChangeVpiParams() timeoutTicks " + std::to_string(ticks) +
                        " illegal value, timeout unchanged"});
        EXPECT_EQ(context_->timeoutTicks, 20);
    }
    const long long waited = silentReadMs();
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 900);
    EXPECT_EQ(changeParams(pty_.slavePath(), 214748364, k9600N81), 0);
    EXPECT_EQ(context_->timeoutTicks, 214748364);
}

TEST_F(Lifecycle, NewSettingsForTheOpenPortTakeEffectAtOnce) {
    startWithPort(20, CommSettings{9600, 8, 0, 0});
    EXPECT_EQ(changeParams(pty_.slavePath(), 40, CommSettings{4800, 8, 2, 0}), 0);
    EXPECT_TRUE(messages().empty());
    ASSERT_NE(context_->portHandle, nullptr);
    EXPECT_EQ(context_->portEnabled, 1);
    EXPECT_EQ(speedOf(pty_.slavePath()), B4800);
    const long long waited = silentReadMs();
    EXPECT_GE(waited, 390);
    EXPECT_LT(waited, 950);
    ASSERT_EQ(call(kClosePort), 0);
    EXPECT_TRUE(deviceFree(pty_.slavePath())); // the earlier handle went with the change
}

TEST_F(Lifecycle, AChangeToAnUnopenablePortKeepsTheNewValuesForALaterReopen) {
    startWithPort(20);
    EXPECT_EQ(changeParams(kNoSuchDevice, 40, CommSettings{19200, 8, 0, 0}), 2);
    EXPECT_EQ(messages(), Lines{"KOVRA> ChangeVpiParams() open new COM port failed"});
    EXPECT_TRUE(logged("KOVRA> ChangeVpiParams() open new COM port failed", kSeverityError));
    EXPECT_EQ(context_->portHandle, nullptr);
    EXPECT_EQ(context_->portEnabled, 0);
    EXPECT_TRUE(deviceFree(pty_.slavePath()));
    EXPECT_STREQ(context_->portName, kNoSuchDevice);
    EXPECT_EQ(context_->timeoutTicks, 40);
    EXPECT_EQ(context_->portSettings.baudRate, 19200);

    halvo::ClearRecords();
    EXPECT_EQ(call(kReopenPort), 2);
    EXPECT_TRUE(messages().empty());
    std::strcpy(context_->portName, pty_.slavePath().c_str());
    EXPECT_EQ(call(kReopenPort), 0);
    EXPECT_EQ(speedOf(pty_.slavePath()), B19200);
}

TEST_F(Lifecycle, APortNameOfTwelveCharactersIsCutToEleven) {
    startWithPort();
    PortChange change{};
    std::memcpy(change.portName, "/dev/kovra-abc", sizeof change.portName); // no terminator
    change.timeoutTicks = -1;
    VpiRequest request{context_.get(), kChangeVpiParams, 3, 0, &change};
    EXPECT_EQ(VpiMain(&request), 2);
    EXPECT_STREQ(context_->portName, "/dev/kovra-");
}

} // namespace
