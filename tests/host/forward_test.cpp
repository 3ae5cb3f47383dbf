// kovra-host forward against a PostgreSQL server of the test's own: the real
// program, histories filled by real collections from simulated lines (or, for
// volume, by the history store itself), and the server's own tables.
#include "history/history_store.h"
#include "postgres_server.h"
#include "run.h"
#include "schema_one.h"
#include "stored_events.h"
#include "support/world.h"

#include "plcsim/journal.h"
#include "plcsim/simulator.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

using namespace kovra;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using Counts = StoredEventCounts;

Counts CentralCounts(SqlSession& sql) {
    Counts counts;
    for (const auto& row :
         sql.rows("SELECT gate, COALESCE(extract(epoch FROM plc_time)::bigint, -1), raw, count(*) "
                  "FROM kovra.events GROUP BY 1, 2, 3")) {
        std::stringstream fields(row);
        std::string gate, time, raw, count;
        std::getline(fields, gate, '|');
        std::getline(fields, time, '|');
        std::getline(fields, raw, '|');
        std::getline(fields, count, '|');
        counts[{gate, std::stoll(time), std::stoll(raw)}] = std::stoi(count);
    }
    return counts;
}

std::size_t Total(const Counts& counts) {
    std::size_t total = 0;
    for (const auto& [event, times] : counts) {
        total += static_cast<std::size_t>(times);
    }
    return total;
}

// A simulated line: station 01 (a P200) with a journal of word 0x0020 and a
// memo file, its own working directory and history.
struct Line {
    Line() {
        sim.addStation(1, plcsim::Model::P200);
        files->addFile({plcsim::kJournalFileNumber, 400, 5, 0x1000});
        files->addFile({0x0010, 400, 4, 0x2000});
        sim.addHook(1, files);
        port = sim.openPseudoTerminal();
        sim.start();
        dir.writeFile("KOVRA01.INT", "COMM_TIMEOUT = 100\nIFG = 0\n");
        dir.writeFile("kovra-gates.txt", "0130020\n");
    }

    // Events on a 2-second grid; every fifth one twice, within one stamp: two
    // real events that no content key could tell apart.
    void addEvents(int count) {
        for (int i = 0; i < count; ++i, ++value) {
            const std::time_t when = base + 2 * value;
            std::tm local{};
            localtime_r(&when, &local);
            files->appendJournalEvent(0x20, value % 7, local);
            if (value % 5 == 0) {
                files->appendJournalEvent(0x20, value % 7, local);
            }
            files->appendMemoValue(0x0010, value, local);
        }
    }

    HostRun collect(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {
            "collect", "01", "--port", port, "--dir", dir.path().string(), "--log-level", "none"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return RunHost(arguments);
    }

    std::string history() const { return (dir.path() / "kovra-history.db").string(); }

    TempCurrentDirectory dir;
    plcsim::Simulator sim;
    std::shared_ptr<plcsim::StationJournal> files =
        std::make_shared<plcsim::StationJournal>(plcsim::Model::P200);
    std::string port;
    std::time_t base = std::time(nullptr) - 7200;
    std::uint32_t value = 0;
};

class Forward : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto why = PostgresServer::Unavailable()) {
            GTEST_SKIP() << *why;
        }
        server = std::make_unique<PostgresServer>();
        setenv("PGPASSWORD", PostgresServer::password(), 1);
        SqlSession(server->uri("postgres")).run("CREATE DATABASE plant");
        target = server->uri("plant");
    }

    HostRun forward(const std::string& history, std::vector<std::string> extra = {},
                    const std::function<void(pid_t)>& onStart = nullptr) {
        std::vector<std::string> arguments = {"forward", "--to", target, "--history", history};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return RunHost(arguments, onStart);
    }

    // Waits until the condition holds, for at most the given seconds.
    static bool Eventually(const std::function<bool()>& condition, int seconds = 30) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return condition();
    }

    std::unique_ptr<PostgresServer> server;
    std::string target;
};

Counts Sum(const Counts& a, const Counts& b) {
    Counts sum = a;
    for (const auto& [event, times] : b) {
        sum[event] += times;
    }
    return sum;
}

} // namespace

