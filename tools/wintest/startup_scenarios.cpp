// Scenarios that need no PLC: what the driver tells the host, how it starts
// without a port, on a missing port and on the null device.
#include "check.h"
#include "contract/context.h"
#include "driver_client.h"
#include "host_log.h"
#include "scenarios.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace wintest {
namespace {

constexpr CommSettings k9600_8N1{9600, 8, 0, 0};
constexpr const char* kLastEventFile = "KOVRA01H.DAT";

// Loads the driver or reports why not; the scenario stops when this fails.
bool Load(DriverClient& driver) {
    return Check(driver.loaded(), "KOVRA.dll loads and VpiMain is found by name");
}

// The exact messages since the last clear, in order.
void CheckMessages(const std::vector<std::string>& expected, const std::string& what) {
    if (!Check(Messages() == expected, what)) {
        DumpLog();
    }
}

} // namespace

void DriverInfoScenario() {
    DriverClient driver("KOVRA.dll");
    if (!Load(driver)) {
        return;
    }
    Section("the library exports VpiMain alone, undecorated");
    Check(!driver.exports("_VpiMain") && !driver.exports("VpiMain@4") &&
              !driver.exports("_VpiMain@4"),
          "no decorated variant of VpiMain");

    Section("GetDriverInfo before any start");
    const DriverInfo info = driver.driverInfo();
    CheckEqual(info.driverId, 70, "driverId 70");
    Check(info.driverName != nullptr && std::strcmp(info.driverName, "Perax P200") == 0,
          "driverName \"Perax P200\"");
    // The host's 2500 bytes hold on the 32-bit product; the 64-bit test build
    // has wider pointers and reports its own size.
    constexpr int kContextSize = sizeof(void*) == 4 ? 2500 : int{sizeof(DriverContext)};
    CheckEqual(info.contextSize, kContextSize,
               "contextSize is the context's size (2500 on 32 bits)");
    CheckEqual(info.infoA, 4, "infoA 4");
    CheckEqual(info.infoB, 1, "infoB 1");
    Check(info.defaultSettings.baudRate == 9600 && info.defaultSettings.dataBits == 8 &&
              info.defaultSettings.stopBits == 0 && info.defaultSettings.parity == 0,
          "default line settings 9600 bit/s, 8 data bits, one stop bit, no parity");
    const auto* banner = reinterpret_cast<const unsigned char*>(info.banner);
    if (Check(banner != nullptr, "a banner")) {
        CheckEqual(std::strlen(info.banner), 202, "the banner has 202 characters");
        Check(banner[0] == 0x0D && banner[1] == 0xC9 && banner[66] == 0xBB && banner[67] == 0x0A,
              "it opens with CR and the top line of a code page 437 box");
        Check(std::string(info.banner + 69, 64) ==
                  "  KOVRA :  PERAX   P200, P200X or ARLEQUIN      (32-bit driver) ",
              "its middle line names the driver");
        Check(banner[200] == 0xBC && banner[201] == 0x0D, "it ends with the bottom corner and CR");
    }
    Check(Messages().empty(), "GetDriverInfo logs nothing");

    Section("function codes without handler");
    for (const std::uint32_t code : {0u, 8u, 9u, 16u, 17u, 0xFFFFFFFFu}) {
        CheckEqual(driver.call(code, nullptr), kStatusUnavailable,
                   "function code " + std::to_string(code) + " answers 2");
    }
    Check(Messages().empty(), "and logs nothing");
}

void NoPortScenario() {
    RemoveFile("KOVRA01.INT");
    DriverClient driver("KOVRA.dll");
    if (!Load(driver)) {
        return;
    }
    Section("a cold start with the port disabled");
    CheckEqual(driver.coldStart("COM9", k9600_8N1, false), kStatusDone, "ColdStart answers 0");
    Check(LoggedStartingWith("KOVRA> version compiled on ", kSeverityTrace),
          "the build stamp is logged at 8");
    Check(Logged("KOVRA> ColdStart() no initfile found, defaults used", kSeverityError),
          "no init file: defaults, logged at 32");
    Check(!ReadWholeFile(kLastEventFile), "no last-event file without a port");

    Section("reads and writes without a port");
    HostGate word{"0130010"};
    CheckEqual(driver.singleParse(word, 0), kStatusDone, "0130010 parses as a word gate");
    halvo::ClearRecords();
    auto values = WordArea(0x5A5A);
    CheckEqual(driver.singleRead(word, values), kStatusUnavailable, "a read answers 2");
    CheckEqual(SingleWord(values), 0x5A5A, "and leaves the value area alone");
    CheckEqual(driver.singleWrite(word, values), kStatusRefused, "a write answers 1");
    Check(Messages().empty(), "neither logs anything");

    Section("warm start and end");
    CheckEqual(driver.call(kWarmStart, nullptr), kStatusDone, "WarmStart answers 0");
    CheckMessages({"KOVRA> WarmStart()"}, "and logs \"KOVRA> WarmStart()\" only");
    halvo::ClearRecords();
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi without a port answers 0");
    CheckEqual(driver.coldStart("COM9", k9600_8N1, true), kStatusDone,
               "after EndVpi a cold start answers 0");
    CheckEqual(driver.call(0, nullptr), kStatusDone, "so does function code 0");
    DriverInfo untouched{};
    untouched.driverId = -7;
    CheckEqual(driver.call(kGetDriverInfo, &untouched), kStatusDone, "and GetDriverInfo");
    CheckEqual(untouched.driverId, -7, "which no longer fills the record");
    Check(Messages().empty(), "nothing is logged after EndVpi");
    Check(!ReadWholeFile(kLastEventFile), "and no file was created");
}

