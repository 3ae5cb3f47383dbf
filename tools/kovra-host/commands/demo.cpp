// kovra-host demo: the whole way from the host through the driver to two
// simulated PLCs and back, on a pseudo-terminal, told step by step.
#include "commands/common.h"
#include "halvopro/halvopro.h"
#include "output/format.h"
#include "workspace/gates_file.h"

#include "plcsim/journal.h"
#include "plcsim/simulator.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace kovra_host {
namespace {

constexpr int kP200 = 0x01;
constexpr int kP200X = 0x02;
constexpr std::uint16_t kCounterMemo = 0x0020;
constexpr std::uint16_t kLongMemo = 0x0022;

const char* const kInitFile = "P200X = 02\n"
                              "COMM_TIMEOUT = 200\n";

const char* const kGatesFile = "# Station 01, a P200\n"
                               "0130010  word     linear 0.1 0     # temperature, 0.1 degC\n"
                               "0110003  digital                   # pump running\n"
                               "01C0020  long                      # energy counter\n"
                               "# Station 02, a P200X\n"
                               "0230010  word     linear 1 -100    # pressure, mbar\n"
                               "0210005  digital                   # valve open\n"
                               "02C0022  long                      # flow counter\n"
                               "02F0040  float                     # set point\n"
                               "02HA\n02HO\n02HJ\n02HH\n02HM\n02HS\n";

// Local time some minutes and seconds ago, on an even second as PLC stamps are.
std::tm Ago(int minutes, int seconds = 0) {
    std::time_t when = std::time(nullptr) - minutes * 60 - seconds;
    when -= when % 2;
    std::tm local{};
    LocalTime(when, local);
    return local;
}

class Demo {
  public:
    Demo(const CommandLine& line, Console& console) : line_(line), console_(console) {}

    int run() {
        prepareDirectory();
        startLine();
        LineRun run(settings(), console_);
        run.workspace.enter();
        run.workspace.openHistory();
        showDriver(run.session);
        coldStart(run);
        const std::vector<ParsedGate> gates = parseGates(run.session);
        readAndWrite(run.session, gates);
        syncClocks(run.session);
        const std::size_t collected = collectTwice(run.session);
        showStamps(run.session);
        showHistory(*run.workspace.history(), collected);
        run.session.end();
        step("End (function 11)");
        say(failures_ == 0 ? "everything went as expected"
                           : std::to_string(failures_) + " checks failed");
        return failures_ == 0 ? 0 : 1;
    }

  private:
    HostSettings settings() const {
        HostSettings settings = SettingsFrom(line_);
        settings.workspace.directory = directory_;
        settings.session.port = port_;
        settings.session.driverPath = Absolute(settings.session.driverPath);
        settings.workspace.gatesFile.clear();
        settings.workspace.historyFile.clear();
        settings.workspace.keepHistory = true;
        if (!line_.value("log-level")) {
            settings.session.logLevel = 0;
        }
        return settings;
    }

    void showDriver(DriverSession& session) {
        step("Driver information (function 14)");
        const DriverInfo info = session.driverInfo();
        static const char kParity[] = "NOEMS";
        const CommSettings& line = info.defaultSettings;
        say(std::string(info.driverName) + ", id " + std::to_string(info.driverId) + ", context " +
            std::to_string(info.contextSize) + " bytes, default line " +
            std::to_string(line.baudRate) + " baud " + std::to_string(line.dataBits) +
            (line.parity < 5 ? kParity[line.parity] : '?') +
            (line.stopBits == 0   ? "1"
             : line.stopBits == 1 ? "1.5"
                                  : "2"));
        say(Cp437ToUtf8(info.banner));
    }

    void coldStart(LineRun& run) {
        DriverSession& session = run.session;
        step("Cold start (function 1) on " + port_);
        run.workspace.defineGates({});
        run.workspace.checkDriverFiles();
        session.start(run.workspace.guard());
        say("the driver read KOVRA01.INT (station 02 is a P200X) and created KOVRA01H.DAT, its "
            "last-event file");
    }

