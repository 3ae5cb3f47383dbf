// kovra-host on a line behind a real device server: Debian's ser2net serving
// the simulated line's pseudo-terminal, once as raw TCP and once as telnet
// with RFC 2217.
#include "run.h"
#include "support/world.h"

#include "plcsim/journal.h"
#include "plcsim/simulator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace kovra;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string FindSer2net() {
    for (const char* candidate :
         {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Whether a socket listens on the loopback port, asked of the kernel: a
// connection to find out would open the device behind it, and ser2net could
// still be closing it when the program under test connects.
bool Listening(int port) {
    char local[16];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream table("/proc/net/tcp");
    std::string entry, address, remote, state;
    while (table >> entry >> address >> remote >> state) {
        if (address == local && state == "0A") {
            return true;
        }
        std::getline(table, entry);
    }
    return false;
}

// ser2net in the foreground with a configuration of our own: the device on
// two accepters, raw and RFC 2217, on free loopback ports. UUCP locks are off
// (-u): the simulator's pseudo-terminal is no dial-out line.
class Ser2net {
  public:
    Ser2net(const fs::path& dir, const std::string& device)
        : config_(dir / "ser2net.yaml"), log_(dir / "ser2net.log"), rawPort_(FreePort()),
          telnetPort_(FreePort()) {
        std::ofstream(config_) << "connection: &raw\n"
                               << "  accepter: tcp,127.0.0.1," << rawPort_ << "\n"
                               << "  connector: serialdev," << device << ",9600n81,local\n"
                               << "connection: &rfc2217\n"
                               << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort_
                               << "\n"
                               << "  connector: serialdev," << device << ",9600n81,local\n";
    }
    ~Ser2net() { stop(); }

    bool start() {
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execl(program_.c_str(), program_.c_str(), "-n", "-d", "-u", "-c", config_.c_str(),
                  nullptr);
            _exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (Listening(rawPort_) && Listening(telnetPort_)) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    // Gone at once, as a device server losing power: its connections drop.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    std::string raw() const { return "tcp://127.0.0.1:" + std::to_string(rawPort_); }
    std::string rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(telnetPort_); }
    std::string log() const {
        std::ifstream in(log_);
        return {std::istreambuf_iterator<char>(in), {}};
    }

  private:
    std::string program_ = FindSer2net();
    fs::path config_, log_;
    int rawPort_, telnetPort_;
    pid_t pid_ = -1;
};

class RemoteLine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (FindSer2net().empty()) {
            GTEST_SKIP() << "ser2net is not installed (scripts/setup installs it)";
        }
        sim.addStation(0x01, plcsim::Model::P200);
        files = std::make_shared<plcsim::StationJournal>(plcsim::Model::P200);
        files->addFile({plcsim::kJournalFileNumber, 100, 5, 0x1000});
        sim.addHook(0x01, files);
        device = sim.openPseudoTerminal();
        sim.start();
        dir.writeFile("KOVRA01.INT", "COMM_TIMEOUT = 300\n");
        server = std::make_unique<Ser2net>(dir.path(), device);
        ASSERT_TRUE(server->start()) << server->log();
    }

    std::string port() const { return telnet ? server->rfc2217() : server->raw(); }

    HostRun host(std::vector<std::string> arguments) {
        arguments.insert(arguments.end(),
                         {"--port", port(), "--dir", dir.path().string(), "--log-level", "none"});
        return RunHost(arguments);
    }

    TempCurrentDirectory dir;
    plcsim::Simulator sim;
    std::shared_ptr<plcsim::StationJournal> files;
    std::string device;
    std::unique_ptr<Ser2net> server;
    bool telnet = false;
};

class HostRemote : public RemoteLine, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        telnet = GetParam();
        RemoteLine::SetUp();
    }
};

class HostRfc2217 : public RemoteLine {
  protected:
    void SetUp() override {
        telnet = true;
        RemoteLine::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Modes, HostRemote, ::testing::Values(false, true),
                         [](const auto& mode) { return mode.param ? "Rfc2217" : "Raw"; });

// 0xFF is telnet's escape: a reply and a request holding it must cross once.
TEST_P(HostRemote, ReadsWritesAndCollectsWithValuesHolding0xFFBothWays) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {0xFFFF});
    HostRun run = host({"read", "0130010", "--no-history"});
    ASSERT_EQ(run.status, 0) << run.err << server->log();
    EXPECT_TRUE(Has(run.out, "0130010  65535  0xFFFF (65535)")) << run.out;

    run = host({"write", "0130012", "0xFF12", "--raw", "--no-history"});
    ASSERT_EQ(run.status, 0) << run.err;
    run = host({"write", "0130014", "0x12FF", "--raw", "--no-history"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, 0x0012), 0xFF12);
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, 0x0014), 0x12FF);

    std::time_t when = std::time(nullptr) - 600;
    std::tm local{};
    localtime_r(&when, &local);
    files->appendJournalEvent(0x00FF, 0xFFFF, local);
    run = host({"collect", "01", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, ",01C00FF,yes,65535,")) << run.out;

    // A station that does not answer leaves the connection as it is.
    run = host({"read", "0530010", "--no-history"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "station 05 does not answer")) << run.err;
}

