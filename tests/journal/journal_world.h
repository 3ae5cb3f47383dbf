// The world of the journal and clock tests: a driver (driver number 1) cold-
// started on a line served by the PLC simulator, station 5 a P200X and
// station 6 a P200, each with a journal hook for its files and clock; local
// time is UTC, so PLC stamps read as plain UTC seconds.
#pragma once

#include "plcsim/journal.h"
#include "plcsim/simulator.h"
#include "support/driver_line.h"
#include "support/plc_line.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kovra {

class JournalWorld : public DriverOnLine {
  protected:
    // Wednesday 28 May 2025, 13:45:30 UTC.
    static constexpr std::time_t kFirstStamp = 1748439930;
    static constexpr std::uint8_t kP200X = 5;
    static constexpr std::uint8_t kP200 = 6;

    JournalWorld() {
        setenv("TZ", "UTC0", 1);
        tzset();
        plc().addStation(kP200X, plcsim::Model::P200X);
        plc().addStation(kP200, plcsim::Model::P200);
        journal(kP200X);
        journal(kP200);
    }

    // Cold-starts the driver on the simulator's line (or on `device`) with
    // station 5 a P200X and the further initialisation lines given.
    void start(const std::string& moreInit = "", const std::string& device = "") {
        ASSERT_EQ(
            startDriver(device.empty() ? line_.path() : device, "IFG = 0\nP200X = 05\n" + moreInit),
            kStatusDone);
        setReplyTimeout(5); // 50 ms
        halvo::ClearRecords();
    }

    // A new driver instance cold-started in the same directory on the same
    // line, as after a restart of the host.
    void restart() {
        call(kClosePort, nullptr);
        ReleaseLastEvents(context());
        context() = DriverContext{};
        PortParams params{};
        std::strncpy(params.portName, "./plc", sizeof params.portName - 1);
        params.portEnabled = 1;
        params.settings = CommSettings{9600, 8, 0, 0};
        ASSERT_EQ(call(kColdStart, &params), kStatusDone);
        setReplyTimeout(5);
        halvo::ClearRecords();
    }

    plcsim::Simulator& plc() { return line_.plc(); }
    plcsim::StationJournal& journal(std::uint8_t station) {
        return *plcsim::JournalOf(plc(), station);
    }

    static unsigned DefineGate(const std::string& address, int hostType = halvo::kHostWord) {
        return halvo::DefineGate(halvo::Gate{0, address, hostType});
    }

    // The PLC local time of the k-th stamp, two seconds apart.
    static std::tm At(int k) {
        const std::time_t when = kFirstStamp + 2 * k;
        std::tm local{};
        gmtime_r(&when, &local);
        return local;
    }
    static std::string Passed(const std::string& address, double value, int k) {
        char text[64];
        std::snprintf(text, sizeof text, "%s=%.0f@%lld", address.c_str(), value,
                      static_cast<long long>(kFirstStamp + 2 * k));
        return text;
    }

    // Reads (or writes) the station's gate of memory type I or S, with a clean
    // request log, host log and history.
    int access(const std::string& address, std::uint32_t functionCode = kSingleRead) {
        GateDescriptor descriptor = gate(address, 1, values_.data());
        plc().clearLog();
        halvo::ClearRecords();
        return call(functionCode, &descriptor);
    }
    int collect(std::uint8_t station) {
        char address[8];
        std::snprintf(address, sizeof address, "%02XI0000", station);
        return access(address);
    }

    // What the host's history received: "address=value@time", in order.
    static std::vector<std::string> passed() {
        std::vector<std::string> entries;
        for (const auto& entry : halvo::History()) {
            char text[64];
            std::snprintf(text, sizeof text, "%s=%.0f@%d", entry.address.c_str(), entry.value,
                          entry.time);
            entries.push_back(text);
        }
        return entries;
    }

    // A request frame in short: "R 0900 120" (function 3, start, quantity),
    // "W 0100 0001" (function 6, register, value), "B 0001 4" (function 16,
    // start, quantity).
    static std::string Summary(const std::vector<std::uint8_t>& frame) {
        const unsigned start = frame[2] << 8 | frame[3];
        const unsigned word = frame[4] << 8 | frame[5];
        char text[32];
        const char* format = frame[1] == 3    ? "R %04X %u"
                             : frame[1] == 6  ? "W %04X %04X"
                             : frame[1] == 16 ? "B %04X %u"
                                              : "? %04X %04X";
        std::snprintf(text, sizeof text, format, start, word);
        return text;
    }
    // The requests the simulator received, in short.
    std::vector<std::string> wire() {
        std::vector<std::string> summary;
        for (const auto& frame : plc().requests()) {
            summary.push_back(Summary(frame));
        }
        return summary;
    }

    // The last-event file's bytes.
    static std::vector<std::uint8_t> lastEventFile() {
        std::ifstream in("KOVRA01H.DAT", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    SimulatedLine line_;
    std::array<std::uint8_t, 8> values_{};
};

} // namespace kovra
