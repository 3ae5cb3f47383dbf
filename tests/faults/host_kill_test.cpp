// kovra-host collections killed with SIGKILL at varying points, round after
// round, while the PLC keeps writing events: once a last collection has run
// to its end, the history holds every event exactly once. A few rounds by
// default; KOVRA_KILL_ROUNDS asks for more. And a full ring that the PLC
// writes while a first collection reads it whole.
#include "host/run.h"
#include "host/stored_events.h"
#include "support/world.h"

#include "plcsim/journal.h"
#include "plcsim/simulator.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>

using namespace kovra;

namespace {

TEST(HostKilled, CollectionsKilledAtAnyPointLoseNothingAndStoreNothingTwice) {
    const char* asked = std::getenv("KOVRA_KILL_ROUNDS");
    const int rounds = asked != nullptr ? std::atoi(asked) : 3;

    TempCurrentDirectory dir;
    dir.writeFile("KOVRA01.INT", "COMM_TIMEOUT = 100\nIFG = 0\n");
    dir.writeFile("kovra-gates.txt", "0130010\n0130020\n");
    plcsim::Simulator sim;
    sim.addStation(1, plcsim::Model::P200);
    auto files = std::make_shared<plcsim::StationJournal>(plcsim::Model::P200);
    files->addFile({plcsim::kJournalFileNumber, 400, 5, 0x1000});
    files->addFile({0x0010, 400, 4, 0x2000});
    sim.addHook(1, files);
    const std::string port = sim.openPseudoTerminal();
    sim.start();

    const std::time_t base = std::time(nullptr) - 3600;
    std::uint32_t value = 0;
    auto addEvents = [&](int count) {
        for (int i = 0; i < count; ++i, ++value) {
            const std::time_t when = base + 2 * value;
            std::tm local{};
            localtime_r(&when, &local);
            files->appendJournalEvent(0x20, value, local);
            files->appendMemoValue(0x0010, value, local);
        }
    };
    const std::vector<std::string> collect = {
        "collect", "01", "--port", port, "--dir", dir.path().string(), "--log-level", "none"};
    int killed = 0;
    for (int round = 0; round < rounds; ++round) {
        addEvents(7);
        // Killed after a number of request frames that moves through the
        // collection from round to round: table, selections, headers, records.
        const std::size_t killAfter = 1 + static_cast<std::size_t>(round * 3) % 9;
        std::size_t seen = 0;
        pid_t child = 0;
        sim.onExchange([&](const plcsim::Exchange&) {
            if (++seen == killAfter && child > 0) {
                kill(child, SIGKILL);
            }
        });
        const HostRun run = RunHost(collect, [&](pid_t pid) { child = pid; });
        sim.onExchange(nullptr);
        EXPECT_TRUE(run.status == 0 || run.status == 128 + SIGKILL) << run.err;
        killed += run.status == 128 + SIGKILL ? 1 : 0;
    }
    EXPECT_GT(killed, 0);
    const HostRun last = RunHost(collect);
    ASSERT_EQ(last.status, 0) << last.err;

    const auto counts = CountStoredEvents((dir.path() / "kovra-history.db").string());
    EXPECT_EQ(counts.size(), 2u * value); // a journal event and a memo value each
    for (const auto& [event, times] : counts) {
        EXPECT_EQ(times, 1) << std::get<0>(event) << " at " << std::get<1>(event) << " value "
                            << std::get<2>(event);
    }
}

TEST(HostCollecting, AFullRingWrittenWhileItIsReadWholeStoresEveryEventOnce) {
    TempCurrentDirectory dir;
    // The default reply timeout, 1 s, outlasts a reply of 120 words (0.26 s).
    dir.writeFile("KOVRA01.INT", "IFG = 0\n");
    dir.writeFile("kovra-gates.txt", "01C0020\n"); // the whole 24-bit value
    plcsim::Simulator sim;
    sim.addStation(1, plcsim::Model::P200);
    sim.setPacing(true); // 9600 bit/s: a whole read of the ring takes over 2 s
    auto files = std::make_shared<plcsim::StationJournal>(plcsim::Model::P200);
    files->addFile({plcsim::kJournalFileNumber, 200, 5, 0x1000});
    sim.addHook(1, files);
    constexpr std::uint32_t kRing = 200;
    for (std::uint32_t value = 0; value < kRing; ++value) {
        files->appendJournalEvent(0x20, value);
    }
    const std::string port = sim.openPseudoTerminal();
    sim.start();
    // 25 events a second, written into the ring's oldest slots as it is read.
    files->generate(plcsim::kJournalFileNumber, 0x20, std::chrono::milliseconds(40), kRing);

    const std::vector<std::string> collect = {
        "collect", "01", "--port", port, "--dir", dir.path().string(), "--log-level", "none"};
    for (int run = 0; run < 2; ++run) {
        const HostRun done = RunHost(collect);
        ASSERT_EQ(done.status, 0) << done.err;
    }
    files->stopGenerating();

    const auto counts = CountStoredEvents((dir.path() / "kovra-history.db").string());
    EXPECT_GT(counts.size(), kRing);
    for (const auto& [event, times] : counts) {
        EXPECT_EQ(times, 1) << "value " << std::get<2>(event);
    }
}

} // namespace
