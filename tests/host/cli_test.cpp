// kovra-host as a user runs it: the real program, the real driver library, a
// simulated PLC line on a pseudo-terminal, files in a temporary directory.
#include "run.h"
#include "support/world.h"

#include "plcsim/simulator.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class HostCli : public ::testing::Test {
protected:
    void SetUp() override {
        sim.addStation(0x01, plcsim::Model::P200);
        sim.addStation(0x02, plcsim::Model::P200X);
        port = sim.openPseudoTerminal();
        sim.start();
        // Short replies keep the silent-station cases fast.
        dir.writeFile("KOVRA01.INT", "P200X = 02\nCOMM_TIMEOUT = 100\n");
    }

    // kovra-host COMMAND... on the simulated line, in the test's directory,
    // showing no driver messages unless asked.
    Run host(std::vector<std::string> arguments, bool quiet = true) {
        arguments.insert(arguments.end(), {"--port", port, "--dir", dir.path().string()});
        if (quiet) {
            arguments.insert(arguments.end(), {"--log-level", "none"});
        }
        return RunHost(arguments);
    }

    TempCurrentDirectory dir;
    plcsim::Simulator sim;
    std::string port;
};

} // namespace

TEST(HostCliAlone, InfoShowsTheDriverAndItsBannerInUnicode) {
    const Run run = RunHost({"info"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "Perax P200 (id 70)")) << run.out;
    EXPECT_TRUE(Has(run.out, "9600 baud, 8 data bits, parity none, 1 stop bit")) << run.out;
    EXPECT_TRUE(Has(run.out, "╔════")) << run.out;
    EXPECT_TRUE(Has(run.out, "║  KOVRA :  PERAX   P200, P200X or ARLEQUIN      (32-bit driver) ║"))
        << run.out;
    EXPECT_TRUE(Has(run.out, "═╝")) << run.out;
    EXPECT_FALSE(Has(run.out, "\r"));
}

TEST(HostCliAlone, MistakesOnTheCommandLineExitWithTwoAndSaySo) {
    Run run = RunHost({"read", "0130010", "--baud", "fast"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Has(run.err, "--baud takes a whole number")) << run.err;
    run = RunHost({"bogus"});
    EXPECT_EQ(run.status, 2);
    run = RunHost({"read", "0130010"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Has(run.err, "no port given")) << run.err;
    run = RunHost({"watch", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Has(run.out, "--every SECONDS")) << run.out;
}

TEST_F(HostCli, ReadShowsCookedValuesWithTheirRawForm) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {325});
    sim.setLong(0x01, plcsim::Table::Words, 0x0020, 0x00123456);
    sim.set(0x01, plcsim::Table::Bits, 0x0003, {1});
    sim.setFloat(0x02, plcsim::Table::Words, 0x0040, 2.5f);
    dir.writeFile("kovra-gates.txt", "0130010 word linear 0.1 -20\n");
    const Run run = host({"read", "0130010", "01C0020", "0110003", "02F0040", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{
                                  "GATE,VALUE,RAW",
                                  "0130010,12.5,0x0145 (325)",
                                  "01C0020,1193046,0x00123456 (1193046)",
                                  "0110003,1,1",
                                  "02F0040,2.5,0x40200000 (1075838976)",
                              }));
}

TEST_F(HostCli, WriteUndoesTheCookingAndReachesThePlc) {
    dir.writeFile("kovra-gates.txt", "0130010 word linear 0.1 -20\n");
    Run run = host({"write", "0130010", "12.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0130010 <- 12.5 (raw 0x0145 (325))\n");
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, 0x0010), 325);

    run = host({"write", "0110003", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Bits, 0x0003), 1);

    run = host({"write", "0130012", "0x1234", "--raw"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, 0x0012), 0x1234);

    run = host({"write", "0130010", "99999"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "does not fit gate 0130010")) << run.err;
}

TEST_F(HostCli, AMalformedGateIsNamedWithTheDriversReason) {
    sim.clearLog();
    const Run run = host({"read", "0a30001"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"kovra-host: gate '0a30001': Parse() illegal char #1 in 0a30001"});
    EXPECT_TRUE(sim.exchanges().empty());

    const Run floatOnP200 = host({"read", "01F0040"});
    EXPECT_EQ(floatOnP200.status, 1);
    EXPECT_TRUE(Has(floatOnP200.err, "float gates only supported on P200X")) << floatOnP200.err;
}

