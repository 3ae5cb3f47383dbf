// The PLC simulator on its own, spoken to in raw frames over a pseudo-terminal.
#include "plcsim/config.h"
#include "plcsim/simulator.h"
#include "support/plc_line.h"
#include "support/world.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

using namespace kovra;

using plcsim::Fault;
using plcsim::Model;
using plcsim::Table;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace {

class SimulatorTest : public ::testing::Test {
  protected:
    SimulatorTest() {
        plc().addStation(1, Model::P200);
        plc().addStation(2, Model::P200X);
    }
    plcsim::Simulator& plc() { return line_.plc(); }

    SimulatedLine line_;
    SerialEnd end_{line_.path()};
};

TEST_F(SimulatorTest, ReadsEveryTableAsItsMemoryHoldsIt) {
    plc().set(1, Table::Bits, 0x10, {1, 0, 1, 1, 0, 0, 0, 0, 1, 1});
    plc().set(1, Table::InputBits, 0x20, {0, 1});
    plc().set(1, Table::Words, 0x30, {0x1234, 0xABCD});
    plc().set(1, Table::InputWords, 0x40, {0xBEEF});

    // Bits come packed, lowest first: 1,0,1,1,0,0,0,0 is 0x0D, then 1,1 is 0x03.
    EXPECT_EQ(Hex(end_.exchange({1, 1, 0x00, 0x10, 0x00, 0x0A})),
              Hex(WithCrc({1, 1, 2, 0x0D, 0x03})));
    EXPECT_EQ(Hex(end_.exchange({1, 2, 0x00, 0x20, 0x00, 0x02})), Hex(WithCrc({1, 2, 1, 0x02})));
    EXPECT_EQ(Hex(end_.exchange({1, 3, 0x00, 0x30, 0x00, 0x02})),
              Hex(WithCrc({1, 3, 4, 0x12, 0x34, 0xAB, 0xCD})));
    EXPECT_EQ(Hex(end_.exchange({1, 4, 0x00, 0x40, 0x00, 0x01})),
              Hex(WithCrc({1, 4, 2, 0xBE, 0xEF})));
}

TEST_F(SimulatorTest, WritesChangeMemoryAndAreEchoed) {
    EXPECT_EQ(Hex(end_.exchange({1, 5, 0x00, 0x07, 0xFF, 0x00})),
              Hex(WithCrc({1, 5, 0x00, 0x07, 0xFF, 0x00})));
    EXPECT_EQ(plc().get(1, Table::Bits, 7), 1);
    EXPECT_EQ(Hex(end_.exchange({1, 6, 0x01, 0x00, 0x12, 0x34})),
              Hex(WithCrc({1, 6, 0x01, 0x00, 0x12, 0x34})));
    EXPECT_EQ(plc().get(1, Table::Words, 0x100), 0x1234);
    EXPECT_EQ(Hex(end_.exchange({1, 16, 0x00, 0x01, 0x00, 0x02, 4, 0xAA, 0xBB, 0xCC, 0xDD})),
              Hex(WithCrc({1, 16, 0x00, 0x01, 0x00, 0x02})));
    EXPECT_EQ(plc().get(1, Table::Words, 1, 2), (std::vector<std::uint16_t>{0xAABB, 0xCCDD}));
}

TEST_F(SimulatorTest, RefusesUnknownFunctionsBadAddressesAndBadQuantities) {
    EXPECT_EQ(Hex(end_.exchange({1, 0x2B, 0x0E, 0x01, 0x00})), Hex(WithCrc({1, 0xAB, 0x01})));
    EXPECT_EQ(Hex(end_.exchange({1, 3, 0xFF, 0xFF, 0x00, 0x02})), Hex(WithCrc({1, 0x83, 0x02})));
    EXPECT_EQ(Hex(end_.exchange({1, 3, 0x00, 0x00, 0x00, 0x00})), Hex(WithCrc({1, 0x83, 0x03})));
    EXPECT_EQ(Hex(end_.exchange({1, 4, 0x00, 0x00, 0x00, 126})), Hex(WithCrc({1, 0x84, 0x03})));
    EXPECT_EQ(Hex(end_.exchange({1, 1, 0x00, 0x00, 0x07, 0xD1})), Hex(WithCrc({1, 0x81, 0x03})));
    EXPECT_EQ(Hex(end_.exchange({1, 5, 0x00, 0x00, 0x12, 0x34})), Hex(WithCrc({1, 0x85, 0x03})));
    // Byte count that does not match the register count.
    EXPECT_EQ(Hex(end_.exchange({1, 16, 0x00, 0x01, 0x00, 0x02, 2, 0xAA, 0xBB})),
              Hex(WithCrc({1, 0x90, 0x03})));
    EXPECT_EQ(plc().get(1, Table::Words, 1), 0);
}

TEST_F(SimulatorTest, BadCrcAndOtherStationsGetNoReplyButAreLogged) {
    Bytes corrupted = WithCrc({1, 3, 0x00, 0x00, 0x00, 0x01});
    corrupted.back() ^= 0x01;
    end_.write(corrupted);
    EXPECT_TRUE(end_.read(100).empty());
    EXPECT_TRUE(end_.exchange({9, 3, 0x00, 0x00, 0x00, 0x01}, 60).empty());
    // The line is still in step: the next good request is answered.
    EXPECT_EQ(end_.exchange({1, 3, 0x00, 0x00, 0x00, 0x01}).size(), 7u);

    const auto log = plc().exchanges();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(Hex(log[0].request), Hex(corrupted));
    EXPECT_FALSE(log[0].crcOk);
    EXPECT_TRUE(log[0].reply.empty());
    EXPECT_TRUE(log[1].crcOk);
    EXPECT_TRUE(log[1].reply.empty());
    EXPECT_LE(log[0].time, log[1].time);
    EXPECT_LE(log[1].time, log[2].time);
}

TEST_F(SimulatorTest, StationsOnOneLineKeepTheirOwnMemory) {
    plc().set(1, Table::Words, 0, {0x0101});
    plc().set(2, Table::Words, 0, {0x0202});
    EXPECT_EQ(Hex(end_.exchange({2, 3, 0x00, 0x00, 0x00, 0x01})),
              Hex(WithCrc({2, 3, 2, 0x02, 0x02})));
    EXPECT_EQ(Hex(end_.exchange({1, 3, 0x00, 0x00, 0x00, 0x01})),
              Hex(WithCrc({1, 3, 2, 0x01, 0x01})));
}

TEST_F(SimulatorTest, AFrameSplitByAShortPauseIsOneRequest) {
    const Bytes request = WithCrc({1, 6, 0x00, 0x05, 0x00, 0x07});
    end_.write(Bytes(request.begin(), request.begin() + 3));
    std::this_thread::sleep_for(5ms);
    end_.write(Bytes(request.begin() + 3, request.end()));
    EXPECT_EQ(Hex(end_.read(200)), Hex(request));
    EXPECT_EQ(plc().get(1, Table::Words, 5), 7);
}

TEST_F(SimulatorTest, AFrameCutShortIsDroppedAtTheSilence) {
    const Bytes request = WithCrc({1, 3, 0x00, 0x00, 0x00, 0x01});
    end_.write(Bytes(request.begin(), request.begin() + 5));
    EXPECT_TRUE(end_.read(100).empty());
    EXPECT_EQ(end_.exchange({1, 3, 0x00, 0x00, 0x00, 0x01}).size(), 7u);
    const auto log = plc().exchanges();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request.size(), 5u);
    EXPECT_FALSE(log[0].crcOk);
}

