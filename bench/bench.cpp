// kovra-bench: how close KOVRA comes to what the line allows, and what it
// adds to every transaction, as ratios measured side by side in one run.
//
//  - Per transaction: libmodbus's RTU server serves one end of a
//    pseudo-terminal; KOVRA (through VpiMain, reply gap 0) and libmodbus's
//    master take turns on the other end in alternating timed rounds.
//  - A journal at the line's limit: a full P200X journal file collected
//    through an I gate from the PLC simulator pacing the line, against the
//    wire time of every byte plus the configured gap before each request,
//    with the driver's CPU time per record handed to the host.
#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/records.h"
#include "driver/stopping.h"
#include "halvopro/halvopro.h"
#include "plcsim/journal.h"
#include "plcsim/simulator.h"

#include <modbus.h>

#include <fcntl.h>
#include <linux/perf_event.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace kovra;

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr const char* kUsage = R"(Usage: kovra-bench [OPTIONS]

  --rounds N         timed rounds per master and kind (default 5)
  --transactions N   timed transactions per round (default 2000)
  --warmup N         untimed transactions per master before the rounds (default 200)
  --records N        records in the journal file, at most 3600 (default 3600)
  --gap MS           the driver's inter-frame gap for the journal, 0 for none (default 10)
  --baud B           a line speed for the journal, repeatable (default 9600 and 115200)
  --quick            --rounds 3 --transactions 200 --records 600 --baud 115200
  --only transactions|journal
)";

struct Options {
    int rounds = 5;
    int transactions = 2000;
    int warmup = 200;
    unsigned records = 3600;
    unsigned gapMs = 10;
    std::vector<unsigned> bauds;
    bool transactionsPart = true;
    bool journalPart = true;
};

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "kovra-bench: %s\n", why.c_str());
    std::exit(2);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Instructions retired in user space by the calling thread, where the
// machine lets a process count them.
class InstructionCounter {
  public:
    InstructionCounter() {
        perf_event_attr attributes{};
        attributes.type = PERF_TYPE_HARDWARE;
        attributes.size = sizeof attributes;
        attributes.config = PERF_COUNT_HW_INSTRUCTIONS;
        attributes.exclude_kernel = 1;
        attributes.exclude_hv = 1;
        fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attributes, 0, -1, -1, 0));
    }
    ~InstructionCounter() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    InstructionCounter(const InstructionCounter&) = delete;
    InstructionCounter& operator=(const InstructionCounter&) = delete;

    std::optional<std::uint64_t> read() const {
        std::uint64_t count = 0;
        if (fd_ < 0 || ::read(fd_, &count, sizeof count) != sizeof count) {
            return std::nullopt;
        }
        return count;
    }

  private:
    int fd_ = -1;
};

Seconds ThreadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return Seconds(static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9);
}

// A fresh directory that is the current directory while this lives: the
// driver finds its initialisation file there and writes its last-event file.
class Workspace {
  public:
    Workspace() : previous_(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kovra-bench-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            Fail("cannot create a temporary directory");
        }
        path_ = pattern;
        std::filesystem::current_path(path_);
    }
    ~Workspace() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

  private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// Driver number 1, cold-started on a device with an initialisation file, as
// the host does it. The device is reached through a short link, since the
// host's record holds at most 11 characters of port name.
class Driver {
  public:
    Driver(const std::string& device, const std::string& initFile) {
        std::ofstream("KOVRA01.INT") << initFile;
        std::filesystem::create_symlink(device, "plc");
        PortParams params{};
        std::strncpy(params.portName, "./plc", sizeof params.portName - 1);
        params.portEnabled = 1;
        params.settings = CommSettings{9600, 8, 0, 0};
        if (call(kColdStart, &params) != kStatusDone) {
            Fail("the driver does not start on " + device);
        }
    }
    ~Driver() {
        call(kClosePort, nullptr);
        if (context_.lastEventFile != nullptr) {
            std::fclose(context_.lastEventFile);
        }
        std::free(context_.lastEvents);
    }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    int call(std::uint32_t functionCode, void* operationData) {
        VpiRequest request{&context_, functionCode, 1, 0, operationData};
        return VpiMain(&request);
    }

