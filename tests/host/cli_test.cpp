// kovra-host as a user runs it: the real program, the real driver library, a
// simulated PLC line on a pseudo-terminal, files in a temporary directory.
#include "run.h"
#include "support/world.h"

#include "plcsim/config.h"
#include "plcsim/journal.h"
#include "plcsim/simulator.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

using namespace kovra;

namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One stored event as the history database holds it.
using Row = std::tuple<std::string, std::int64_t, std::int64_t>; // gate, raw, PLC time

std::vector<Row> StoredEvents(const std::string& path) {
    sqlite3* db = nullptr;
    std::vector<Row> rows;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT gate, raw, plc_time FROM events ORDER BY id", -1, &query,
                       nullptr);
    while (query != nullptr && sqlite3_step(query) == SQLITE_ROW) {
        rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)),
                          sqlite3_column_int64(query, 1), sqlite3_column_int64(query, 2));
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

// A PLC time stamp some minutes ago, on an even second, and its seconds since 1970.
struct When {
    std::tm local;
    std::int64_t seconds;
};
When Ago(int minutes) {
    std::time_t when = std::time(nullptr) - minutes * 60;
    when -= when % 2;
    When stamp{};
    localtime_r(&when, &stamp.local);
    stamp.seconds = when;
    return stamp;
}

// A PLC's clock registers 1 to 4: day, month, year, hour, minute, second, a
// byte each, high byte first.
void SetClock(plcsim::Simulator& sim, std::uint8_t station, const std::tm& when) {
    const auto pair = [](int high, int low) { return static_cast<std::uint16_t>(high << 8 | low); };
    sim.set(station, plcsim::Table::Words, 0x0001,
            {pair(when.tm_mday, when.tm_mon + 1), pair(when.tm_year, when.tm_hour),
             pair(when.tm_min, when.tm_sec), 0});
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
    HostRun host(std::vector<std::string> arguments, bool quiet = true) {
        arguments.insert(arguments.end(), {"--port", port, "--dir", dir.path().string()});
        if (quiet) {
            arguments.insert(arguments.end(), {"--log-level", "none"});
        }
        return RunHost(arguments);
    }

    // A station's journal (file 1, 100 records) and one memo file (0x0020, 50
    // records), attached before the simulator starts.
    std::shared_ptr<plcsim::StationJournal> journal(std::uint8_t station, plcsim::Model model) {
        auto files = std::make_shared<plcsim::StationJournal>(model);
        files->addFile({plcsim::kJournalFileNumber, 100, 5, 0x1000});
        files->addFile({0x0020, 50, 4, 0x2000});
        sim.addHook(station, files);
        return files;
    }

    std::string history() const { return (dir.path() / "kovra-history.db").string(); }

    TempCurrentDirectory dir;
    plcsim::Simulator sim;
    std::string port;
};

// Journal tests: station 01 (a P200) with events of a word, a bit, and a
// counter's memo file, and gates for them.
class HostCollect : public HostCli {
  protected:
    void SetUp() override {
        HostCli::SetUp();
        files = journal(0x01, plcsim::Model::P200);
        dir.writeFile("kovra-gates.txt", "0130010 word linear 0.5\n0110003\n01C0020\n");
        add(0x0010, 40, 30);
        add(0x0003, 1, 29);
        add(0x0099, 5, 28); // no gate: kept raw
        add(0x0010, 42, 27);
        memo(1000, 30);
        memo(1003, 20);
    }

    void add(std::uint16_t jbus, std::uint32_t value, int minutesAgo) {
        const When when = Ago(minutesAgo);
        files->appendJournalEvent(jbus, value, when.local);
        const std::string gate = jbus == 0x0010   ? "0130010"
                                 : jbus == 0x0003 ? "0110003"
                                                  : "01C0099";
        expected.emplace_back(gate, value, when.seconds);
    }
    void memo(std::uint32_t value, int minutesAgo) {
        const When when = Ago(minutesAgo);
        files->appendMemoValue(0x0020, value, when.local);
        expected.emplace_back("01C0020", value, when.seconds);
    }

    std::shared_ptr<plcsim::StationJournal> files;
    std::vector<Row> expected; // in the order the driver passes them on: journal, then memo
};

} // namespace

TEST(HostCliAlone, InfoShowsTheDriverAndItsBannerInUnicode) {
    const HostRun run = RunHost({"info"});
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
    HostRun run = RunHost({"read", "0130010", "--baud", "fast"});
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
    run = RunHost({"--help"});
    EXPECT_TRUE(Has(run.out, "history [--gate GATE]... [--from TIME] [--to TIME] [--limit N | "
                             "--last N] [--alerts]"))
        << run.out;
    // Ranges in the words the user would write them in.
    struct Case {
        std::vector<std::string> arguments;
        std::string said;
    };
    const Case cases[] = {
        {{"watch", "0130010", "--port", "p", "--every", "x"},
         "--every takes a number from 0.01 to 86400, not 'x'"},
        {{"read", "0130010", "--port", "p", "--timeout", "50"},
         "--timeout takes a whole number from 100 to 25000, not '50'"},
        {{"read", "0130010", "--port", "p", "--timeout", "30000"},
         "--timeout takes a whole number from 100 to 25000, not '30000'"},
    };
    for (const auto& c : cases) {
        run = RunHost(c.arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(Has(run.err, c.said)) << run.err;
    }
}

TEST_F(HostCli, ReadShowsCookedValuesWithTheirRawFormAndFailuresAsRowsInEveryFormat) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {325});
    sim.setLong(0x01, plcsim::Table::Words, 0x0020, 0x00123456);
    sim.set(0x01, plcsim::Table::Bits, 0x0003, {1});
    sim.setFloat(0x02, plcsim::Table::Words, 0x0040, 2.5f);
    dir.writeFile("kovra-gates.txt", "0130010 word linear 0.1 -20\n");
    const std::string silent = "station 05 does not answer on " + port + " (status 2)";
    struct Case {
        std::string format;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"text",
         {"GATE     VALUE    RAW                      ERROR",
          "0130010  12.5     0x0145 (325)             -",
          "01C0020  1193046  0x00123456 (1193046)     -",
          "0110003  1        1                        -",
          "02F0040  2.5      0x40200000 (1075838976)  -",
          "0530010  -        -                        " + silent}},
        {"csv",
         {"GATE,VALUE,RAW,ERROR", "0130010,12.5,325,", "01C0020,1193046,1193046,", "0110003,1,1,",
          "02F0040,2.5,1075838976,", "0530010,,," + silent}},
        {"json",
         {R"({"gate":"0130010","value":12.5,"raw":325})",
          R"({"gate":"01C0020","value":1193046,"raw":1193046})",
          R"({"gate":"0110003","value":1,"raw":1})",
          R"({"gate":"02F0040","value":2.5,"raw":1075838976})",
          R"({"gate":"0530010","error":")" + silent + "\"}"}},
    };
    for (const auto& c : cases) {
        const HostRun run = host(
            {"read", "0130010", "01C0020", "0110003", "02F0040", "0530010", "--format", c.format});
        EXPECT_EQ(run.status, 1);
        auto lines = Lines(run.out);
        // JSON closes with the line's frame statistics, text says them on stderr.
        if (c.format == "json" && !lines.empty()) {
            EXPECT_EQ(lines.back().rfind(R"({"line":{"frames":8,"good":4,"failed":{"silence":4,)"
                                         R"("crc":0,"wrong_station":0,"bad_reply":0,)"
                                         R"("exception":0},"reply_ms":{"min":)",
                                         0),
                      0u)
                << lines.back();
            EXPECT_TRUE(Has(lines.back(), R"({"station":"05","frames":4,"good":0,)"))
                << lines.back();
            lines.pop_back();
        } else {
            EXPECT_TRUE(Has(run.err, "line: 8 frames sent, 4 good replies, 4 without (4 silence)"))
                << run.err;
            EXPECT_TRUE(Has(run.err, "line: station 05: 4 frames sent, 0 good replies, 4 without "
                                     "(4 silence)\n"))
                << run.err;
        }
        EXPECT_EQ(lines, c.lines) << c.format;
    }
}