TEST_F(SimulatorTest, FaultsApplyInTurnForTheirNumberOfRequests) {
    plc().set(1, Table::Words, 0, {0x1234});
    const Bytes request{1, 3, 0x00, 0x00, 0x00, 0x01};
    const Bytes good = WithCrc({1, 3, 2, 0x12, 0x34});
    plc().injectFault(1, Fault::Silent(2));
    plc().injectFault(1, Fault::CorruptCrc(1));
    plc().injectFault(1, Fault::AsStation(7, 1));
    plc().injectFault(1, Fault::CutAfter(3, 1));
    plc().injectFault(1, Fault::GarbageFirst({0xAA, 0x55}, 1));
    plc().injectFault(1, Fault::WithException(0x04, 1));
    plc().injectFault(1, Fault::Replying({1, 4, 1, 0x99}, 1));

    EXPECT_TRUE(end_.exchange(request, 60).empty());
    EXPECT_TRUE(end_.exchange(request, 60).empty());
    Bytes badCrc = good;
    badCrc.back() ^= 0x5A;
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(badCrc));
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(WithCrc({7, 3, 2, 0x12, 0x34})));
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(Bytes(good.begin(), good.begin() + 3)));
    Bytes garbage{0xAA, 0x55};
    garbage.insert(garbage.end(), good.begin(), good.end());
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(garbage));
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(WithCrc({1, 0x83, 0x04})));
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(WithCrc({1, 4, 1, 0x99})));
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(good));
    // Another station is not affected by station 1's faults.
    plc().injectFault(1, Fault::Silent());
    EXPECT_FALSE(end_.exchange({2, 3, 0x00, 0x00, 0x00, 0x01}).empty());
    EXPECT_TRUE(end_.exchange(request, 60).empty());
    plc().clearFaults(1);
    EXPECT_EQ(Hex(end_.exchange(request)), Hex(good));
}