TEST_F(Forward, TwoLinesInOneServerHoldEveryEventOfEachOnce) {
    Line east;
    Line west;
    east.addEvents(12);
    west.addEvents(7);
    ASSERT_EQ(east.collect().status, 0);
    ASSERT_EQ(west.collect().status, 0);
    east.addEvents(3);
    ASSERT_EQ(east.collect().status, 0);

    for (const Line* line : {&east, &west}) {
        const HostRun run = forward(line->history());
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Has(run.err, " sent to " + target)) << run.err;
    }
    SqlSession sql(target);
    const Counts local = Sum(CountStoredEvents(east.history()), CountStoredEvents(west.history()));
    EXPECT_EQ(Total(local), 2u * (15 + 7) + 3 + 2); // journal and memo, and the doubled ones
    EXPECT_EQ(CentralCounts(sql), local);
    // Each source with its computer, and each batch with its line.
    EXPECT_EQ(sql.value("SELECT count(DISTINCT source) FROM kovra.sources WHERE host_name <> ''"),
              "2");
    EXPECT_EQ(sql.rows("SELECT DISTINCT port, driver_number, command FROM kovra.batches "
                       "ORDER BY 1"),
              (std::vector<std::string>{east.port + "|1|collect", west.port + "|1|collect"}));
}

TEST_F(Forward, ASecondForwardSendsNothingAndADatabaseThatLostItGetsItAgain) {
    Line line;
    line.addEvents(9);
    ASSERT_EQ(line.collect().status, 0);
    HostRun run = forward(line.history());
    ASSERT_EQ(run.status, 0) << run.err;
    SqlSession sql(target);
    const std::string sentAt = sql.value("SELECT last_forwarded FROM kovra.sources");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    run = forward(line.history());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "forward: nothing new for " + target)) << run.err;
    // No chunk was sent: the source's row is as the first forward left it.
    EXPECT_EQ(sql.value("SELECT last_forwarded FROM kovra.sources"), sentAt);
    EXPECT_EQ(CentralCounts(sql), CountStoredEvents(line.history()));

    // A database that holds none of it (a new one, or one restored from an
    // old backup) gets it all, though the history recorded it as sent.
    SqlSession(server->uri("postgres")).run("CREATE DATABASE restored");
    target = server->uri("restored");
    run = forward(line.history());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "forward: the server held this history only up to batch 0, so it is "
                             "sent again from there; 1 batch sent"))
        << run.err;
    SqlSession restored(target);
    EXPECT_EQ(CentralCounts(restored), CountStoredEvents(line.history()));
}

TEST_F(Forward, CollectForwardSendsEachCollectionAsSoonAsItIsStored) {
    Line line;
    line.addEvents(4);
    HostRun run = line.collect({"--forward", target});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "forward: 1 batch sent to " + target + ": 9 events, 0 alerts"))
        << run.err;
    SqlSession sql(target);
    EXPECT_EQ(CentralCounts(sql), CountStoredEvents(line.history()));

    // The connection cut while the station is collected: the collection is
    // stored all the same, and waits for the next forward.
    line.addEvents(2);
    bool cut = false;
    line.sim.onExchange([&](const plcsim::Exchange&) {
        if (!cut) {
            cut = sql.value("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                            "WHERE application_name = 'kovra-host'") == "1";
        }
    });
    run = line.collect({"--forward", target});
    line.sim.onExchange(nullptr);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "kovra-host: not forwarded: the connection to PostgreSQL at " +
                                 target + " was lost while sending batch 2: "))
        << run.err;
    EXPECT_TRUE(Has(run.err, "; it stays in the history for the next forward")) << run.err;
    EXPECT_EQ(Total(CountStoredEvents(line.history())), 14u);
    EXPECT_EQ(Total(CentralCounts(sql)), 9u);

    // The server away: the run stops before the PLC is touched.
    server->stop();
    run = line.collect({"--forward", target});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_TRUE(Has(run.err, "cannot be reached")) << run.err;
    server->start();
    run = forward(line.history());
    EXPECT_EQ(run.status, 0) << run.err;
    SqlSession again(target);
    EXPECT_EQ(CentralCounts(again), CountStoredEvents(line.history()));
}