TEST_F(HostCli, ARangeIsReadInAsFewBlockReadsAsTheDriverAllows) {
    std::vector<std::uint16_t> words(130);
    for (std::uint16_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::uint16_t>(1000 + i);
    }
    sim.set(0x01, plcsim::Table::Words, 0x0100, words);
    sim.set(0x01, plcsim::Table::Bits, 0x0008, {1, 0, 1});
    sim.setLong(0x01, plcsim::Table::Words, 0x0022, 77);
    dir.writeFile("kovra-gates.txt", "0130181 word linear 0.5\n");
    struct Case {
        std::string gate;
        std::string count;
        std::size_t requests;
        std::vector<std::string> someRows; // the starts of some rows, in order
    };
    const Case cases[] = {
        {"0130100", "130", 2, {"0130100,1000,", "0130181,564.5,"}},
        {"0110008", "3", 1, {"0110008,1,", "0110009,0,", "011000A,1,"}},
        {"01C0020", "2", 1, {"01C0020,0,", "01C0022,77,"}},
        {"0130100", "121", 2, {"0130178,1120,"}}, // 120, then 1 as a single read
    };
    for (const auto& c : cases) {
        sim.clearLog();
        const HostRun run = host({"read", c.gate, "--count", c.count, "--csv"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(sim.requests().size(), c.requests) << c.gate;
        const auto lines = Lines(run.out);
        EXPECT_EQ(lines.size(), 1 + std::stoul(c.count)) << run.out;
        auto at = lines.begin();
        for (const auto& row : c.someRows) {
            at = std::find_if(at, lines.end(), [&](const std::string& l) { return Has(l, row); });
            EXPECT_NE(at, lines.end()) << row << " in\n" << run.out;
        }
    }
    EXPECT_EQ(host({"read", "013FFFE", "--count", "3"}).status, 2);
}

// The driver decodes a station by the model the init file declares; a
// collection says where the line shows another, naming the line to change.
TEST_F(HostCli, ACollectionNamesAModelThatTheInitFileGetsWrong) {
    journal(0x01, plcsim::Model::P200);
    journal(0x02, plcsim::Model::P200X);
    struct Case {
        const char* init;
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        {"P200X = 02\n", {}},
        {"COMM_TIMEOUT = 100\n",
         {"kovra-host: warning: station 02 answers as a P200X but the init file declares a "
          "P200, so the driver decodes its values as a P200's; add the line \"P200X = 02\" to "
          "the init file"}},
        {"P200X = 01\nP200X = 02\n",
         {"kovra-host: warning: station 01 answers as a P200 but the init file declares a "
          "P200X, so the driver decodes its values as a P200X's; remove the line \"P200X = 01\" "
          "from the init file"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.init);
        dir.writeFile("KOVRA01.INT", c.init);
        const HostRun run = host({"collect", "01", "02", "--no-history"});
        std::vector<std::string> warnings;
        for (const auto& line : run.errLines()) {
            if (Has(line, "warning: station")) {
                warnings.push_back(line);
            }
        }
        EXPECT_EQ(warnings, c.warnings) << run.err;
    }
}

TEST_F(HostCli, AScanFindsTheStationsTellsTheirModelAndSpendsOneTimeoutPerSilentAddress) {
    journal(0x01, plcsim::Model::P200);
    journal(0x02, plcsim::Model::P200X)->setClock(Ago(-47).local); // 47 minutes ahead
    const auto began = std::chrono::steady_clock::now();
    const HostRun run = host({"scan", "00-05", "--timeout", "400", "--csv"});
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_TRUE(Has(lines[1], "01,P200,")) << lines[1];
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"(,(-[12]|\+?[012]) s,)"))) << lines[1];
    EXPECT_TRUE(Has(lines[2], "02,P200X,")) << lines[2];
    EXPECT_TRUE(std::regex_search(lines[2], std::regex(R"(,"\+2[78]\d\d s, over a minute",)")))
        << lines[2];
    EXPECT_TRUE(Has(run.err, "scan 00-05: 2 stations answering (01, 02) of 6 addresses"))
        << run.err;
    // The addresses where no PLC stands share one row of the line's figures.
    EXPECT_TRUE(std::regex_search(
        run.err, std::regex(R"(\nline: 4 silent stations \(00, 03-05\): \d+ frames sent, )"
                            R"(none answered\n)")))
        << run.err;
    EXPECT_FALSE(Has(run.err, "line: station 03")) << run.err;
    // Four silent addresses; four full timeouts each would take 6.4 s.
    EXPECT_LT(took, std::chrono::milliseconds(4000));
    EXPECT_EQ(host({"scan", "05-01"}).status, 2);
}