TEST_P(HostRemote, RtsCtsSwitchingIsRefusedInOneLine) {
    dir.writeFile("KOVRA01.INT", "RTSCTS = YES\n");
    const HostRun run = host({"read", "0130010", "--no-history"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"kovra-host: RTSCTS = YES does not apply to " + port() +
                                       ": the device server drives the line's "
                                       "direction"});
}

// The pseudo-terminal keeps the speed ser2net sets while a connection is
// open; the parity it drops, so the server's confirmation in the trace tells.
TEST_F(HostRfc2217, TheServersLineIsSetFromTheHostsSettings) {
    // Looked at while the watch runs: ser2net sets the line per connection.
    std::atomic<bool> done{false};
    std::atomic<bool> seen{false};
    std::thread look([&] {
        while (!done && !seen) {
            const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            termios state{};
            seen = fd >= 0 && tcgetattr(fd, &state) == 0 && cfgetospeed(&state) == B19200;
            close(fd);
            std::this_thread::sleep_for(20ms);
        }
    });
    const HostRun run = host({"watch", "0130010", "--every", "0.2", "--count", "4", "--baud",
                              "19200", "--parity", "even", "--trace", "--no-history"});
    done = true;
    look.join();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(seen);
    EXPECT_TRUE(Has(run.err, " " + port() +
                                 ": line set to 19200 baud, 8 data bits, parity even, 1 stop bit"))
        << run.err;
    EXPECT_TRUE(Has(run.err, "-> 01 03 00 10 00 01 85 CF  station 01: read 1 word at 0x0010"))
        << run.err;
}

TEST_P(HostRemote, AWatchReconnectsAfterTheConnectionDrops) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {7});
    std::thread outage([&] {
        sim.waitForExchanges(2, 10s);
        server->stop();
        sim.set(0x01, plcsim::Table::Words, 0x0010, {8});
        std::this_thread::sleep_for(1500ms);
        server->start();
    });
    const HostRun run =
        host({"watch", "0130010", "--every", "0.2", "--count", "14", "--csv", "--no-history"});
    outage.join();
    EXPECT_TRUE(Has(run.err, "kovra-host: watch 0130010: port " + port() + " is gone")) << run.err;
    EXPECT_TRUE(Has(run.err, "kovra-host: port " + port() + " is back")) << run.err;
    EXPECT_TRUE(Has(run.out, ",0130010,,7,")) << run.out;
    EXPECT_TRUE(Has(run.out, ",0130010,,8,")) << run.out;
}

// The server goes once the collection's first request has crossed, so the
// station is collected again, whole, on the new connection.
TEST_P(HostRemote, ACollectionReconnectsAfterTheConnectionDrops) {
    std::time_t when = std::time(nullptr) - 600;
    std::tm local{};
    localtime_r(&when, &local);
    files->appendJournalEvent(0x0010, 4321, local);
    std::atomic<bool> dropped{false};
    sim.onExchange([&](const plcsim::Exchange&) {
        if (!dropped.exchange(true)) {
            server->stop();
        }
    });
    std::thread outage([&] {
        while (!dropped) {
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(1500ms);
        server->start();
    });
    const HostRun run = host({"collect", "01", "--csv", "--no-history"});
    outage.join();
    EXPECT_TRUE(Has(run.err, "kovra-host: port " + port() + " is gone; reopening it")) << run.err;
    EXPECT_TRUE(Has(run.err, "kovra-host: port " + port() + " is back")) << run.err;
    EXPECT_TRUE(Has(run.out, ",01C0010,yes,4321,")) << run.out;
    EXPECT_TRUE(Has(run.err, "collect: 1 record")) << run.err;
}

// Each speed tried is a new connection: the server takes one at a time.
TEST_F(HostRfc2217, ScanBaudAutoSetsEachSpeedOnTheServer) {
    const HostRun run = host({"scan", "05-05", "--baud", "auto", "--trace", "--no-history"});
    EXPECT_EQ(run.status, 1);
    for (const char* speed : {"9600", "19200", "38400", "57600", "4800", "2400", "1200"}) {
        EXPECT_TRUE(Has(run.err, ": line set to " + std::string(speed) + " baud")) << run.err;
    }
    EXPECT_TRUE(Has(run.err, "kovra-host: no station answers at 9600, 19200, 38400, 57600, "
                             "4800, 2400 or 1200 baud\n"))
        << run.err;
}

} // namespace