void BadPortScenario() {
    DriverClient driver("KOVRA.dll");
    if (!Load(driver)) {
        return;
    }
    Section("a cold start on a port that does not exist");
    CheckEqual(driver.coldStart("COM8", k9600_8N1), kStatusUnavailable, "ColdStart answers 2");
    Check(Logged("KOVRA> ColdStart() error opening COM port", kSeverityError),
          "\"KOVRA> ColdStart() error opening COM port\" at 32");
    Check(!ReadWholeFile(kLastEventFile), "no last-event file");
    CheckEqual(driver.call(kReopenPort, nullptr), kStatusUnavailable,
               "ReopenPort of the same port answers 2");
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi answers 0");
}

void NullDeviceScenario() {
    DriverClient driver("KOVRA.dll");
    if (!Load(driver)) {
        return;
    }
    const std::string folder = CurrentDirectory();
    RemoveFile(kLastEventFile);
    Section("the init file and the last-event file lie in the current directory");
    Check(WriteTextFile("KOVRA01.INT", "COMM_TIMEOUT = 100\r\nIFG = 0\r\nRTSCTS = NO\r\n"),
          "KOVRA01.INT written in " + folder);
    CheckEqual(driver.coldStart("NUL", k9600_8N1), kStatusDone, "ColdStart on NUL answers 0");
    Check(Logged("KOVRA> ColdStart() reading initfile 'KOVRA01.INT'", kSeverityTrace),
          "the driver read KOVRA01.INT");
    Check(!LoggedStartingWith("KOVRA> ReadInitFile() ILLEGAL LINE"),
          "every line of it, CR LF line ends included, is understood");
    Check(Logged("KOVRA> OpenLastHoro() file created: 'KOVRA01H.DAT'", kSeverityTrace),
          "the last-event file is created");
    const auto created = ReadWholeFile(folder + "\\" + kLastEventFile);
    if (Check(created.has_value(), "KOVRA01H.DAT is in " + folder)) {
        CheckEqual(created->size(), 1536, "1536 bytes long");
        Check(std::all_of(created->begin(), created->end(), [](auto b) { return b == 0; }),
              "all of them zero");
    }

    Section("a device that never answers costs four attempts");
    HostGate word{"0130010"};
    CheckEqual(driver.singleParse(word, 0), kStatusDone, "0130010 parses");
    halvo::ClearRecords();
    auto values = WordArea(0x5A5A);
    CheckEqual(driver.singleRead(word, values), kStatusUnavailable, "a read answers 2");
    CheckMessages({"KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 1",
                   "KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 2",
                   "KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 3",
                   "KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 4",
                   "KOVRA> SingleRead() , ret val is 2"},
                  "with a timeout and a retry message per attempt");
    CheckEqual(SingleWord(values), 0x5A5A, "the value area is left alone");
    halvo::ClearRecords();
    values = WordArea(0x1234);
    CheckEqual(driver.singleWrite(word, values), kStatusRefused, "a write answers 1");
    CheckMessages({"KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 1",
                   "KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 2",
                   "KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 3",
                   "KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 4",
                   "KOVRA> SingleWrite() exited, rc= 1"},
                  "with a receive error per attempt");

    Section("closing and reopening the port");
    CheckEqual(driver.call(kClosePort, nullptr), kStatusDone, "ClosePort answers 0");
    CheckEqual(driver.call(kClosePort, nullptr), kStatusDone, "and again 0");
    values = WordArea(0);
    CheckEqual(driver.singleRead(word, values), kStatusUnavailable,
               "a read of a closed port answers 2");
    CheckEqual(driver.call(kReopenPort, nullptr), kStatusDone, "ReopenPort answers 0");
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi closes it and answers 0");
}

} // namespace wintest