// A scan that finds nothing still says so in its own format; a station whose
// file table is empty has no model: null in JSON, not a dash.
TEST_F(HostCli, AnEmptyScanKeepsItsHeadingsAndJsonSaysNullForWhatIsMissing) {
    HostRun run = host({"scan", "05-06"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "STATION  MODEL  CLOCK  DRIFT  REPLY\n");
    run = host({"scan", "05-06", "--format", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind(R"({"line":{"frames":8,"good":0,)", 0), 0u) << run.out;
    run = host({"scan", "01", "--format", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).at(0).rfind(R"({"station":"01","model":null,)", 0), 0u) << run.out;
}

TEST_F(HostCli, WriteUndoesTheCookingAndReachesThePlc) {
    dir.writeFile("kovra-gates.txt", "0130010 word linear 0.1 -20\n");
    HostRun run = host({"write", "0130010", "12.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0130010 <- 12.5 (raw 0x0145 (325))\n");
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, 0x0010), 325);

    run = host({"write", "0110003", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Bits, 0x0003), 1);

    run = host({"write", "0130012", "0x1234", "--raw"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, 0x0012), 0x1234);

    run = host({"write", "0130010", "twelve"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Has(run.err, "value 'twelve' is not a number")) << run.err;

    run = host({"write", "0130010", "99999"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "does not fit gate 0130010")) << run.err;

    // A raw value shows what it stands for; a value between two raw values
    // says which was written.
    run = host({"write", "0130010", "0x0145", "--raw"});
    EXPECT_EQ(run.out, "0130010 <- 12.5 (raw 0x0145 (325))\n");
    run = host({"write", "0130010", "12.34"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0130010 <- 12.3 (raw 0x0143 (323))\n");
    EXPECT_EQ(run.messages(), std::vector<std::string>{"kovra-host: 12.34 cannot be written "
                                                       "exactly to 0130010; the nearest, 12.3, "
                                                       "was written"});

    // A signed gate writes and reads back below zero.
    dir.writeFile("kovra-gates.txt", "0130014 word linear 0.1 signed\n");
    run = host({"write", "0130014", "-1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, 0x0014), 0xFFF6);
    run = host({"read", "0130014"});
    EXPECT_TRUE(Has(run.out, "-1")) << run.out;
    EXPECT_FALSE(Has(run.out, "6552.6")) << run.out;
}

// An H gate names the driver's stamp but is written to the PLC register of
// its number: refused unless forced, saying what would be written where.
TEST_F(HostCli, AnHGateWriteReachesThePlcOnlyWhenForced) {
    struct Case {
        const char* gate;
        std::uint16_t reg;
        const char* refusal;
    };
    const Case cases[] = {
        {"01HA", 0x0041,
         "kovra-host: write 01HA would write 0x0007 (7) to register 0x0041 of station 01, not "
         "to the driver's last-event stamp; give --force to write it"},
        {"01H0001", 0x0001,
         "kovra-host: write 01H0001 would write 0x0007 (7) to register 0x0001 of station 01, a "
         "register of the PLC's clock, not to the driver's last-event stamp; give --force to "
         "write it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gate);
        sim.set(0x01, plcsim::Table::Words, c.reg, {0x0102});
        const HostRun refused = host({"write", c.gate, "7"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.errLines(), std::vector<std::string>{c.refusal});
        EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, c.reg), 0x0102);
        const HostRun forced = host({"write", c.gate, "7", "--force"});
        EXPECT_EQ(forced.status, 0) << forced.err;
        EXPECT_EQ(sim.get(0x01, plcsim::Table::Words, c.reg), 7);
    }
}

TEST_F(HostCli, AMalformedGateIsACommandLineMistakeShownAtItsCharacter) {
    sim.clearLog();
    const HostRun run = host({"read", "0a30001"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{
                  "kovra-host: gate '0a30001': character 2 ('a') cannot stand there (Parse() "
                  "illegal char #1 in 0a30001) (see kovra-host read --help)"});
    EXPECT_TRUE(sim.exchanges().empty());
    EXPECT_EQ(host({"write", "013001", "1"}).status, 2);

    const HostRun floatOnP200 = host({"read", "01F0040"});
    EXPECT_EQ(floatOnP200.status, 1);
    EXPECT_TRUE(Has(floatOnP200.err, "float gates only supported on P200X")) << floatOnP200.err;
}

TEST_F(HostCli, ASilentStationIsNamedAndCostsFourAttempts) {
    sim.injectFault(0x01, plcsim::Fault::Silent());
    sim.clearLog();
    const HostRun run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.messages().size(), 1u) << run.err;
    EXPECT_EQ(run.errLines()[0],
              "kovra-host: read 0130010: station 01 does not answer on " + port + " (status 2)");
    EXPECT_EQ(sim.exchanges().size(), 4u);
}

TEST_F(HostCli, TheLastAttemptNamesTheCause) {
    // Silent once, then the PLC refuses: the refusal is what ended the read.
    sim.injectFault(0x01, plcsim::Fault::Silent(1));
    sim.injectFault(0x01, plcsim::Fault::WithException(2, 1));
    const HostRun run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.messages().size(), 1u) << run.err;
    EXPECT_EQ(
        run.errLines()[0],
        "kovra-host: read 0130010: station 01 refused the request (exception 02: illegal data "
        "address) (status 1)");
}

TEST_F(HostCli, TimeoutAndGapComeFromTheCommandLine) {
    // The init file says 100 ms; four silent attempts at 300 ms take longer.
    sim.injectFault(0x01, plcsim::Fault::Silent());
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(host({"read", "0130010", "--timeout", "300"}).status, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1200));

    sim.clearFaults(0x01);
    sim.clearLog();
    ASSERT_EQ(host({"read", "0130010", "0130011", "--gap", "250"}).status, 0);
    const auto exchanges = sim.exchanges();
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_GE(exchanges[1].time - exchanges[0].time, std::chrono::milliseconds(250));

    const HostRun version = RunHost({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("kovra-host ", 0), 0u) << version.out;
}

TEST_F(HostCli, EachFailureIsExplainedByItsKind) {
    // The port is reached through a link in the working directory, so that it
    // can go away under a running read.
    fs::create_symlink(port, dir.path() / "line");
    const std::string line = "line";
    struct Case {
        plcsim::Fault fault;
        std::string explanation;
    };
    const Case cases[] = {
        {plcsim::Fault::Silent(), "station 01 does not answer on line"},
        {plcsim::Fault::CutAfter(3), "station 01's reply breaks off before its end on line"},
        {plcsim::Fault::CorruptCrc(), "station 01's replies fail their CRC check on line"},
        {plcsim::Fault::AsStation(0x07), "another station answered in place of station 01 on line"},
        {plcsim::Fault::Replying({0x01, 0x04, 0x02, 0x00, 0x01}),
         "station 01's reply does not fit the request (DoRead() wrong function 04h"},
        {plcsim::Fault::Replying({0x01, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02}),
         "station 01's reply does not fit the request (DoRead() wrong byte count 4"},
        {plcsim::Fault::WithException(3),
         "station 01 refused the request (exception 03: illegal data value)"},
    };
    for (const auto& c : cases) {
        sim.clearFaults(0x01);
        sim.injectFault(0x01, c.fault);
        const HostRun run = RunHost({"read", "0130010", "--port", line, "--dir",
                                     dir.path().string(), "--log-level", "none"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(Has(run.err, "kovra-host: read 0130010: " + c.explanation)) << run.err;
    }

    // The device vanishes while the station is silent.
    sim.clearFaults(0x01);
    sim.injectFault(0x01, plcsim::Fault::Silent());
    sim.onExchange([&](const plcsim::Exchange&) {
        std::error_code ignored;
        fs::remove(dir.path() / "line", ignored);
    });
    const HostRun gone = RunHost(
        {"read", "0130010", "--port", line, "--dir", dir.path().string(), "--log-level", "none"});
    fs::create_symlink(port, dir.path() / "line");
    const HostRun goneOnWrite = RunHost({"write", "0130010", "1", "--port", line, "--dir",
                                         dir.path().string(), "--log-level", "none"});
    sim.onExchange(nullptr);
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.messages(),
              std::vector<std::string>{"kovra-host: read 0130010: port line is gone (status 2)"});
    EXPECT_EQ(goneOnWrite.status, 1);
    ASSERT_EQ(goneOnWrite.messages().size(), 1u) << goneOnWrite.err;
    EXPECT_TRUE(Has(goneOnWrite.err, "kovra-host: write 0130010: port line is gone (status "))
        << goneOnWrite.err;

    // A device this user may not open.
    ASSERT_EQ(chmod(port.c_str(), 0), 0);
    const fs::path own = dir.path() / "own";
    fs::create_directory(own);
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(own, fs::perms::all);
    const HostRun denied =
        RunHost({"read", "0130010", "--port", port, "--dir", own.string(), "--log-level", "none"},
                nullptr, true);
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.errLines(),
              std::vector<std::string>{"kovra-host: port " + port + ": Permission denied"});
}

TEST_F(HostCli, AReadOnlyCurrentDirectorySendsTheDriversFilesToTheStateFolder) {
    // Run as an ordinary user, from a directory that user cannot write.
    sim.set(0x01, plcsim::Table::Words, 0x0010, {215});
    ASSERT_EQ(chmod(port.c_str(), 0666), 0);
    const fs::path readOnly = dir.path() / "read-only";
    const fs::path state = dir.path() / "state";
    fs::create_directory(readOnly);
    fs::create_directory(state);
    // The user's own init file and gates file, which the driver needs there too.
    std::ofstream(readOnly / "KOVRA01.INT") << "P200X = 02\nCOMM_TIMEOUT = 100\n";
    std::ofstream(readOnly / "kovra-gates.txt") << "0130010 word linear 0.1\n";
    std::ofstream(state / "KOVRA01.INT") << "COMM_TIMEOUT = 100\n"; // an older copy
    fs::permissions(state / "KOVRA01.INT", fs::perms::all);
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec |
                                  fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(state, fs::perms::all);
    fs::current_path(readOnly);
    const HostRun run = RunHost(
        {"read", "0130010", "--port", port, "--state-dir", state.string(), "--log-level", "none"},
        nullptr, true);
    const HostRun denied = RunHost({"read", "0130010", "--port", port, "--state-dir",
                                    (readOnly / "state").string(), "--log-level", "none"},
                                   nullptr, true);
    const HostRun sync = RunHost(
        {"sync", "02", "--port", port, "--state-dir", state.string(), "--log-level", "none"},
        nullptr, true);
    const HostRun history = RunHost({"history", "--state-dir", state.string()}, nullptr, true);
    // Without the option: the user's state folder.
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    const HostRun byDefault =
        RunHost({"read", "0130010", "--port", port, "--log-level", "none"}, nullptr, true);
    const HostRun historyByDefault = RunHost({"history"}, nullptr, true);
    unsetenv("XDG_STATE_HOME");
    fs::current_path(dir.path());
    EXPECT_EQ(byDefault.status, 0) << byDefault.err;
    EXPECT_TRUE(Has(byDefault.out, "21.5")) << byDefault.out;
    EXPECT_TRUE(fs::exists(state / "kovra" / "KOVRA01H.DAT"));
    EXPECT_EQ(historyByDefault.status, 0) << historyByDefault.err;
    EXPECT_EQ(sync.status, 0) << sync.err;
    EXPECT_EQ(history.status, 0) << history.err;
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "21.5")) << run.out;
    EXPECT_TRUE(fs::exists(state / "KOVRA01H.DAT"));
    EXPECT_TRUE(fs::exists(state / "kovra-history.db"));
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.errLines(),
              std::vector<std::string>{"kovra-host: state folder " + (readOnly / "state").string() +
                                       ": Permission denied"});
}

TEST_F(HostCli, APortThatIsMissingOrBusyIsNamed) {
    HostRun run = RunHost({"read", "0130010", "--port", "/dev/kovra-none", "--dir",
                           dir.path().string(), "--log-level", "none"});
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
    EXPECT_EQ(run.errLines()[0], "kovra-host: port " + port + " is in use by another program");
}

TEST_F(HostCli, AnUnreadableInitFileIsNamedBeforeThePlcIsTouched) {
    fs::remove(dir.path() / "KOVRA01.INT");
    fs::create_directory(dir.path() / "KOVRA01.INT");
    sim.clearLog();
    const HostRun run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"kovra-host: init file KOVRA01.INT is not a readable file"});
    EXPECT_TRUE(sim.exchanges().empty());
}