    std::vector<ParsedGate> parseGates(DriverSession& session) {
        step("Parsing the gates (function 3)");
        const std::vector<std::string> addresses = {"0130010", "0110003", "01C0020", "0230010",
                                                    "0210005", "02C0022", "02F0040"};
        std::vector<ParsedGate> gates;
        Table parsed({"GATE", "STATION", "MEMORY", "ADDRESS", "WIDTH", "HOST TYPE", "COOKING"});
        for (const auto& address : addresses) {
            gates.push_back(session.parse(address));
            const ParsedGate& gate = gates.back();
            char where[16];
            std::snprintf(where, sizeof where, "0x%04X", gate.address.address);
            std::string cooking = "-";
            if (gate.definition.rule == halvo::CookRule::FloatBits) {
                cooking = "float";
            } else if (gate.width != 1) {
                cooking = "linear " + FormatValue(gate.definition.scale);
                if (gate.definition.offset != 0.0) {
                    cooking += " " + FormatValue(gate.definition.offset);
                }
            }
            parsed.add({address, HexByte(static_cast<unsigned>(gate.station())),
                        std::string(1, gate.memoryType()), where, std::to_string(gate.width),
                        HostTypeName(gate.definition.hostType), cooking});
        }
        print(parsed);
        say("(C and F addresses are held halved; the driver doubles them on the wire)");

        return gates;
    }

    void readAndWrite(DriverSession& session, const std::vector<ParsedGate>& gates) {
        step("Reading every gate (function 5)");
        print(readAll(session, gates));

        step("Writing (function 7): temperature 0130010 <- 23.5, pump 0110003 <- 0");
        write(session, gates[0], 23.5);
        write(session, gates[1], 0);
        say("the PLC now holds word 0x0010 = " +
            std::to_string(simulator_.get(kP200, plcsim::Table::Words, 0x0010)) +
            " and bit 0x0003 = " + std::to_string(simulator_.get(kP200, plcsim::Table::Bits, 3)));
        print(readAll(session, {gates[0], gates[1]}));
    }

    void syncClocks(DriverSession& session) {
        step("Clock synchronisation (a read of 02S0000, then of 01S0000)");
        const Outcome synced =
            session.read(session.parse(StationGate(kP200X, kMemoryClock)), "demo");
        check(synced.status == kStatusDone, "the P200X clock is set");
        const auto frames = journals_[1]->clockFrames();
        if (!frames.empty()) {
            const auto& b = frames.back();
            char text[96];
            std::snprintf(text, sizeof text,
                          "station 02 received day %u, month %u, year %u, %02u:%02u:%02u, "
                          "weekday %u",
                          b[0], b[1], 1900u + b[2], b[3], b[4], b[5], b[7]);
            say(text);
        }
        const Outcome refused =
            session.read(session.parse(StationGate(kP200, kMemoryClock)), "demo");
        check(refused.status == kStatusRefused, "the P200 clock is left alone");
        say("station 01 is a P200: the driver sets no clock there (status " +
            std::to_string(refused.status) + ")");
    }

    std::size_t collectTwice(DriverSession& session) {
        step("First journal collection (reads of 01I0000 and 02I0000)");
        const std::size_t first = collect(session);
        check(first == 11, "the first collection passes every event (11)");
        say("the record for J-bus address 0x0099 has no gate: it is kept raw under the undefined\n"
            "counter gate 01C0099 (--strict-gates passes it over, as the host does)");

        step("New events in the PLCs: 1 on station 01, 2 on station 02");
        journals_[0]->appendJournalEvent(0x0010, 236, Ago(1, 4));
        journals_[1]->appendJournalEvent(0x0005, 0, Ago(1, 2));
        journals_[1]->appendMemoValue(kLongMemo, 1234580, Ago(1));

        step("Second journal collection: only what is new");
        const std::size_t second = collect(session);
        check(second == 3, "the second collection passes the 3 new events only");
        return first + second;
    }