TEST_F(HostCli, ASilentStationIsNamedAndCostsFourAttempts) {
    sim.injectFault(0x01, plcsim::Fault::Silent());
    sim.clearLog();
    const Run run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_EQ(run.errLines()[0], "kovra-host: read 0130010: station 01 does not answer on " + port +
                                     " (status 2)");
    EXPECT_EQ(sim.exchanges().size(), 4u);
}

TEST_F(HostCli, APortThatIsMissingOrBusyIsNamed) {
    Run run = RunHost({"read", "0130010", "--port", "/dev/kovra-none", "--dir", dir.path().string(),
                       "--log-level", "none"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"kovra-host: port /dev/kovra-none does not exist"});

    const int holder = open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    run = host({"read", "0130010"});
    close(holder);
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_TRUE(Has(run.err, "port " + port + " cannot be opened")) << run.err;
}

TEST_F(HostCli, AnUnreadableInitFileIsNamedBeforeThePlcIsTouched) {
    fs::remove(dir.path() / "KOVRA01.INT");
    fs::create_directory(dir.path() / "KOVRA01.INT");
    sim.clearLog();
    const Run run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"kovra-host: init file KOVRA01.INT is not a readable file"});
    EXPECT_TRUE(sim.exchanges().empty());
}

TEST_F(HostCli, ACorruptLastEventFileIsNamedAndLeftAsItIs) {
    const std::string corrupt(100, '\x07');
    dir.writeFile("KOVRA01H.DAT", corrupt);
    const Run run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_TRUE(Has(run.err, "last-event file KOVRA01H.DAT is corrupt: 100 bytes")) << run.err;
    EXPECT_EQ(dir.readFile("KOVRA01H.DAT"), corrupt);
}

TEST_F(HostCli, AHistoryThatCannotBeWrittenStopsTheRunBeforeThePlcIsTouched) {
    fs::create_directory(dir.path() / "kovra-history.db");
    sim.clearLog();
    const Run run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_TRUE(Has(run.err, "history database " + (dir.path() / "kovra-history.db").string()))
        << run.err;
    EXPECT_TRUE(sim.exchanges().empty());
}

TEST_F(HostCli, SyncSetsTheClockOfAP200XAndRefusesAP200) {
    sim.clearLog();
    Run run = host({"sync", "02"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "station 02: clock set to ")) << run.out;
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(requests[0].begin(), requests[0].begin() + 7),
              (std::vector<std::uint8_t>{0x02, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08}));

    run = host({"sync", "01"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "station 01 is not a P200X for the driver")) << run.err;
}

TEST_F(HostCli, WatchPrintsAValueWhenItChanges) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {7});
    // The value changes once the PLC has answered the first poll.
    sim.onExchange([this](const plcsim::Exchange&) {
        if (sim.exchanges().size() >= 1) {
            sim.set(0x01, plcsim::Table::Words, 0x0010, {8});
        }
    });
    const Run run = host({"watch", "0130010", "--every", "0.05", "--count", "4", "--csv"});
    sim.onExchange(nullptr);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "TIME,GATE,VALUE,RAW");
    EXPECT_TRUE(Has(lines[1], ",0130010,7,0x0007 (7)")) << lines[1];
    EXPECT_TRUE(Has(lines[2], ",0130010,8,0x0008 (8)")) << lines[2];
}

TEST_F(HostCli, TracePrintsEveryFrameWithItsMeaning) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {0x1234});
    const Run run = host({"read", "0130010", "--trace"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = run.errLines();
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_TRUE(Has(lines[0], " -> 01 03 00 10 00 01 85 CF  station 01: read 1 word at 0x0010"))
        << lines[0];
    EXPECT_TRUE(Has(lines[1], " <- 01 03 02 12 34 ")) << lines[1];
    EXPECT_TRUE(Has(lines[1], "station 01: reply, 2 data bytes: 0x1234")) << lines[1];
    EXPECT_TRUE(Has(run.out, "0130010  4660   0x1234 (4660)")) << run.out;
}