TEST_F(HostCli, ACorruptLastEventFileIsNamedAndLeftAsItIs) {
    const std::string corrupt(100, '\x07');
    dir.writeFile("KOVRA01H.DAT", corrupt);
    const HostRun run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_TRUE(Has(run.err, "last-event file KOVRA01H.DAT is corrupt: 100 bytes")) << run.err;
    EXPECT_EQ(dir.readFile("KOVRA01H.DAT"), corrupt);
}

TEST_F(HostCli, AHistoryThatCannotBeWrittenStopsTheRunBeforeThePlcIsTouched) {
    fs::create_directory(dir.path() / "kovra-history.db");
    sim.clearLog();
    const HostRun run = host({"read", "0130010"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_TRUE(Has(run.err, "history database " + (dir.path() / "kovra-history.db").string()))
        << run.err;
    EXPECT_TRUE(sim.exchanges().empty());
}

TEST_F(HostCli, SyncSetsTheClockOfAP200XAndRefusesAP200) {
    // The PLC's clock 47 minutes behind: read first, so the drift is told.
    SetClock(sim, 0x02, Ago(47).local);
    sim.clearLog();
    HostRun run = host({"sync", "02"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "station 02: clock set to ")) << run.out;
    EXPECT_TRUE(
        std::regex_search(run.out, std::regex(R"(\(it was -2[78]\d\d s, over a minute off\))")))
        << run.out;
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0][1], 0x03);
    EXPECT_EQ(std::vector<std::uint8_t>(requests[1].begin(), requests[1].begin() + 7),
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
    const HostRun run = host({"watch", "0130010", "--every", "0.05", "--count", "4", "--csv"});
    sim.onExchange(nullptr);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "TIME,GATE,UNDEFINED,VALUE,RAW,ERROR");
    EXPECT_TRUE(Has(lines[1], ",0130010,,7,7,")) << lines[1];
    EXPECT_TRUE(Has(lines[2], ",0130010,,8,8,")) << lines[2];
}