    // Parsed once, as the host does; memory types 1 and I are digital gates.
    GateDescriptor gate(const std::string& address, std::int32_t count, void* values) {
        ParseParams params{};
        params.addressString = address.c_str();
        params.count = count;
        params.gateType =
            address[2] == '1' || address[2] == 'I' ? halvo::kHostDigital : halvo::kHostWord;
        if (call(count == 1 ? kSingleParse : kBlockParse, &params) != kStatusDone) {
            Fail("the driver refuses the gate " + address);
        }
        GateDescriptor descriptor{};
        descriptor.gate = params.gate;
        descriptor.count = count;
        descriptor.values = values;
        return descriptor;
    }

  private:
    DriverContext context_{};
};

// ---------------------------------------------------------------------------
// Per transaction, against libmodbus.

constexpr int kStation = 1;

// A pseudo-terminal: the server holds the master side, the masters open the
// slave side by its path. A keeper holds the slave side open between the
// masters' turns, so the line never hangs up.
struct Line {
    int master = -1;
    int keeper = -1;
    std::string path;
};

Line OpenLine() {
    Line line;
    line.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0) {
        Fail("cannot create a pseudo-terminal");
    }
    line.path = ptsname(line.master);
    line.keeper = open(line.path.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    if (line.keeper < 0 || tcgetattr(line.keeper, &raw) != 0) {
        Fail("cannot open " + line.path);
    }
    cfmakeraw(&raw);
    tcsetattr(line.keeper, TCSANOW, &raw);
    return line;
}

// libmodbus's RTU server on the master side, in a process of its own, as a
// device on the far end of a cable would be.
pid_t StartServer(const Line& line) {
    const pid_t child = fork();
    if (child < 0) {
        Fail("cannot fork the libmodbus server");
    }
    if (child > 0) {
        return child;
    }
    close(line.keeper);
    modbus_t* server = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    modbus_mapping_t* mapping = modbus_mapping_new(MODBUS_MAX_READ_BITS, 0, 200, 0);
    if (server == nullptr || mapping == nullptr || modbus_set_slave(server, kStation) != 0 ||
        modbus_set_socket(server, line.master) != 0) {
        _exit(1);
    }
    for (int i = 0; i < MODBUS_MAX_READ_BITS; ++i) {
        mapping->tab_bits[i] = static_cast<std::uint8_t>(i % 3 == 0);
    }
    for (int i = 0; i < 200; ++i) {
        mapping->tab_registers[i] = static_cast<std::uint16_t>(i * 257);
    }
    std::uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int length = modbus_receive(server, request);
        if (length > 0) {
            modbus_reply(server, request, length, mapping);
        }
    }
}

struct Kind {
    const char* name;
    const char* gate; // KOVRA's gate address
    int count;
    bool bits;
};

constexpr Kind kKinds[] = {
    {"1 register", "0130000", 1, false},
    {"120 registers", "0130000", 120, false},
    {"1920 bits", "0110000", 1920, true},
};

struct KindFigures {
    double kovraUs = 0;
    double libmodbusUs = 0;
    double ratio = 0;
    double ratioMin = 0;
    double ratioMax = 0;
    std::optional<double> kovraInstructions; // per transaction, user space
    std::optional<double> libmodbusInstructions;
};

