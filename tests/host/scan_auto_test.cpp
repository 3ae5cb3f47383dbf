// scan --baud auto on a line whose speed must be found: the simulator behind
// a pseudo-terminal that carries the host's bytes only while the host runs it
// at the simulator's speed. A pseudo-terminal moves bytes at any speed, so
// that is the one part played here: the noise a UART at another speed hears.
#include "run.h"
#include "support/world.h"

#include "plcsim/simulator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

using namespace kovra;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int OpenRaw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios state{};
    tcgetattr(fd, &state);
    cfmakeraw(&state);
    tcsetattr(fd, TCSANOW, &state);
    return fd;
}

class SpeedGate {
  public:
    SpeedGate(const std::string& simulator, speed_t speed)
        : speed_(speed), hostSide_(open(line_.slavePath().c_str(), O_RDWR | O_NOCTTY)),
          simulator_(OpenRaw(simulator)), thread_([this] { run(); }) {}
    ~SpeedGate() {
        stop_ = true;
        thread_.join();
        close(hostSide_);
        close(simulator_);
    }
    const std::string& port() const { return line_.slavePath(); }
    unsigned dropped() const { return dropped_; }

  private:
    void run() {
        std::uint8_t buffer[256];
        while (!stop_) {
            pollfd fds[2] = {{line_.masterFd(), POLLIN, 0}, {simulator_, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = read(line_.masterFd(), buffer, sizeof buffer);
                termios state{};
                if (n > 0 && tcgetattr(hostSide_, &state) == 0 && cfgetospeed(&state) == speed_) {
                    (void)!write(simulator_, buffer, static_cast<std::size_t>(n));
                } else if (n > 0) {
                    dropped_ += static_cast<unsigned>(n);
                }
            }
            if ((fds[1].revents & POLLIN) != 0) {
                const ssize_t n = read(simulator_, buffer, sizeof buffer);
                if (n > 0) {
                    (void)!write(line_.masterFd(), buffer, static_cast<std::size_t>(n));
                }
            }
        }
    }

    PtyPair line_;
    speed_t speed_;
    int hostSide_;
    int simulator_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> dropped_{0};
    std::thread thread_;
};

// A pseudo-terminal drops the parity it is set to, so no real part tells a
// line's framing: this device server does, carrying the data of a connection
// only once RFC 2217 has set its line to 19200 baud, parity even, 1 stop bit.
class FramingGate {
  public:
    explicit FramingGate(const std::string& simulator)
        : listener_(socket(AF_INET, SOCK_STREAM, 0)), simulator_(OpenRaw(simulator)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        thread_ = std::thread([this] { run(); });
    }
    ~FramingGate() {
        stop_ = true;
        thread_.join();
        for (const int fd : {listener_, simulator_, client_}) {
            close(fd);
        }
    }
    const std::string& port() const { return port_; }

  private:
    static constexpr std::uint8_t kIac = 255, kSb = 250, kSe = 240, kDo = 253, kComPort = 44;

    bool set() const {
        const std::map<std::uint8_t, std::vector<std::uint8_t>> wanted = {
            {1, {0, 0, 0x4B, 0x00}}, {3, {3}}, {4, {1}}}; // 19200, even, 1 stop bit
        return std::all_of(wanted.begin(), wanted.end(), [&](const auto& entry) {
            return settings_.count(entry.first) != 0 && settings_.at(entry.first) == entry.second;
        });
    }
    // The client's telnet stream: data passed on once the line is set, each
    // SET answered with its command plus 100.
    void take(std::uint8_t byte) {
        sub_.push_back(byte);
        const std::size_t n = sub_.size();
        if (sub_[0] != kIac || (n == 2 && sub_[1] == kIac)) {
            if (set()) {
                (void)!write(simulator_, &byte, 1);
            }
            sub_.clear();
        } else if (n == 3 && sub_[1] != kSb) {
            sub_.clear(); // an option's offer or answer
        } else if (n > 4 && sub_[1] == kSb && sub_[n - 2] == kIac && sub_[n - 1] == kSe) {
            settings_[sub_[3]].assign(sub_.begin() + 4, sub_.end() - 2);
            sub_[3] = static_cast<std::uint8_t>(sub_[3] + 100);
            (void)!write(client_, sub_.data(), n);
            sub_.clear();
        }
    }
    void run() {
        std::uint8_t buffer[256];
        while (!stop_) {
            pollfd fds[3] = {{listener_, POLLIN, 0}, {simulator_, POLLIN, 0}, {client_, POLLIN, 0}};
            if (poll(fds, client_ < 0 ? 2 : 3, 20) <= 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                close(client_); // one connection at a time, the newest
                client_ = accept(listener_, nullptr, nullptr);
                settings_.clear();
                sub_.clear();
                const std::uint8_t accepted[] = {kIac, kDo, kComPort};
                (void)!write(client_, accepted, sizeof accepted);
            }
            const ssize_t fromSimulator =
                (fds[1].revents & POLLIN) != 0 ? read(simulator_, buffer, sizeof buffer) : 0;
            for (ssize_t i = 0; i < fromSimulator && client_ >= 0; ++i) {
                const std::uint8_t twice[] = {buffer[i], buffer[i]};
                (void)!write(client_, twice, buffer[i] == kIac ? 2 : 1);
            }
            const ssize_t fromClient = client_ >= 0 && (fds[2].revents & POLLIN) != 0
                                           ? read(client_, buffer, sizeof buffer)
                                           : 0;
            for (ssize_t i = 0; i < fromClient; ++i) {
                take(buffer[i]);
            }
        }
    }