    void showStamps(DriverSession& session) {
        step("Last-event stamps of station 02 (a read of the trigger gate 02H0001)");
        const Outcome stamps = session.read(session.parse("02H0001"), "demo");
        check(stamps.status == kStatusDone, "the six stamp gates are set");
        std::string stamp;
        for (const auto& value : stamps.values) {
            stamp += (stamp.empty() ? "" : ", ") + value.gate + " = " + FormatValue(value.value);
        }
        say(stamp + " (year since 1900, month, day, hour, minute, second)");
    }

    void showHistory(HistoryStore& history, std::size_t collected) {
        step("History in kovra-history.db");
        const auto stored = history.values({});
        std::size_t events = 0;
        for (const auto& row : stored) {
            events += row.value.plcTime ? 1 : 0;
        }
        check(events == collected, "the history holds every event once");
        say(std::to_string(events) + " events with their PLC time, " +
            std::to_string(stored.size() - events) + " stamp values; 'kovra-host history --dir " +
            directory_ + "' shows them");
    }

    void prepareDirectory() {
        if (const auto dir = line_.value("dir")) {
            directory_ = fs::absolute(*dir).string();
            std::error_code error;
            fs::create_directories(directory_, error);
            if (error) {
                throw Failure("demo directory " + directory_ + ": " + error.message());
            }
            // The demo's PLCs are new each time; positions and history of an
            // earlier run would not match them.
            for (const char* kept : {"KOVRA01H.DAT", "kovra-history.db"}) {
                if (fs::exists(fs::path(directory_) / kept)) {
                    throw Failure("demo directory " + directory_ + " already holds " + kept +
                                  "; give a new or empty directory");
                }
            }
        } else {
            std::string pattern = (fs::temp_directory_path() / "kovra-demo-XXXXXX").string();
            if (mkdtemp(pattern.data()) == nullptr) {
                throw Failure("cannot make a temporary directory in " +
                              fs::temp_directory_path().string());
            }
            directory_ = pattern;
        }
        writeText(directory_ + "/KOVRA01.INT", kInitFile);
        writeText(directory_ + "/kovra-gates.txt", kGatesFile);
        Print("KOVRA demo: the host, the driver and two simulated PLCs\n");
        Print("Working directory " + directory_);
        Print("  KOVRA01.INT      P200X = 02, COMM_TIMEOUT = 200");
        Print("  kovra-gates.txt  the gates below and station 02's six stamp gates");
    }

    static void writeText(const std::string& path, const char* text) {
        std::ofstream out(path, std::ios::trunc);
        out << text;
        if (!out) {
            throw Failure("cannot write " + path);
        }
    }

    void startLine() {
        simulator_.addStation(kP200, plcsim::Model::P200);
        simulator_.addStation(kP200X, plcsim::Model::P200X);
        simulator_.set(kP200, plcsim::Table::Words, 0x0010, {215});
        simulator_.set(kP200, plcsim::Table::Bits, 0x0003, {1});
        simulator_.setLong(kP200, plcsim::Table::Words, kCounterMemo, 1010);
        simulator_.set(kP200X, plcsim::Table::Words, 0x0010, {1113});
        simulator_.set(kP200X, plcsim::Table::Bits, 0x0005, {1});
        simulator_.setLong(kP200X, plcsim::Table::Words, kLongMemo, 1234567);
        simulator_.setFloat(kP200X, plcsim::Table::Words, 0x0040, 42.25f);

        journals_[0] = std::make_shared<plcsim::StationJournal>(plcsim::Model::P200);
        journals_[1] = std::make_shared<plcsim::StationJournal>(plcsim::Model::P200X);
        for (auto& journal : journals_) {
            journal->addFile({plcsim::kJournalFileNumber, 100, 5, 0x1000});
        }
        journals_[0]->addFile({kCounterMemo, 50, 4, 0x2000});
        journals_[1]->addFile({kLongMemo, 50, 4, 0x2000});

        auto& p200 = *journals_[0];
        p200.appendJournalEvent(0x0010, 210, Ago(120));
        p200.appendJournalEvent(0x0003, 1, Ago(119, 58));
        p200.appendJournalEvent(0x0010, 213, Ago(105));
        p200.appendJournalEvent(0x0099, 7, Ago(100)); // no gate for it
        p200.appendJournalEvent(0x0010, 215, Ago(90));
        p200.appendMemoValue(kCounterMemo, 1000, Ago(120));
        p200.appendMemoValue(kCounterMemo, 1010, Ago(60));
        auto& p200x = *journals_[1];
        p200x.appendJournalEvent(0x0010, 1100, Ago(115));
        p200x.appendJournalEvent(0x0005, 1, Ago(114, 50));
        p200x.appendJournalEvent(0x0010, 1113, Ago(75));
        p200x.appendMemoValue(kLongMemo, 1234567, Ago(60));
        simulator_.addHook(kP200, journals_[0]);
        simulator_.addHook(kP200X, journals_[1]);

        port_ = simulator_.openPseudoTerminal();
        simulator_.start();
        Print("Simulated line on " + port_ +
              ": station 01 (P200) and station 02 (P200X), each with a\n"
              "journal (file 1) and a memo file, already holding events");
    }