TEST_F(Forward, EachFaultIsOneLineAndCostsNothing) {
    Line line;
    line.addEvents(5);
    ASSERT_EQ(line.collect().status, 0);
    SqlSession(server->uri("postgres")).run("CREATE DATABASE elsewhere");
    SqlSession(server->uri("elsewhere"))
        .run("CREATE SCHEMA kovra; CREATE TABLE kovra.schema_version (version integer); "
             "INSERT INTO kovra.schema_version VALUES (2)");
    struct Case {
        const char* what;
        std::string target;
        const char* password;
        int status;
        std::string says;
    } cases[] = {
        {"a refused login", target, "wrong", 1, "refused the login: "},
        {"a password on the command line", target + "&password=secret", "", 2, "PGPASSWORD"},
        {"no server", "postgresql:///plant?host=" + server->socketFolder() + "/none&user=kovra",
         PostgresServer::password(), 1, "cannot be reached: "},
        {"another schema version", server->uri("elsewhere"), PostgresServer::password(), 1,
         "holds kovra's tables in schema version 2, while this kovra-host writes version 1"},
    };
    for (const auto& c : cases) {
        setenv("PGPASSWORD", c.password, 1);
        const HostRun run =
            RunHost({"forward", "--to", c.target, "--history", line.history()}, nullptr);
        EXPECT_EQ(run.status, c.status) << c.what << ": " << run.err;
        ASSERT_EQ(run.errLines().size(), 1u) << c.what << ": " << run.err;
        EXPECT_TRUE(Has(run.err, c.says)) << c.what << ": " << run.err;
    }
    setenv("PGPASSWORD", PostgresServer::password(), 1);
    const HostRun run = forward(line.history());
    ASSERT_EQ(run.status, 0) << run.err;
    SqlSession sql(target);
    EXPECT_EQ(CentralCounts(sql), CountStoredEvents(line.history()));
}

TEST_F(Forward, AConnectionLostMidChunkCommitsNothingAndTheNextForwardSendsIt) {
    Line line;
    // The schema and the source first, from a history with nothing to send.
    ASSERT_EQ(line.collect().status, 0);
    ASSERT_EQ(forward(line.history()).status, 0);
    line.addEvents(6);
    ASSERT_EQ(line.collect().status, 0);
    // The chunk stops where it moves the mark, after its events, until the
    // connection is cut.
    SqlSession sql(target);
    sql.run("CREATE FUNCTION kovra.pause() RETURNS trigger LANGUAGE plpgsql AS "
            "$$ BEGIN PERFORM pg_sleep(60); RETURN NEW; END $$");
    sql.run("CREATE TRIGGER pause BEFORE UPDATE ON kovra.sources FOR EACH ROW WHEN "
            "(NEW.forwarded_through <> OLD.forwarded_through) EXECUTE FUNCTION kovra.pause()");
    std::thread cut([&] {
        Eventually([&] {
            return sql.value("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                             "WHERE application_name = 'kovra-host' AND wait_event = 'PgSleep'") ==
                   "1";
        });
    });
    HostRun run = forward(line.history());
    cut.join();
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_TRUE(Has(run.err, "the connection to PostgreSQL at " + target +
                                 " was lost while sending batch 2: "))
        << run.err;
    EXPECT_EQ(sql.value("SELECT count(*) FROM kovra.events"), "0");

    sql.run("DROP TRIGGER pause ON kovra.sources");
    run = forward(line.history());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(CentralCounts(sql), CountStoredEvents(line.history()));
}

TEST_F(Forward, AHistoryOfSchemaOneIsMigratedAndSent) {
    TempCurrentDirectory dir;
    const std::string path = (dir.path() / "old.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, kSchemaOneHistory, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    const HostRun run = forward(path);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "history database " + path +
                                 " was of schema version 1; migrated to version 3 before "
                                 "forwarding"))
        << run.err;
    SqlSession sql(target);
    EXPECT_EQ(sql.rows("SELECT gate, raw, extract(epoch FROM plc_time)::bigint, undefined FROM "
                       "kovra.events ORDER BY seq"),
              (std::vector<std::string>{"0130020|4|1700000000|f", "0130020|4|1700000000|f"}));
    EXPECT_EQ(sql.value("SELECT text FROM kovra.alerts"), "records lost");
    EXPECT_EQ(sql.value("SELECT port IS NULL FROM kovra.batches"), "t");
}