TEST_F(HostCli, WatchReportsEveryFailureShowsTheValueBackAndEndsWithStatistics) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {7});
    // The first poll is answered, the next two fail all four attempts.
    sim.injectFault(0x01, plcsim::Fault::Replying({0x01, 0x03, 0x02, 0x00, 0x07}, 1));
    sim.injectFault(0x01, plcsim::Fault::CorruptCrc(4));
    sim.injectFault(0x01, plcsim::Fault::Silent(4));
    const HostRun run = host({"watch", "0130010", "--every", "0.05", "--count", "4", "--csv"});
    EXPECT_EQ(run.status, 1);
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_TRUE(Has(lines[1], ",0130010,,7,")) << lines[1];
    EXPECT_TRUE(Has(lines[2], ",0130010,,,,station 01's replies fail their CRC check")) << lines[2];
    EXPECT_TRUE(Has(lines[3], ",0130010,,,,station 01 does not answer")) << lines[3];
    EXPECT_TRUE(Has(lines[4], ",0130010,,7,")) << lines[4]; // back after the failures
    EXPECT_TRUE(Has(run.err, "fail their CRC check")) << run.err;
    EXPECT_TRUE(Has(run.err, "does not answer")) << run.err;
    EXPECT_TRUE(Has(run.err, "watch: 4 requests, 2 replies, 2 errors (1 unanswered request, 1 CRC "
                             "error), 50.0% lost"))
        << run.err;
}

TEST_F(HostCli, AWatchReopensAPortThatWentAwayAndCarriesOn) {
    const fs::path link = dir.path() / "line";
    fs::create_symlink(port, link);
    sim.set(0x01, plcsim::Table::Words, 0x0010, {7});
    plcsim::Simulator second;
    second.addStation(0x01, plcsim::Model::P200);
    second.set(0x01, plcsim::Table::Words, 0x0010, {8});
    // After two polls the adapter goes; another appears under the same name.
    std::thread unplug([&] {
        sim.waitForExchanges(2, std::chrono::seconds(10));
        fs::remove(link);
        sim.stop();
        const std::string again = second.openPseudoTerminal();
        second.start();
        fs::create_symlink(again, link);
    });
    const HostRun run = RunHost({"watch", "0130010", "--port", "line", "--dir", dir.path().string(),
                                 "--log-level", "none", "--every", "0.2", "--count", "8", "--csv"});
    unplug.join();
    EXPECT_TRUE(Has(run.err, "kovra-host: watch 0130010: port line is gone")) << run.err;
    EXPECT_TRUE(Has(run.err, "kovra-host: port line is back")) << run.err;
    EXPECT_TRUE(Has(run.out, ",0130010,,8,")) << run.out;
}