// Times `count` transactions; returns each one's duration in microseconds and
// adds the user-space instructions they took to `instructions`.
std::vector<double> TimeTransactions(int count, const std::function<bool()>& transaction,
                                     const InstructionCounter& counter,
                                     std::optional<double>& instructions) {
    std::vector<double> durations;
    durations.reserve(static_cast<std::size_t>(count));
    const auto before = counter.read();
    for (int i = 0; i < count; ++i) {
        const auto begin = Clock::now();
        if (!transaction()) {
            Fail("a transaction failed");
        }
        durations.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
    const auto after = counter.read();
    if (before && after) {
        instructions = static_cast<double>(*after - *before) / count;
    }
    return durations;
}

std::vector<KindFigures> MeasureTransactions(const Options& options) {
    Workspace workspace;
    const Line line = OpenLine();
    const pid_t server = StartServer(line);
    close(line.master);

    Driver driver(line.path, "IFG = 0\n");
    modbus_t* master = modbus_new_rtu(line.path.c_str(), 115200, 'N', 8, 1);
    if (master == nullptr || modbus_set_slave(master, kStation) != 0) {
        Fail("libmodbus master: " + std::string(modbus_strerror(errno)));
    }
    const InstructionCounter counter;
    std::vector<std::uint8_t> values(512);
    std::vector<std::uint16_t> registers(MODBUS_MAX_READ_REGISTERS);
    std::vector<std::uint8_t> bits(MODBUS_MAX_READ_BITS);

    std::vector<KindFigures> figures;
    for (const Kind& kind : kKinds) {
        GateDescriptor descriptor = driver.gate(kind.gate, kind.count, values.data());
        const std::uint32_t function = kind.count == 1 ? kSingleRead : kBlockRead;
        const auto kovra = [&] { return driver.call(function, &descriptor) == kStatusDone; };
        const auto libmodbus = [&] {
            const int read = kind.bits
                                 ? modbus_read_bits(master, 0, kind.count, bits.data())
                                 : modbus_read_registers(master, 0, kind.count, registers.data());
            return read == kind.count;
        };
        // Each master has the line to itself for its round: KOVRA opens its
        // port for exclusive use.
        const auto kovraRound = [&](int count, std::optional<double>& instructions) {
            if (driver.call(kReopenPort, nullptr) != kStatusDone) {
                Fail("the driver does not reopen its port");
            }
            auto durations = TimeTransactions(count, kovra, counter, instructions);
            driver.call(kClosePort, nullptr);
            return durations;
        };
        const auto libmodbusRound = [&](int count, std::optional<double>& instructions) {
            if (modbus_connect(master) != 0) {
                Fail("libmodbus master: " + std::string(modbus_strerror(errno)));
            }
            auto durations = TimeTransactions(count, libmodbus, counter, instructions);
            modbus_close(master);
            return durations;
        };

        KindFigures kindFigures;
        kovraRound(options.warmup, kindFigures.kovraInstructions);
        libmodbusRound(options.warmup, kindFigures.libmodbusInstructions);
        std::vector<double> kovraAll;
        std::vector<double> libmodbusAll;
        std::vector<double> ratios;
        for (int round = 0; round < options.rounds; ++round) {
            const auto a = kovraRound(options.transactions, kindFigures.kovraInstructions);
            const auto b = libmodbusRound(options.transactions, kindFigures.libmodbusInstructions);
            ratios.push_back(Median(a) / Median(b));
            kovraAll.insert(kovraAll.end(), a.begin(), a.end());
            libmodbusAll.insert(libmodbusAll.end(), b.begin(), b.end());
        }
        kindFigures.kovraUs = Median(kovraAll);
        kindFigures.libmodbusUs = Median(libmodbusAll);
        kindFigures.ratio = Median(ratios);
        kindFigures.ratioMin = *std::min_element(ratios.begin(), ratios.end());
        kindFigures.ratioMax = *std::max_element(ratios.begin(), ratios.end());
        figures.push_back(kindFigures);
        driver.call(kReopenPort, nullptr);
    }

    modbus_free(master);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    close(line.keeper);
    return figures;
}

// ---------------------------------------------------------------------------
// A journal at the line's limit.

constexpr std::uint8_t kJournalStation = 5;
constexpr std::uint16_t kEventVariable = 0x0010;

struct JournalFigures {
    unsigned baud = 0;
    std::size_t requests = 0;
    std::size_t bytes = 0;
    double bound = 0;            // s: wire time of every byte and the gap before each request
    double measured = 0;         // s: the I gate's read, call to return
    double beforeFirst = 0;      // s: from the call to the first request, beyond its gap
    double betweenExchanges = 0; // s: from each reply to the next request, beyond the gap
    double lateReplies = 0;      // s: replies held past their wire time by the simulator
    double afterLast = 0;        // s: from the last reply to the return
    double cpuUsPerRecord = 0;
    std::optional<double> instructionsPerRecord;
};

JournalFigures CollectJournal(const Options& options, unsigned baud) {
    Workspace workspace;
    plcsim::Simulator plc;
    // 8N1: ten bits a byte.
    const plcsim::LineSettings lineSettings{
        .baudRate = baud, .dataBits = 8, .parity = 'N', .halfStopBits = 2};
    plc.setLine(lineSettings);
    plc.setPacing(true);
    plc.addStation(kJournalStation, plcsim::Model::P200X);
    const auto journal = plcsim::JournalOf(plc, kJournalStation);
    const auto records = static_cast<std::uint16_t>(options.records);
    journal->addFile({plcsim::kJournalFileNumber, records, 5, plcsim::kDefaultFirstRecordRegister});
    // Wednesday 28 May 2025, 13:45:30 UTC, two seconds a record.
    const std::time_t first = 1748439930;
    for (unsigned k = 0; k < options.records; ++k) {
        const std::time_t when = first + 2 * static_cast<std::time_t>(k);
        std::tm local{};
        localtime_r(&when, &local);
        journal->appendJournalEvent(kEventVariable, k, local);
    }
    const std::string path = plc.openPseudoTerminal();
    {
        // The simulator's thread, which inherits the slack, holds each reply
        // to the microsecond rather than to the system's default 50 us of
        // timer slack and more: its lateness is the instrument's, not the
        // driver's. The driver keeps the calling thread's default.
        const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        plc.start();
        if (slack > 0) {
            prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
        }
    }

    halvo::Reset();
    halvo::SetLogSink(nullptr);
    char address[8];
    std::snprintf(address, sizeof address, "%02X3%04X", kJournalStation, kEventVariable);
    halvo::DefineGate(halvo::Gate{0, address, halvo::kHostWord});

    Driver driver(path, "IFG = " + std::to_string(options.gapMs) + "\nP200X = 05\n");
    std::uint8_t values[8] = {};
    std::snprintf(address, sizeof address, "%02XI0000", kJournalStation);
    GateDescriptor descriptor = driver.gate(address, 1, values);
    plc.clearLog();
    halvo::ClearRecords();

    const InstructionCounter counter;
    const auto instructionsBefore = counter.read();
    const Seconds cpuBefore = ThreadCpuTime();
    const auto begin = Clock::now();
    const int status = driver.call(kSingleRead, &descriptor);
    const auto end = Clock::now();
    const Seconds cpu = ThreadCpuTime() - cpuBefore;
    const auto instructionsAfter = counter.read();
    if (status != kStatusDone || halvo::History().size() != options.records) {
        Fail("the journal collection at " + std::to_string(baud) + " bit/s passed on " +
             std::to_string(halvo::History().size()) + " records, status " +
             std::to_string(status));
    }
    plc.stop();

    JournalFigures figures;
    figures.baud = baud;
    const Seconds characterTime(static_cast<double>(lineSettings.halfBitsPerCharacter()) /
                                (2.0 * baud));
    const Seconds gap(options.gapMs / 1000.0);
    auto previous = begin; // the call, then each reply as it went out
    for (const plcsim::Exchange& exchange : plc.exchanges()) {
        if (!exchange.replied) {
            Fail("a request went unanswered");
        }
        const std::size_t bytes = exchange.request.size() + exchange.reply.size();
        const Seconds wire = characterTime * static_cast<double>(bytes);
        const double slack = (Seconds(exchange.begin - previous) - gap).count();
        (figures.requests == 0 ? figures.beforeFirst : figures.betweenExchanges) += slack;
        figures.lateReplies += (Seconds(*exchange.replied - exchange.begin) - wire).count();
        figures.bound += (gap + wire).count();
        figures.bytes += bytes;
        ++figures.requests;
        previous = *exchange.replied;
    }
    figures.afterLast = Seconds(end - previous).count();
    figures.measured = Seconds(end - begin).count();
    figures.cpuUsPerRecord = cpu.count() * 1e6 / options.records;
    if (instructionsBefore && instructionsAfter) {
        figures.instructionsPerRecord =
            static_cast<double>(*instructionsAfter - *instructionsBefore) / options.records;
    }
    return figures;
}

// ---------------------------------------------------------------------------

std::string MachineText() {
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + model;
}

std::string Instructions(const std::optional<double>& count) {
    if (!count) {
        return "n/a";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", *count);
    return text;
}

void Print(const Options& options, const std::vector<KindFigures>& transactions,
           const std::vector<JournalFigures>& journals) {
    std::printf("kovra-bench on %s\n", MachineText().c_str());
    if (!transactions.empty()) {
        std::printf("\nPer transaction, libmodbus RTU server on a pseudo-terminal, %d alternating "
                    "rounds of %d after %d warm-up\n",
                    options.rounds, options.transactions, options.warmup);
        std::printf("%-14s %10s %12s %16s %13s %14s %14s\n", "kind", "KOVRA us", "libmodbus us",
                    "KOVRA/libmodbus", "rounds range", "KOVRA instr", "libmodbus instr");
        for (std::size_t i = 0; i < transactions.size(); ++i) {
            const KindFigures& f = transactions[i];
            char range[32];
            std::snprintf(range, sizeof range, "%.3f-%.3f", f.ratioMin, f.ratioMax);
            std::printf("%-14s %10.1f %12.1f %16.3f %13s %14s %14s\n", kKinds[i].name, f.kovraUs,
                        f.libmodbusUs, f.ratio, range, Instructions(f.kovraInstructions).c_str(),
                        Instructions(f.libmodbusInstructions).c_str());
        }
    }
    if (!journals.empty()) {
        std::printf("\nJournal of %u records of 5 words through an I gate, paced simulator, "
                    "gap %u ms; times in seconds\n",
                    options.records, options.gapMs);
        std::printf("%-7s %8s %7s %8s %9s %14s %12s %9s %12s %11s %11s %13s\n", "baud", "requests",
                    "bytes", "bound", "measured", "measured/bound", "before first", "between",
                    "late replies", "after last", "CPU us/rec", "instr/record");
        for (const JournalFigures& f : journals) {
            std::printf("%-7u %8zu %7zu %8.3f %9.3f %14.4f %12.4f %9.4f %12.4f %11.4f %11.1f "
                        "%13s\n",
                        f.baud, f.requests, f.bytes, f.bound, f.measured, f.measured / f.bound,
                        f.beforeFirst, f.betweenExchanges, f.lateReplies, f.afterLast,
                        f.cpuUsPerRecord, Instructions(f.instructionsPerRecord).c_str());
        }
    }
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto number = [&](unsigned long least = 1) -> unsigned long {
            if (i + 1 >= argc) {
                Fail(option + " needs a value");
            }
            char* end = nullptr;
            const unsigned long value = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || value < least) {
                Fail(option + " takes a number of at least " + std::to_string(least));
            }
            return value;
        };
        if (option == "--rounds") {
            options.rounds = static_cast<int>(number());
        } else if (option == "--transactions") {
            options.transactions = static_cast<int>(number());
        } else if (option == "--warmup") {
            options.warmup = static_cast<int>(number());
        } else if (option == "--records") {
            options.records = static_cast<unsigned>(std::min(number(), 3600ul));
        } else if (option == "--gap") {
            options.gapMs = static_cast<unsigned>(number(0));
        } else if (option == "--baud") {
            options.bauds.push_back(static_cast<unsigned>(number()));
        } else if (option == "--quick") {
            options.rounds = 3;
            options.transactions = 200;
            options.records = 600;
            options.bauds = {115200};
        } else if (option == "--only" && i + 1 < argc) {
            const std::string part = argv[++i];
            options.transactionsPart = part == "transactions";
            options.journalPart = part == "journal";
        } else {
            std::fputs(kUsage, option == "--help" ? stdout : stderr);
            std::exit(option == "--help" ? 0 : 2);
        }
    }
    if (options.bauds.empty()) {
        options.bauds = {9600, 115200};
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    halvo::SetLogSink(nullptr);
    // PLC stamps read as plain UTC seconds.
    setenv("TZ", "UTC0", 1);
    tzset();
    std::vector<KindFigures> transactions;
    std::vector<JournalFigures> journals;
    // First, while the process has no thread: the server is a forked child.
    if (options.transactionsPart) {
        transactions = MeasureTransactions(options);
    }
    if (options.journalPart) {
        for (const unsigned baud : options.bauds) {
            journals.push_back(CollectJournal(options, baud));
        }
    }
    Print(options, transactions, journals);
    return 0;
}