TEST_F(SimulatorTest, AnExceptionFaultLeavesAWriteUndoneButSilenceCarriesItOut) {
    plc().injectFault(1, Fault::WithException(0x06, 1));
    EXPECT_EQ(Hex(end_.exchange({1, 6, 0x00, 0x01, 0x00, 0x09})), Hex(WithCrc({1, 0x86, 0x06})));
    EXPECT_EQ(plc().get(1, Table::Words, 1), 0);
    plc().injectFault(1, Fault::Silent(1));
    EXPECT_TRUE(end_.exchange({1, 6, 0x00, 0x01, 0x00, 0x09}, 60).empty());
    EXPECT_EQ(plc().get(1, Table::Words, 1), 9);
}

TEST_F(SimulatorTest, ADelayedReplyComesAfterTheDelay) {
    plc().injectFault(1, Fault::Delayed(300ms, 1));
    end_.write(WithCrc({1, 3, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_TRUE(end_.read(100).empty());
    EXPECT_EQ(end_.read(500).size(), 7u);
}

TEST_F(SimulatorTest, PacedRepliesTakeTheirLineTime) {
    plc().setLine({19200, 8, 'N', 2});
    plc().setPacing(true);
    // Request and reply, 8 + 255 bytes of 10 bits at 19200 bit/s, take 137 ms
    // on the wire.
    const auto begin = std::chrono::steady_clock::now();
    end_.write(WithCrc({1, 3, 0x00, 0x00, 0x00, 125}));
    const Bytes reply = end_.read(300, 50, 255);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(reply.size(), 255u);
    EXPECT_GE(elapsed, 136ms);
    const auto logged = plc().exchanges();
    ASSERT_EQ(logged.size(), 1u);
    ASSERT_TRUE(logged[0].replied.has_value());
    EXPECT_GE(*logged[0].replied - logged[0].begin, 136ms);
}

TEST_F(SimulatorTest, StopInterruptsAPendingDelay) {
    plc().injectFault(1, Fault::Delayed(60s));
    end_.write(WithCrc({1, 3, 0x00, 0x00, 0x00, 0x01}));
    ASSERT_TRUE(plc().waitForExchanges(1, 1s));
    const auto begin = std::chrono::steady_clock::now();
    plc().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_FALSE(plc().running());
}

TEST_F(SimulatorTest, TheLineSurvivesTheMasterClosingAndReopeningIt) {
    {
        SerialEnd first(line_.path());
        EXPECT_EQ(first.exchange({1, 3, 0x00, 0x00, 0x00, 0x01}).size(), 7u);
    }
    SerialEnd second(line_.path());
    EXPECT_EQ(second.exchange({1, 3, 0x00, 0x00, 0x00, 0x01}).size(), 7u);
}

// A clock in the style the journal and clock extensions will use: function 16
// to registers 1 to 4 is taken by the hook, not stored in plain memory.
class ClockHook : public plcsim::RegisterHook {
  public:
    plcsim::HookResult writeRegisters(plcsim::Station&, std::uint8_t function, std::uint16_t start,
                                      std::span<const std::uint16_t> values) override {
        if (function != 16 || start != 1) {
            return plcsim::HookResult::Pass();
        }
        if (values.size() != 4) {
            return plcsim::HookResult::Exception(plcsim::kIllegalValue);
        }
        clock.assign(values.begin(), values.end());
        return plcsim::HookResult::Handled();
    }
    plcsim::HookResult readRegisters(plcsim::Station& station, std::uint16_t start,
                                     std::span<std::uint16_t> values) override {
        if (start != 0x0900) {
            return plcsim::HookResult::Pass();
        }
        values[0] = station.model() == Model::P200X ? 120 : 52;
        return plcsim::HookResult::Handled();
    }
    std::vector<std::uint16_t> clock;
};

TEST_F(SimulatorTest, RegisterHooksTakeTheirRangesAndPassTheRest) {
    auto hook = std::make_shared<ClockHook>();
    plc().addHook(2, hook);
    EXPECT_EQ(Hex(end_.exchange({2, 16, 0x00, 0x01, 0x00, 0x04, 8, 0x1C, 0x05, 0x7D, 0x0D, 0x2D,
                                 0x1E, 0x00, 0x03})),
              Hex(WithCrc({2, 16, 0x00, 0x01, 0x00, 0x04})));
    EXPECT_EQ(Hex(end_.exchange({2, 16, 0x00, 0x01, 0x00, 0x01, 2, 0x00, 0x00})),
              Hex(WithCrc({2, 0x90, 0x03})));
    EXPECT_EQ(Hex(end_.exchange({2, 3, 0x09, 0x00, 0x00, 0x01})), Hex(WithCrc({2, 3, 2, 0, 120})));
    EXPECT_EQ(Hex(end_.exchange({2, 6, 0x00, 0x05, 0x00, 0x01})),
              Hex(WithCrc({2, 6, 0x00, 0x05, 0x00, 0x01})));
    plc().withStation(2, [&](plcsim::Station&) {
        EXPECT_EQ(hook->clock, (std::vector<std::uint16_t>{0x1C05, 0x7D0D, 0x2D1E, 0x0003}));
    });
    EXPECT_EQ(plc().get(2, Table::Words, 1, 4), (std::vector<std::uint16_t>{0, 0, 0, 0}));
    EXPECT_EQ(plc().get(2, Table::Words, 5), 1);
}

TEST(SimulatorDevice, ServesADevicePathAtItsLineSettings) {
    NullModem cable;
    plcsim::Simulator simulator;
    simulator.setLine({19200, 8, 'E', 2});
    simulator.addStation(4, Model::P200X);
    simulator.set(4, Table::Words, 0, {0x0404});
    simulator.openDevice(cable.pathB());
    simulator.start();
    SerialEnd end(cable.pathA());
    EXPECT_EQ(Hex(end.exchange({4, 3, 0x00, 0x00, 0x00, 0x01})),
              Hex(WithCrc({4, 3, 2, 0x04, 0x04})));
    simulator.stop();
    EXPECT_THROW(plcsim::Simulator().openDevice("/nonexistent/tty"), std::runtime_error);
}

TEST(SimulatorDevice, SaysOnceThatItsDeviceIsGone) {
    int master = -1;
    int keeper = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &keeper, name, nullptr, nullptr), 0);
    plcsim::Simulator simulator;
    std::mutex mutex;
    std::vector<std::string> said;
    simulator.onLineLost([&](const std::string& message) {
        const std::lock_guard lock(mutex);
        said.push_back(message);
    });
    simulator.openDevice(name);
    simulator.start();
    close(keeper);
    close(master);
    std::this_thread::sleep_for(300ms); // many polls of the hung-up device
    simulator.stop();
    const std::lock_guard lock(mutex);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind(std::string("the device ") + name + " is gone (", 0), 0u) << said[0];
}