TEST_F(HostCli, TracePrintsEveryFrameWithItsMeaning) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {0x1234});
    const HostRun run = host({"read", "0130010", "--trace"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = run.errLines();
    ASSERT_EQ(lines.size(), 3u) << run.err;
    EXPECT_EQ(lines[2].rfind("line: 1 frame sent, 1 good reply; reply ", 0), 0u) << lines[2];
    EXPECT_TRUE(Has(lines[0], " -> 01 03 00 10 00 01 85 CF  station 01: read 1 word at 0x0010"))
        << lines[0];
    EXPECT_TRUE(Has(lines[1], " <- 01 03 02 12 34 ")) << lines[1];
    EXPECT_TRUE(Has(lines[1], "station 01: reply, 2 data bytes: 0x1234")) << lines[1];
    EXPECT_TRUE(Has(run.out, "0130010  4660   0x1234 (4660)")) << run.out;
}

// Noise before a reply is shown as garbage and the reply after it as a reply.
TEST_F(HostCli, TraceFindsTheReplyAfterGarbage) {
    sim.set(0x01, plcsim::Table::Words, 0x0010, {0x1234});
    sim.injectFault(0x01, plcsim::Fault::GarbageFirst({0xFF, 0x00}));
    const HostRun run = host({"read", "0130010", "--trace"});
    const auto lines = run.errLines();
    ASSERT_GE(lines.size(), 3u) << run.err;
    EXPECT_TRUE(Has(lines[0], " -> 01 03 00 10 00 01 85 CF  station 01: read 1 word at 0x0010"))
        << run.err;
    EXPECT_TRUE(Has(lines[1], " <- FF 00  garbage, 2 bytes skipped")) << run.err;
    EXPECT_TRUE(Has(lines[2], " <- 01 03 02 12 34 B5 33  station 01: reply, 2 data bytes"))
        << run.err;
    // The driver read the noise as each reply's start, in vain each time.
    EXPECT_TRUE(Has(run.err, "line: 4 frames sent, 0 good replies, 4 without (4 wrong station)\n"))
        << run.err;
}

TEST_F(HostCollect, EveryEventIsStoredOnceAcrossRepeatedCollections) {
    HostRun run = host({"collect", "01", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(StoredEvents(history()), expected);
    auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 7u) << run.out;
    EXPECT_EQ(lines[0], "PLC TIME,GATE,UNDEFINED,VALUE,RAW,ERROR");
    // The word's cooking (x 0.5) and the PLC time in ISO 8601 with its zone.
    std::tm local{};
    const std::time_t first = std::get<2>(expected[0]);
    localtime_r(&first, &local);
    char iso[32];
    std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &local);
    EXPECT_EQ(lines[1].rfind(std::string(iso), 0), 0u) << lines[1];
    EXPECT_TRUE(Has(lines[1], ",0130010,,20,40,")) << lines[1];
    EXPECT_TRUE(Has(run.err, "station 01: 2 files read, 6 events stored, 1 record without a gate, "
                             "kept raw (add gates for J-bus address 0x0099 to the gates file)"))
        << run.err;
    EXPECT_TRUE(Has(run.out, ",01C0099,yes,5,5,")) << run.out;

    run = host({"collect", "01", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 1u) << run.out;
    EXPECT_EQ(StoredEvents(history()), expected);

    add(0x0010, 44, 2);
    memo(1010, 1);
    run = host({"collect", "01", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 3u) << run.out;
    EXPECT_EQ(StoredEvents(history()), expected);
}

TEST_F(HostCollect, ACollectionReopensAPortThatWentAwayCollectsTheStationAgainAndCountsTheLine) {
    const fs::path link = dir.path() / "line";
    fs::create_symlink(port, link);
    plcsim::Simulator second;
    second.addStation(0x01, plcsim::Model::P200);
    auto again = std::make_shared<plcsim::StationJournal>(plcsim::Model::P200);
    again->addFile({plcsim::kJournalFileNumber, 100, 5, 0x1000});
    again->appendJournalEvent(0x0010, 50, Ago(5).local);
    second.addHook(0x01, again);
    // The adapter goes during the first collection; another comes under the name.
    std::thread unplug([&] {
        sim.waitForExchanges(2, std::chrono::seconds(10));
        fs::remove(link);
        sim.stop();
        const std::string terminal = second.openPseudoTerminal();
        second.start();
        fs::create_symlink(terminal, link);
    });
    const HostRun run = RunHost({"collect", "01", "--port", "line", "--dir", dir.path().string(),
                                 "--log-level", "none", "--csv"});
    unplug.join();
    // The first try failed, the second collected everything: a success, said so.
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "collect: the port was gone 1 time and came back; every station "
                             "was collected in the end"))
        << run.err;
    EXPECT_TRUE(Has(run.err, "kovra-host: collect station 01: port line is gone")) << run.err;
    EXPECT_TRUE(Has(run.err, "kovra-host: port line is back")) << run.err;
    EXPECT_TRUE(Has(run.out, ",0130010,,25,50,")) << run.out;
    EXPECT_TRUE(Has(run.err, " lost-record alerts, ")) << run.err;
    EXPECT_TRUE(Has(run.err, " requests, ")) << run.err;
    EXPECT_TRUE(Has(run.err, "against the line's own limit of ")) << run.err;
}

TEST_F(HostCollect, TheSummaryCountsTheRecordsARingThatTurnedOverLost) {
    ASSERT_EQ(host({"collect", "01"}).status, 0);
    // 105 events into the journal's ring of 100: the first 5 are gone. The
    // memo file cleared: what it held before tells nothing.
    for (int i = 0; i < 105; ++i) {
        files->appendJournalEvent(0x0010, static_cast<std::uint32_t>(i), Ago(20).local);
    }
    files->clearFile(0x0020);
    files->appendMemoValue(0x0020, 7, Ago(1).local);
    const HostRun run = host({"collect", "01"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "station 01: 2 files read, 101 events stored, 2 alerts: at least 5 "
                             "records lost from 'Journal de Bord'\n"))
        << run.err;
    const auto stored = StoredEvents(history());
    ASSERT_EQ(stored.size(), expected.size() + 101);
    EXPECT_EQ(std::get<1>(stored[expected.size()]), 5u); // the oldest kept
}

TEST_F(HostCollect, ASilentStationStoresNothingAndLosesNothing) {
    sim.injectFault(0x01, plcsim::Fault::Silent());
    HostRun run = host({"collect", "01"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "kovra-host: collect station 01: station 01 does not answer on " +
                                 port + " (status 2)"))
        << run.err;
    EXPECT_TRUE(StoredEvents(history()).empty());

    sim.clearFaults(0x01);
    run = host({"collect", "01"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(StoredEvents(history()), expected);
}

TEST_F(HostCollect, StrictGatesPassOverRecordsWithoutAGateAndTheSummarySaysWhy) {
    fs::remove(dir.path() / "kovra-gates.txt");
    const HostRun run = host({"collect", "01", "--strict-gates"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "station 01: 2 files read, 0 events stored, 6 records without a "
                             "gate passed over (J-bus addresses 0x0010, 0x0003, 0x0099, 0x0020; "
                             "the gates file defines the gates of the journal's variables)"))
        << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST_F(HostCollect, EveryCommandThatCollectsPrintsAndStoresTheEvents) {
    // A read and a write of the journal gate collect as collect does, and a
    // later collection finds nothing left over; history marks the raw gate.
    HostRun run = host({"read", "01I0000", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 2u + 1u + 7u) << run.out;
    EXPECT_TRUE(Has(run.err, "kept raw (add gates for J-bus address 0x0099")) << run.err;
    EXPECT_EQ(StoredEvents(history()), expected);

    add(0x0010, 44, 2);
    run = host({"write", "01I0000", "1", "--no-history"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "0130010  22     0x002C (44)")) << run.out;

    run = host({"collect", "01", "--csv"});
    EXPECT_EQ(Lines(run.out).size(), 1u) << run.out;
    run = RunHost({"history", "--dir", dir.path().string(), "--gate", "01C0099", "--csv"});
    EXPECT_TRUE(Has(run.out, ",01C0099,yes,5,")) << run.out;

    // --gate is a gate in either case; a malformed one is a command-line mistake.
    run = RunHost({"history", "--dir", dir.path().string(), "--gate", "01c0099", "--csv"});
    EXPECT_TRUE(Has(run.out, ",01C0099,yes,5,")) << run.out;
    // A table says it in the gate's cell, without a column of its own.
    run = RunHost({"history", "--dir", dir.path().string(), "--gate", "01C0099"});
    EXPECT_TRUE(Has(run.out, "  01C0099 (undefined)  5 ")) << run.out;
    EXPECT_FALSE(Has(run.out, "UNDEFINED")) << run.out;
    for (const char* malformed : {"1C0099", "01X0099", "01C00G9", "01HB"}) {
        run = RunHost({"history", "--dir", dir.path().string(), "--gate", malformed});
        EXPECT_EQ(run.status, 2) << malformed;
        EXPECT_TRUE(Has(run.err, std::string("--gate: gate '") + malformed)) << run.err;
    }
}

TEST_F(HostCollect, CtrlCDuringACollectionSaysWhatWasKept) {
    pid_t child = 0;
    sim.onExchange([&](const plcsim::Exchange&) {
        if (child > 0) {
            kill(child, SIGINT);
            child = 0;
        }
    });
    const HostRun run = RunHost({"collect", "01", "02", "--port", port, "--dir",
                                 dir.path().string(), "--log-level", "none"},
                                [&](pid_t pid) { child = pid; });
    sim.onExchange(nullptr);
    EXPECT_EQ(run.status, 1);
    // Acknowledged at once, before the station's summary.
    const auto said = run.errLines();
    const auto ack = std::find(said.begin(), said.end(),
                               "kovra-host: finishing station 01; Ctrl-C again to stop now");
    ASSERT_NE(ack, said.end()) << run.err;
    EXPECT_TRUE(std::none_of(said.begin(), ack, [](const std::string& line) {
        return Has(line, "station 01: ");
    })) << run.err;
    EXPECT_TRUE(Has(run.err, "kovra-host: interrupted: 6 events kept in the history; not "
                             "collected: station 02"))
        << run.err;
    EXPECT_EQ(StoredEvents(history()), expected);
}

// A second Ctrl-C stops at once; the next collection takes up where the
// history says, each event once.
TEST_F(HostCollect, ASecondCtrlCStopsNowAndLosesNothing) {
    pid_t child = 0;
    int signals = 0;
    sim.onExchange([&](const plcsim::Exchange&) {
        if (child > 0 && signals < 2) {
            kill(child, SIGINT);
            ++signals;
        }
    });
    const HostRun run = RunHost(
        {"collect", "01", "--port", port, "--dir", dir.path().string(), "--log-level", "none"},
        [&](pid_t pid) { child = pid; });
    sim.onExchange(nullptr);
    EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
    EXPECT_TRUE(Has(run.err, "kovra-host: finishing station 01; Ctrl-C again to stop now"))
        << run.err;
    const HostRun again = host({"collect", "01"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(StoredEvents(history()), expected);
}

TEST(HostCliAlone, SimulatorStationsAreHexadecimalAsInGateAddresses) {
    struct Case {
        std::string written;
        int station; // -1: refused
    };
    const Case cases[] = {{"1A", 0x1A}, {"0x1a", 0x1A}, {"10", 0x10}, {"0A", 0x0A}, {"100", -1}};
    for (const auto& c : cases) {
        plcsim::Simulator sim;
        std::istringstream in("station " + c.written + " P200X\nwords " + c.written + " 0x10 7\n");
        if (c.station < 0) {
            try {
                plcsim::Configure(sim, in);
                ADD_FAILURE() << c.written << " taken";
            } catch (const plcsim::ConfigError& e) {
                EXPECT_EQ(std::string(e.what()),
                          "line 1: station '100' looks decimal; stations are hexadecimal as in "
                          "gate addresses: write 64");
            }
            continue;
        }
        plcsim::Configure(sim, in);
        EXPECT_EQ(sim.get(static_cast<std::uint8_t>(c.station), plcsim::Table::Words, 0x10), 7)
            << c.written;
    }
}

TEST_F(HostCollect, ACollectionKilledHalfWayIsCollectedAgainWithoutLossOrDuplicate) {
    // Killed when it selects the memo file: the driver has already stored how
    // far the journal was passed on, the history has not stored a thing.
    pid_t child = 0;
    sim.onExchange([&](const plcsim::Exchange& exchange) {
        const auto& r = exchange.request;
        if (child > 0 && r.size() >= 6 && r[1] == 0x06 && r[2] == 0x01 && r[3] == 0x00 &&
            r[5] == 0x20) {
            kill(child, SIGKILL);
        }
    });
    HostRun run = RunHost(
        {"collect", "01", "--port", port, "--dir", dir.path().string(), "--log-level", "none"},
        [&](pid_t pid) { child = pid; });
    sim.onExchange(nullptr);
    ASSERT_EQ(run.status, 128 + SIGKILL);
    EXPECT_TRUE(StoredEvents(history()).empty());

    run = host({"collect", "01", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "is put back as it was before it")) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 7u) << run.out;
    EXPECT_EQ(StoredEvents(history()), expected);

    run = host({"collect", "01"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(StoredEvents(history()), expected);
}

TEST_F(HostCollect, AHistoryThatFailsAtTheEndGivesTheEventsBackToThePlc) {
    // Another program holds the database locked while the collection runs, so
    // its values cannot be stored: they are printed, and the driver's
    // positions go back so that the next collection passes them again.
    sqlite3* locker = nullptr;
    ASSERT_EQ(host({"collect", "01"}).status, 0); // creates the database
    add(0x0010, 44, 2);
    sim.onExchange([&](const plcsim::Exchange& exchange) {
        const auto& r = exchange.request;
        if (locker == nullptr && r.size() >= 6 && r[1] == 0x06 && r[2] == 0x01 && r[3] == 0x00 &&
            r[5] == 0x20) {
            sqlite3_open(history().c_str(), &locker);
            sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
        }
    });
    HostRun run = host({"collect", "01", "--csv"});
    sim.onExchange(nullptr);
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "values not stored")) << run.err;
    EXPECT_TRUE(Has(run.err, "KOVRA01H.DAT is put back")) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 2u) << run.out; // the new event, shown all the same

    run = host({"collect", "01", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 2u) << run.out;
    EXPECT_EQ(StoredEvents(history()), expected);
}

// Where the disk fills: as the driver selects the journal, the first file,
// both files' positions fail to save; as it selects the memo file, the last.
struct DiskFills {
    const char* name;
    std::uint8_t file;
    int filesReadFull; // files selected once the disk is full
};

void PrintTo(const DiskFills& fills, std::ostream* out) {
    *out << fills.name;
}

class HostCollectOnAFillingDisk : public HostCollect,
                                  public ::testing::WithParamInterface<DiskFills> {};

TEST_P(HostCollectOnAFillingDisk,
       PositionsTheDriverCannotSaveAreCollectedAgainWithoutLossOrDuplicate) {
    // The position the driver then writes is not saved, nor any after it.
    // The history takes none of the values and the last-event file goes back,
    // so the next collection passes them again.
    const std::filesystem::path diskFull = dir.path() / "disk-full";
    int filesReadFull = 0;
    sim.onExchange([&](const plcsim::Exchange& exchange) {
        const auto& r = exchange.request;
        if (r.size() >= 6 && r[1] == 0x06 && r[2] == 0x01 && r[3] == 0x00) {
            if (r[5] == GetParam().file) {
                std::ofstream{diskFull};
            }
            filesReadFull += std::filesystem::exists(diskFull) ? 1 : 0;
        }
    });
    setenv("LD_PRELOAD", KOVRA_FULL_DISK_PATH, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    HostRun run = host({"collect", "01"});
    unsetenv("LD_PRELOAD");
    unsetenv("ASAN_OPTIONS");
    sim.onExchange(nullptr);
    ASSERT_TRUE(std::filesystem::remove(diskFull));
    EXPECT_EQ(filesReadFull, GetParam().filesReadFull);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "values not stored: the driver could not save its positions: "))
        << run.err;
    EXPECT_TRUE(Has(run.err, "'KOVRA01H.DAT' (No space left on device)")) << run.err;
    EXPECT_TRUE(Has(run.err, "KOVRA01H.DAT is put back")) << run.err;
    EXPECT_TRUE(StoredEvents(history()).empty());

    for (int collection = 0; collection < 2; ++collection) {
        run = host({"collect", "01"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(StoredEvents(history()), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(HostCollect, HostCollectOnAFillingDisk,
                         ::testing::Values(DiskFills{"AtTheFirstFile", 0x01, 2},
                                           DiskFills{"AtTheLastFile", 0x20, 1}),
                         [](const ::testing::TestParamInfo<DiskFills>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(HostCollect, HistoryIsQueriedByGateAndTimeAndGivesTheNewestOrJson) {
    ASSERT_EQ(host({"collect", "01"}).status, 0);
    const std::string from = "@" + std::to_string(std::get<2>(expected[0]) + 1);
    HostRun run = RunHost(
        {"history", "--dir", dir.path().string(), "--gate", "0130010", "--from", from, "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines[0], "PLC TIME,GATE,UNDEFINED,VALUE,RAW,COLLECTED");
    EXPECT_TRUE(Has(lines[1], ",0130010,,21,42,")) << lines[1];

    // The newest two of the six: the memo values, oldest first.
    run = RunHost({"history", "--dir", dir.path().string(), "--last", "2", "--format", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_TRUE(Has(lines[0], R"("gate":"0130010","value":21,"raw":42,"collected":")")) << lines[0];
    EXPECT_TRUE(Has(lines[1], R"("gate":"01C0020","value":1003,"raw":1003,)")) << lines[1];
    run =
        RunHost({"history", "--dir", dir.path().string(), "--gate", "01C0099", "--format", "json"});
    EXPECT_TRUE(Has(run.out, R"("gate":"01C0099","undefined":true,"value":5,"raw":5)")) << run.out;
}

TEST(HostCliAlone, TheDemoRunsEndToEnd) {
    TempCurrentDirectory dir;
    const HostRun run = RunHost({"demo", "--dir", (dir.path() / "demo").string()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "everything went as expected")) << run.out;
    EXPECT_TRUE(Has(run.out, "Second journal collection")) << run.out;
    // Its events with their PLC time; the six stamp values have none.
    const auto stored = StoredEvents((dir.path() / "demo" / "kovra-history.db").string());
    EXPECT_EQ(std::count_if(stored.begin(), stored.end(),
                            [](const Row& row) { return std::get<2>(row) != 0; }),
              14);
    EXPECT_EQ(stored.size(), 20u);
}

TEST_F(HostCollect, ProgressOnATerminalMovesWithTheRecordsReadAndCountsInTheSingular) {
    // New records long enough to take several requests, on a line paced at
    // 9600 baud so that each request outlasts the line's redraw interval.
    dir.writeFile("KOVRA01.INT", "P200X = 02\n");
    ASSERT_EQ(host({"collect", "01"}).status, 0);
    for (int i = 0; i < 84; ++i) {
        add(0x0010, static_cast<std::uint32_t>(i), 26);
    }
    sim.setPacing(true);
    const HostRun run = RunHost(
        {"collect", "01", "--port", port, "--dir", dir.path().string(), "--log-level", "none"},
        nullptr, false, true);
    ASSERT_EQ(run.status, 0) << run.err;

    // Each drawing of the line follows a carriage return and an erase.
    const std::regex drawn(R"(collecting station 01: (\d+) (files?), (\d+) (records?) read, )"
                           R"((\d+) (requests?), \d+ records/s)");
    std::set<int> readWhileTheJournalIsRead;
    bool oneFile = false;
    bool oneRecord = false;
    std::size_t at = 0;
    while ((at = run.err.find("\r\033[K", at)) != std::string::npos) {
        at += 4;
        const std::string text = run.err.substr(at, run.err.find('\r', at) - at);
        if (text.rfind("collecting", 0) != 0) {
            continue;
        }
        std::smatch count;
        ASSERT_TRUE(std::regex_match(text, count, drawn)) << text;
        for (int n = 1; n <= 5; n += 2) {
            EXPECT_EQ(count[n] == "1", count[n + 1].str().back() != 's') << text;
        }
        oneFile = oneFile || count[1] == "1";
        oneRecord = oneRecord || count[3] == "1";
        if (count[1] == "1") {
            readWhileTheJournalIsRead.insert(std::stoi(count[3]));
        }
    }
    EXPECT_TRUE(oneFile && oneRecord) << run.err;
    // The journal's chunks move the count on while the file is read: the
    // record passed on last read again, then the 84 new ones, 24 a request.
    EXPECT_GE(readWhileTheJournalIsRead.size(), 3u) << run.err;
    EXPECT_LE(*readWhileTheJournalIsRead.rbegin(), 85) << run.err;
}

// One working folder, one driver: a second kovra-host there is refused before
// its cold start, naming the process that holds the driver files.
TEST_F(HostCli, ASecondProcessInTheWorkingFolderIsRefused) {
    pid_t first = 0;
    std::thread watching([&] { host({"watch", "0130010", "--every", "0.1"}, true); });
    // The first holds the lock once its process id stands in the lock file.
    const fs::path lock = dir.path() / "KOVRA01H.DAT.lock";
    for (int wait = 0; wait < 200; ++wait) {
        std::ifstream in(lock);
        if (in >> first && first > 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GT(first, 0);
    sim.clearLog();
    const HostRun second = host({"read", "0130010"});
    kill(first, SIGINT);
    watching.join();
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.errLines(), std::vector<std::string>{
                                     "kovra-host: the driver files in " + dir.path().string() +
                                     " are in use by kovra-host process " + std::to_string(first) +
                                     " (KOVRA01H.DAT.lock); wait for it or give another --dir"});
    // Once the first has ended, the folder is free again.
    EXPECT_EQ(host({"read", "0130010"}).status, 0);
}