TEST_F(Forward, FollowWaitsOutAStoppedServerAndCatchesUp) {
    Line line;
    line.addEvents(3);
    ASSERT_EQ(line.collect().status, 0);
    std::atomic<pid_t> follower{0};
    HostRun followed;
    std::thread follow([&] {
        followed = forward(line.history(), {"--follow", "--every", "0.1"},
                           [&](pid_t pid) { follower = pid; });
    });
    auto caughtUp = [&] {
        try {
            SqlSession sql(target);
            return CentralCounts(sql) == CountStoredEvents(line.history());
        } catch (const std::runtime_error&) {
            return false;
        }
    };
    EXPECT_TRUE(Eventually(caughtUp));

    server->stop();
    line.addEvents(4);
    ASSERT_EQ(line.collect().status, 0);
    // Long enough for a try while it is away, whatever the load.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    server->start();
    line.addEvents(2);
    ASSERT_EQ(line.collect().status, 0);
    EXPECT_TRUE(Eventually(caughtUp));

    kill(follower, SIGTERM);
    follow.join();
    EXPECT_EQ(followed.status, 0) << followed.err;
    EXPECT_TRUE(Has(followed.err, "cannot be reached")) << followed.err;
    EXPECT_TRUE(Has(followed.err, "; trying again in 1 s")) << followed.err;
    EXPECT_TRUE(Has(followed.err, "kovra-host: forwarding to " + target + " again"))
        << followed.err;
}

// forward --follow killed with SIGKILL at random moments, round after round,
// while collections keep adding batches: once a last forward has run to its
// end, the server holds every event of the history exactly once. A few rounds
// by default; KOVRA_KILL_ROUNDS asks for more.
TEST_F(Forward, FollowKilledAtAnyPointLosesNothingAndSendsNothingTwice) {
    const char* asked = std::getenv("KOVRA_KILL_ROUNDS");
    const int rounds = asked != nullptr ? std::atoi(asked) : 3;
    TempCurrentDirectory dir;
    const std::string path = (dir.path() / "kovra-history.db").string();
    auto store = kovra_host::HistoryStore::Open(path, true);
    std::mt19937 random(static_cast<unsigned>(std::time(nullptr)));
    std::int64_t value = 0;
    int killed = 0;
    for (int round = 0; round < rounds; ++round) {
        // Several chunks' worth, so that kills land between and within chunks.
        for (int batch = 0; batch < 30; ++batch) {
            std::vector<kovra_host::StoredValue> values;
            for (int i = 0; i < 500; ++i, ++value) {
                kovra_host::StoredValue stored;
                stored.gate = "0130020";
                stored.raw = static_cast<std::uint32_t>(value % 11);
                stored.value = stored.raw;
                stored.plcTime = 1700000000 + value / 3 * 2; // three events a stamp
                stored.collectedAt = 1800000000;
                values.push_back(stored);
            }
            kovra_host::BatchStart start;
            start.command = "collect";
            start.gate = "01I0000";
            store->recordBatch(start, 0, values, {});
        }
        const auto killAfter = std::chrono::milliseconds(random() % 700);
        std::atomic<pid_t> child{0};
        std::thread killer([&] {
            while (child == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::this_thread::sleep_for(killAfter);
            kill(child, SIGKILL);
        });
        const HostRun run =
            forward(path, {"--follow", "--every", "0.05"}, [&](pid_t pid) { child = pid; });
        killer.join();
        EXPECT_EQ(run.status, 128 + SIGKILL) << run.err;
        killed += run.status == 128 + SIGKILL ? 1 : 0;
    }
    EXPECT_EQ(killed, rounds);
    const HostRun last = forward(path);
    ASSERT_EQ(last.status, 0) << last.err;

    SqlSession sql(target);
    const Counts local = CountStoredEvents(path);
    EXPECT_EQ(Total(local), static_cast<std::size_t>(value));
    EXPECT_EQ(CentralCounts(sql), local);
}
