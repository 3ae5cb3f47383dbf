// kovra-host monitor on a pseudo-terminal that a recorded exchange is played
// into at the line's pace, then on the capture it saved.
#include "run.h"
#include "support/world.h"

#include "link/crc.h"
#include "plcsim/simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace kovra;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame) {
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

bool HasOpen(pid_t pid, const std::string& path) {
    std::error_code ignored;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
        if (fs::read_symlink(entry.path(), ignored) == path) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(HostMonitor, AnExchangeIsToldFlaggedSavedAndReplayed) {
    TempCurrentDirectory dir;
    PtyPair line;
    // Frames as a master and its PLCs leave them at 9600 baud: each whole,
    // the silences between them longer than 3.5 characters.
    struct Frame {
        std::vector<std::uint8_t> bytes;
        std::chrono::milliseconds after;
    };
    const std::vector<Frame> exchange = {
        {WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01}), 20ms},
        {WithCrc({0x01, 0x03, 0x02, 0x00, 0x2A}), 40ms},
        {{0xFF, 0x00, 0x12}, 40ms},
        {WithCrc({0x02, 0x03, 0x00, 0x40, 0x00, 0x01}), 400ms}, // no reply
        {WithCrc({0x01, 0x03, 0x09, 0x00, 0x00, 0x01}), 20ms},
        {WithCrc({0x01, 0x83, 0x02}), 40ms},
    };
    const std::string capture = (dir.path() / "line.cap").string();
    std::thread feed;
    const HostRun run =
        RunHost({"monitor", "--port", line.slavePath(), "--seconds", "3", "--timeout", "150",
                 "--save", capture},
                [&](pid_t pid) {
                    feed = std::thread([&line, &exchange, pid] {
                        for (int i = 0; i < 200 && !HasOpen(pid, line.slavePath()); ++i) {
                            std::this_thread::sleep_for(10ms);
                        }
                        std::this_thread::sleep_for(100ms);
                        for (const auto& frame : exchange) {
                            line.write(frame.bytes);
                            std::this_thread::sleep_for(frame.after);
                        }
                    });
                });
    feed.join();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, " -> 01 03 00 10 00 01 85 CF  station 01: read 1 word at 0x0010\n"))
        << run.out;
    EXPECT_TRUE(Has(run.out, " <- 01 03 02 00 2A "));
    EXPECT_TRUE(Has(run.out, " ! garbage, 3 bytes: FF 00 12\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "station 02: read 1 word at 0x0040\n             ! no reply\n"))
        << run.out;
    EXPECT_TRUE(Has(run.out, "station 01: 2 requests, 2 replies; errors: exception 1; reply time"))
        << run.out;
    EXPECT_TRUE(Has(run.out, "station 02: 1 request, 0 replies; errors: no reply 1\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "garbage: 3 bytes\nline: 39 bytes in ")) << run.out;

    const HostRun replay =
        RunHost({"monitor", "--replay", capture, "--timeout", "150", "--format", "json"});
    ASSERT_EQ(replay.status, 0) << replay.err;
    const auto objects = Lines(replay.out);
    ASSERT_EQ(objects.size(), 4u) << replay.out;
    EXPECT_TRUE(Has(objects[0], "\"station\":\"01\",\"request\":\"01 03 00 10 00 01 85 CF\","
                                "\"reply\":\"01 03 02 00 2A "))
        << objects[0];
    EXPECT_TRUE(Has(objects[0], "\"flag\":null}")) << objects[0];
    EXPECT_TRUE(Has(objects[1], "\"garbage\":\"FF 00 12\",\"flag\":\"garbage\"}")) << objects[1];
    EXPECT_TRUE(Has(objects[2], "\"station\":\"02\"")) << objects[2];
    EXPECT_TRUE(Has(objects[2], "\"reply\":null,\"flag\":\"no reply\"}")) << objects[2];
    EXPECT_TRUE(Has(objects[3], "\"flag\":\"exception\"}")) << objects[3];
    EXPECT_TRUE(Has(replay.err, "station 01: 2 requests, 2 replies; errors: exception 1"))
        << replay.err;
}

// A live line: kovra-host polls the simulator while a monitor listens on the
// tap its relay offers, which sees both directions.
TEST(HostMonitor, ListensOnTheTapOfALivePoll) {
    TempCurrentDirectory dir;
    dir.writeFile("KOVRA01.INT", "COMM_TIMEOUT = 100\n");
    plcsim::Simulator sim;
    sim.addStation(0x01, plcsim::Model::P200);
    sim.set(0x01, plcsim::Table::Words, 0x0010, {0x1234});
    const std::string port = sim.openPseudoTerminal();
    sim.start();
    const std::string tap = (dir.path() / "tap").string();
    HostRun monitor;
    std::thread listen([&] {
        for (int i = 0; i < 500 && !fs::exists(tap); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        monitor = RunHost({"monitor", "--port", tap, "--seconds", "2", "--timeout", "150"});
    });
    const HostRun poll = RunHost({"watch", "0130010", "0530010", "--every", "0.25", "--count", "10",
                                  "--port", port, "--tap", tap, "--dir", dir.path().string(),
                                  "--log-level", "none", "--no-history"});
    listen.join();
    ASSERT_EQ(poll.status, 1) << poll.err; // station 05 is not on the line
    ASSERT_EQ(monitor.status, 0) << monitor.err;
    EXPECT_TRUE(
        Has(monitor.out, " -> 01 03 00 10 00 01 85 CF  station 01: read 1 word at 0x0010\n"))
        << monitor.out;
    EXPECT_TRUE(Has(monitor.out, "station 01: reply, 2 data bytes: 0x1234  (")) << monitor.out;
    EXPECT_TRUE(Has(monitor.out, "station 05: read 1 word at 0x0010\n             ! no reply\n"))
        << monitor.out;
    EXPECT_FALSE(Has(monitor.out, "garbage")) << monitor.out;
    EXPECT_FALSE(fs::exists(tap)); // gone with the relay
}