TEST(SimulatorConfig, AppliesStationsMemoryFaultsAndLine) {
    SimulatedLine line;
    std::istringstream text(R"(# two stations
line 19200 8E1
station 0x11 P200X
station 3
words 0x11 0x10 0x1234 4660   # hex and decimal
bits 3 0 1 0 1
long 3 0x20 0x00345678
float 0x11 0x30 10.0
fault 3 silent times 1
fault 3 reply 3 1 1 0x77 times 1
)");
    plcsim::Configure(line.plc(), text);
    EXPECT_EQ(line.plc().line().halfBitsPerCharacter(), 22u);
    EXPECT_EQ(line.plc().get(0x11, Table::Words, 0x10, 2),
              (std::vector<std::uint16_t>{0x1234, 0x1234}));
    EXPECT_EQ(line.plc().get(0x11, Table::Words, 0x30, 2),
              (std::vector<std::uint16_t>{0x4120, 0x0000}));
    EXPECT_EQ(line.plc().get(3, Table::Words, 0x20, 2),
              (std::vector<std::uint16_t>{0x0034, 0x5678}));

    SerialEnd end(line.path());
    EXPECT_TRUE(end.exchange({3, 1, 0x00, 0x00, 0x00, 0x03}, 60).empty());
    EXPECT_EQ(Hex(end.exchange({3, 1, 0x00, 0x00, 0x00, 0x03})), Hex(WithCrc({3, 1, 1, 0x77})));
    EXPECT_EQ(Hex(end.exchange({3, 1, 0x00, 0x00, 0x00, 0x03})), Hex(WithCrc({3, 1, 1, 0x05})));
}

