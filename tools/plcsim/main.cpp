// kovra-plcsim: a line of simulated Perax PLCs for the driver to talk to.
#include "plcsim/config.h"
#include "plcsim/journal_config.h"
#include "plcsim/simulator.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include <pthread.h>
#include <signal.h>

namespace {

constexpr const char* kUsage =
    R"(Usage: kovra-plcsim [OPTIONS]

Plays the PLC side of a J-bus line (Modbus RTU framing): one or more Perax
P200 / P200X stations, each with 65536 bits (functions 1, 5), input bits (2),
words (3, 6, 16) and input words (4). Unknown functions are answered with
exception 01, addresses past the end with 02, bad quantities or values with
03. A request with a bad CRC or for a station not on the line gets no reply.

Without --device it creates a pseudo-terminal and prints the path of its slave
side on standard output, alone on the first line: give that path to the
driver as its port name. It runs until interrupted (Ctrl-C).

Options:
  --config FILE          read stations, memory, faults and line from FILE
  --station ADDR[:MODEL] add a station, ADDR in hexadecimal as in gate addresses
                         (01, 1A); MODEL P200 (default) or P200X
  --device PATH          serve this serial device instead of a pseudo-terminal
  --line SPEED:FRAMING   line settings, e.g. 9600:8N1 (the default), 14400:7E1, 1200:5N1.5
  --pace                 hold each reply until request and reply would have
                         crossed the line at the --line speed
  --verbose              print every request and reply on standard error
  --help                 print this text

If no station is configured, station 1 (a P200) is added.

)";

volatile std::sig_atomic_t interrupted = 0;

void OnSignal(int) {
    interrupted = 1;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char piece[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(piece, sizeof piece, text.empty() ? "%02X" : " %02X", byte);
        text += piece;
    }
    return text;
}

int Fail(const std::string& why) {
    std::cerr << "kovra-plcsim: " << why << "\n";
    return 2;
}

struct Options {
    std::string device;
    bool verbose = false;
    bool help = false;
};

// The --station and --line options say what a configuration statement says.
void ConfigureOption(plcsim::Simulator& simulator, const std::string& option, std::string text) {
    std::string statement;
    if (option == "--station") {
        std::string model = "P200";
        if (const auto colon = text.find(':'); colon != std::string::npos) {
            model = text.substr(colon + 1);
            text.erase(colon);
        }
        statement = "station " + text + " " + model;
    } else {
        const auto colon = text.find(':');
        if (colon == std::string::npos) {
            throw plcsim::ConfigError("--line takes SPEED:FRAMING, e.g. 9600:8N1");
        }
        statement = "line " + text.substr(0, colon) + " " + text.substr(colon + 1);
    }
    std::istringstream in(statement);
    plcsim::Configure(simulator, in);
}

Options ReadOptions(plcsim::Simulator& simulator, int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc && !options.help; ++i) {
        const std::string option = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw plcsim::ConfigError(option + " needs a value");
            }
            return argv[++i];
        };
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--config") {
            plcsim::ConfigureFile(simulator, value());
        } else if (option == "--station" || option == "--line") {
            ConfigureOption(simulator, option, value());
        } else if (option == "--device") {
            options.device = value();
        } else if (option == "--pace") {
            simulator.setPacing(true);
        } else if (option == "--verbose") {
            options.verbose = true;
        } else {
            throw plcsim::ConfigError("unknown option " + option + " (see --help)");
        }
    }
    return options;
}

// The simulator's thread inherits the blocked signals, so they reach this
// thread, which waits for them in sigsuspend without a race. Returns the mask
// to wait with.
sigset_t BlockStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t stopSignals;
    sigset_t previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    return previous;
}

void Serve(plcsim::Simulator& simulator, const std::string& device) {
    if (device.empty()) {
        const std::string path = simulator.openPseudoTerminal();
        std::cout << path << std::endl;
        std::cerr << "kovra-plcsim: serving the pseudo-terminal " << path << "\n";
    } else {
        simulator.openDevice(device);
        std::cerr << "kovra-plcsim: serving " << device << "\n";
    }
    simulator.start();
}

} // namespace

int main(int argc, char** argv) {
    plcsim::Simulator simulator;
    Options options;
    try {
        options = ReadOptions(simulator, argc, argv);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    if (options.help) {
        std::cout << kUsage << plcsim::kConfigFormat << "\n" << plcsim::kJournalConfigFormat;
        return 0;
    }

    bool anyStation = false;
    for (int address = 0; address < 256 && !anyStation; ++address) {
        anyStation = simulator.hasStation(static_cast<std::uint8_t>(address));
    }
    if (!anyStation) {
        simulator.addStation(1, plcsim::Model::P200);
    }

    if (options.verbose) {
        simulator.onExchange([](const plcsim::Exchange& exchange) {
            std::cerr << (exchange.crcOk ? "<- " : "<- (bad CRC) ") << Hex(exchange.request)
                      << "\n-> " << (exchange.reply.empty() ? "(nothing)" : Hex(exchange.reply))
                      << "\n";
        });
    }

    simulator.onLineLost(
        [](const std::string& message) { std::cerr << "kovra-plcsim: " << message << std::endl; });

    const sigset_t waitMask = BlockStopSignals();
    try {
        Serve(simulator, options.device);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    while (interrupted == 0) {
        sigsuspend(&waitMask);
    }
    simulator.stop();
    return 0;
}
