// kovra-wintest: a Windows host for KOVRA.dll, run under Wine by
// tests/wine/run.sh. Like Halvo it loads the driver at run time and calls its
// one export, VpiMain; the stand-in host library HALVOPRO.dll, shared with the
// driver, holds the gates and records every message and value the driver
// hands over. Each scenario starts a fresh process (EndVpi silences the
// library for good) in a working directory of its own.
//
// Usage: kovra-wintest <scenario>; exit status 0 when every check passed.
#include "check.h"
#include "driver_client.h"
#include "host_log.h"
#include "scenarios.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Scenario {
    const char* name;
    const char* what;
    void (*run)();
};

const Scenario kScenarios[] = {
    {"info", "driver information and dispatch before any start", wintest::DriverInfoScenario},
    {"noport", "a cold start without a port", wintest::NoPortScenario},
    {"badport", "a cold start on a COM port that does not exist", wintest::BadPortScenario},
    {"nul", "the null device: files in the current directory, silent replies",
     wintest::NullDeviceScenario},
    {"plc", "reads and writes of every memory type on COM9", wintest::PlcScenario},
    {"faults", "silent stations, retries and reply timeouts on COM9", wintest::FaultScenario},
    {"rtscts", "RTS switching on COM9, which a pseudo-terminal refuses", wintest::RtsCtsScenario},
    {"journal", "journal collection, clock setting and the last-event file",
     wintest::JournalScenario},
    {"restart", "a second start resumes from the last-event file", wintest::RestartScenario},
};

int Usage() {
    std::printf("usage: kovra-wintest <scenario>\n");
    for (const auto& scenario : kScenarios) {
        std::printf("  %-8s %s\n", scenario.name, scenario.what);
    }
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return Usage();
    }
    for (const auto& scenario : kScenarios) {
        if (std::strcmp(argv[1], scenario.name) == 0) {
            std::printf("kovra-wintest %s: %s, in %s\n", scenario.name, scenario.what,
                        wintest::CurrentDirectory().c_str());
            halvo::SetLogSink(nullptr);
            scenario.run();
            return wintest::Summary("kovra-wintest");
        }
    }
    return Usage();
}