    int listener_;
    int simulator_;
    int client_ = -1;
    std::string port_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> settings_;
    std::vector<std::uint8_t> sub_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ScanAuto : public ::testing::Test {
  protected:
    void SetUp() override { dir.writeFile("KOVRA01.INT", "COMM_TIMEOUT = 100\n"); }
    HostRun scan(const std::string& port, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "scan");
        arguments.insert(arguments.end(),
                         {"--port", port, "--dir", dir.path().string(), "--log-level", "none"});
        return RunHost(arguments);
    }
    TempCurrentDirectory dir;
};

TEST_F(ScanAuto, FindsTheSimulatorsSpeedThenScansAtIt) {
    plcsim::Simulator sim;
    sim.addStation(0x01, plcsim::Model::P200);
    sim.addStation(0x02, plcsim::Model::P200X);
    sim.setLine({19200, 8, 'E', 2});
    const std::string device = sim.openPseudoTerminal();
    sim.start();
    SpeedGate gate(device, B19200);

    const HostRun run = scan(gate.port(), {"01-03", "--baud", "auto", "--parity", "auto"});
    ASSERT_EQ(run.status, 0) << run.err;
    // 9600 baud came first and heard nothing, in each of its four framings.
    EXPECT_GE(gate.dropped(), 4u * 4u * 8u);
    EXPECT_TRUE(Has(run.err, "scan: station 01 answers with --baud 19200 --parity none\n"))
        << run.err;
    EXPECT_TRUE(Has(run.err, "scan 01-03: 2 stations answering (01, 02) of 3 addresses"))
        << run.err;
}

TEST_F(ScanAuto, FindsTheSimulatorsParityBehindADeviceServer) {
    plcsim::Simulator sim;
    sim.addStation(0x01, plcsim::Model::P200);
    sim.addStation(0x02, plcsim::Model::P200X);
    sim.setLine({19200, 8, 'E', 1});
    const std::string device = sim.openPseudoTerminal();
    sim.start();
    FramingGate gate(device);

    const HostRun run = scan(gate.port(), {"01-03", "--baud", "auto", "--parity", "auto"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "scan: station 01 answers with --baud 19200 --parity even\n"))
        << run.err;
    EXPECT_TRUE(Has(run.err, "scan 01-03: 2 stations answering (01, 02) of 3 addresses"))
        << run.err;
}

// Every setting is tried once, each with the driver's four tries, and the
// search ends saying so.
TEST_F(ScanAuto, NothingIsFoundOnASilentLineAfterEverySettingOnce) {
    PtyPair line;
    const HostRun run = scan(line.slavePath(), {"01-01", "--baud", "auto", "--parity", "auto"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"kovra-host: no station answers at 9600, 19200, 38400, "
                                       "57600, 4800, 2400 or 1200 baud with parity none, even or "
                                       "odd"});
    EXPECT_EQ(line.read(200, 1 << 16).size(), 7u * 4u * 4u * 8u);
}

TEST_F(ScanAuto, ParityAutoWithoutBaudAutoIsAMistake) {
    PtyPair line;
    const HostRun run = scan(line.slavePath(), {"--parity", "auto"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Has(run.err, "--parity auto goes with --baud auto")) << run.err;
}

} // namespace
