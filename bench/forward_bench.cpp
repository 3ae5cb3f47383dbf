// kovra-forward-bench: how fast a history goes to the plant's PostgreSQL
// database. A PostgreSQL server of its own (as the tests start one, on a Unix
// socket in a temporary folder), a history of 100 000 events in 1000 batches
// written by the history store, and the forwarder that `kovra-host forward`
// runs, timed from the connection to the last commit, into a fresh database
// each round.
#include "history/forward.h"
#include "history/history_store.h"
#include "host/postgres_server.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace kovra_host;

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr const char* kUsage = R"(Usage: kovra-forward-bench [OPTIONS]

  --events N    events in the history (default 100000)
  --batch N     events a batch (default 100)
  --rounds N    forwards, each into a fresh database (default 3)
)";

long Option(int argc, char** argv, int& i) {
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s", kUsage);
        std::exit(2);
    }
    return std::strtol(argv[++i], nullptr, 10);
}

} // namespace

int main(int argc, char** argv) {
    long events = 100000;
    long perBatch = 100;
    long rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--events") == 0) {
            events = Option(argc, argv, i);
        } else if (std::strcmp(argv[i], "--batch") == 0) {
            perBatch = Option(argc, argv, i);
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = Option(argc, argv, i);
        } else {
            std::fprintf(stderr, "%s", kUsage);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    if (events < 1 || perBatch < 1 || rounds < 1) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    if (const auto why = PostgresServer::Unavailable()) {
        std::fprintf(stderr, "kovra-forward-bench: %s\n", why->c_str());
        return 2;
    }
    PostgresServer server;
    setenv("PGPASSWORD", PostgresServer::password(), 1);

    char folder[] = "/tmp/kovra-forward-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string path = std::string(folder) + "/kovra-history.db";
    auto history = HistoryStore::Open(path, true);
    const auto filled = Clock::now();
    long written = 0;
    while (written < events) {
        std::vector<StoredValue> values;
        for (long i = 0; i < perBatch && written < events; ++i, ++written) {
            StoredValue value;
            value.gate = written % 2 == 0 ? "0130010" : "0110003";
            value.raw = static_cast<std::uint32_t>(written % 1000);
            value.value = value.raw * 0.5;
            value.plcTime = 1700000000 + written / 4 * 2;
            value.collectedAt = 1700000000 + written / 4 * 2 + 30;
            values.push_back(value);
        }
        BatchStart start;
        start.command = "collect";
        start.gate = "01I0000";
        start.port = "/dev/ttyUSB0";
        history->recordBatch(start, 0, values, {});
    }
    const double fillSeconds = Seconds(Clock::now() - filled).count();

    std::printf("kovra-forward-bench: %ld events in %ld batches of %ld, written to the history "
                "in %.2f s\n",
                events, (events + perBatch - 1) / perBatch, perBatch, fillSeconds);
    std::printf("%-6s %10s %12s %14s\n", "round", "seconds", "events/s", "again, seconds");
    std::vector<double> rates;
    for (long round = 1; round <= rounds; ++round) {
        const std::string database = "plant" + std::to_string(round);
        SqlSession(server.uri("postgres")).run("CREATE DATABASE " + database);
        // Each round starts from nothing sent.
        history->recordForwarded(0);
        Forwarder forwarder(*history, server.uri(database));
        const auto began = Clock::now();
        const ForwardReport report = forwarder.sendPending();
        const double seconds = Seconds(Clock::now() - began).count();
        if (report.added.events != static_cast<std::size_t>(events)) {
            std::fprintf(stderr, "kovra-forward-bench: %zu events arrived of %ld\n",
                         report.added.events, events);
            return 1;
        }
        const auto again = Clock::now();
        forwarder.sendPending();
        const double againSeconds = Seconds(Clock::now() - again).count();
        rates.push_back(static_cast<double>(events) / seconds);
        std::printf("%-6ld %10.2f %12.0f %14.4f\n", round, seconds, rates.back(), againSeconds);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("median: %.0f events/s\n", rates[rates.size() / 2]);
    history.reset();
    std::filesystem::remove_all(folder);
    return 0;
}