    Table readAll(DriverSession& session, const std::vector<ParsedGate>& gates) {
        Table table({"GATE", "VALUE", "RAW"});
        for (const auto& gate : gates) {
            const Outcome outcome = session.read(gate, "demo");
            check(outcome.status == kStatusDone, "read " + gate.definition.address);
            table.add({gate.definition.address, FormatValue(outcome.value),
                       FormatRaw(outcome.raw, gate.width)});
        }
        return table;
    }

    void write(DriverSession& session, const ParsedGate& gate, double value) {
        const auto raw = Uncook(gate.definition, value, gate.width);
        const Outcome outcome = session.write(gate, raw.value_or(0), "demo");
        check(outcome.status == kStatusDone, "write " + gate.definition.address);
        say(gate.definition.address + " <- " + FormatValue(value) + " (raw " +
            FormatRaw(raw.value_or(0), gate.width) + "): status " + std::to_string(outcome.status));
    }

    std::size_t collect(DriverSession& session) {
        std::vector<StoredValue> events;
        for (const int station : {kP200, kP200X}) {
            const Outcome outcome = CollectStation(session, station, "demo",
                                                   [this](const std::string& line) { say(line); });
            check(outcome.status == kStatusDone,
                  "collect station " + HexByte(static_cast<unsigned>(station)));
            check(!outcome.storeError,
                  "store the events of station " + HexByte(static_cast<unsigned>(station)));
            events.insert(events.end(), outcome.values.begin(), outcome.values.end());
        }
        print(EventTable(events));
        return events.size();
    }

    void step(const std::string& title) { Print("\n" + std::to_string(++step_) + ". " + title); }

    void say(const std::string& text) {
        std::string indented = "   ";
        for (const char c : text) {
            indented += c;
            if (c == '\n') {
                indented += "   ";
            }
        }
        Print(indented);
    }

    void print(const Table& table) {
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* memory = open_memstream(&text, &size);
        table.print(memory, false);
        std::fclose(memory);
        std::string body(text, size);
        std::free(text);
        if (!body.empty() && body.back() == '\n') {
            body.pop_back();
        }
        say(body);
    }

    void check(bool holds, const std::string& what) {
        if (!holds) {
            ++failures_;
            console_.line("kovra-host: demo: expected but not seen: " + what);
        }
    }

    const CommandLine& line_;
    Console& console_;
    plcsim::Simulator simulator_;
    std::shared_ptr<plcsim::StationJournal> journals_[2];
    std::string directory_;
    std::string port_;
    int step_ = 0;
    int failures_ = 0;
};

} // namespace

int RunDemo(const CommandLine& line, Console& console) {
    Demo demo(line, console);
    return demo.run();
}

} // namespace kovra_host