TEST(SimulatorDevice, TakesEveryFramingAndSpeedTheDriverDoes) {
    NullModem cable;
    plcsim::Simulator simulator;
    std::istringstream text("line 14400 5M1.5\n");
    plcsim::Configure(simulator, text);
    EXPECT_EQ(simulator.line().halfBitsPerCharacter(), 17u);
    simulator.openDevice(cable.pathB());
    // A pseudo-terminal forces 8 data bits and drops the parity enable; the
    // rest stays as the simulator set it.
    termios kept{};
    const int fd = open(cable.pathB().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(tcgetattr(fd, &kept), 0);
    close(fd);
    EXPECT_NE(kept.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(kept.c_cflag & (PARODD | CMSPAR), PARODD | CMSPAR);
    EXPECT_EQ(kept.c_cflag & CBAUD, static_cast<tcflag_t>(CBAUDEX)); // BOTHER: a rate of its own
}

TEST(SimulatorConfig, NamesTheLineOfABadStatement) {
    plcsim::Simulator simulator;
    const auto refusal = [&](const std::string& text) {
        std::istringstream in(text);
        try {
            plcsim::Configure(simulator, in);
        } catch (const plcsim::ConfigError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal("station 1\n\nwords 2 0 1\n"), "line 3: no station 2");
    EXPECT_EQ(refusal("station 256\n"), "line 1: '256' is above 255");
    EXPECT_EQ(refusal("station 1 P300\n"), "line 1: model 'P300' is neither P200 nor P200X");
    EXPECT_EQ(refusal("fault 1 wobble\n"), "line 1: unknown fault 'wobble'");
    EXPECT_EQ(refusal("bits 1 0 2\n"), "line 1: '2' is above 1");
    EXPECT_EQ(refusal("words 1 0xFFFF 1 2\n"), "line 1: range past the end of the table");
    EXPECT_EQ(refusal("line 9600 8X1\n"), "line 1: framing '8X1' is not like 8N1");
    EXPECT_EQ(refusal("line 9600 8N1.5\n"), "line 1: framing '8N1.5' is not like 8N1");
    EXPECT_EQ(refusal("line 9600 9N1\n"), "line 1: framing '9N1' is not like 8N1");
    EXPECT_EQ(refusal("hello\n"), "line 1: unknown statement 'hello'");
}

} // namespace
