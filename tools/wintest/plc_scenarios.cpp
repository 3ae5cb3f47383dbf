// Scenarios on COM9 with the PLC simulator on the far end. The values checked
// here are the ones that tests/wine/plc.conf gives the simulated stations:
// station 1 is a P200, station 5 a P200X (so says each scenario's init file),
// station 0x22 does not exist and stays silent.
#include "check.h"
#include "driver_client.h"
#include "host_log.h"
#include "link/wire_time.h"
#include "scenarios.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace wintest {
namespace {

using Clock = std::chrono::steady_clock;
using Values = std::vector<std::uint8_t>;

constexpr CommSettings k19200_8N1{19200, 8, 0, 0};

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool Start(DriverClient& driver, const std::string& initFile) {
    if (!Check(driver.loaded(), "KOVRA.dll loads and VpiMain is found by name")) {
        return false;
    }
    if (!Check(WriteTextFile("KOVRA01.INT", initFile), "KOVRA01.INT written")) {
        return false;
    }
    const int status = driver.coldStart("COM9", k19200_8N1);
    if (!CheckEqual(status, kStatusDone, "ColdStart on COM9 at 19200 bit/s answers 0")) {
        DumpLog();
        return false;
    }
    Check(Logged("KOVRA> ColdStart() reading initfile 'KOVRA01.INT'", kSeverityTrace),
          "the init file of the current directory was read");
    halvo::ClearRecords();
    return true;
}

// Parses a gate the host way; count 1 with SingleParse, else BlockParse.
HostGate Gate(DriverClient& driver, const std::string& address, std::int32_t gateType,
              std::int32_t count = 1) {
    HostGate gate{address};
    const int status =
        count == 1 ? driver.singleParse(gate, gateType) : driver.blockParse(gate, count);
    CheckEqual(status, kStatusDone, address + " parses");
    return gate;
}

// A single read that must succeed; returns the value area.
Values ReadOne(DriverClient& driver, const HostGate& gate) {
    Values values(4, 0xEE);
    if (!CheckEqual(driver.singleRead(gate, values), kStatusDone, "reading " + gate.address)) {
        DumpLog();
    }
    return values;
}

Values ReadBlock(DriverClient& driver, const HostGate& gate, std::size_t bytes) {
    Values values(bytes, 0xEE);
    if (!CheckEqual(driver.blockRead(gate, values), kStatusDone,
                    "reading " + std::to_string(gate.count) + " from " + gate.address)) {
        DumpLog();
    }
    return values;
}

void CheckSingleReads(DriverClient& driver) {
    Section("single reads of every memory type");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0130010", 0))), 0x1234,
               "word 0x0010 of station 1 is 0x1234");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0140020", 1))), 0x4321,
               "input word 0x0020 is 0x4321");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0110010", 6))), 1, "bit 0x0010 is 1");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0110011", 6))), 0, "bit 0x0011 is 0");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0120030", 6))), 1, "input bit 0x0030 is 1");
    CheckEqual(SingleLong(ReadOne(driver, Gate(driver, "01C0040", 4))), 0x345678,
               "counter 0x0040 (registers 12 34 56 78) keeps 24 bits: 0x345678");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "01300102", 6))), 1,
               "bit 2 of word 0x0010 (0x1234) is 1");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "01300103", 6))), 0, "bit 3 is 0");
    const Values flt = ReadOne(driver, Gate(driver, "05F0020", 3));
    float number = 0;
    std::memcpy(&number, flt.data(), sizeof number);
    CheckEqual(SingleLong(flt), 0x41200000u, "float 0x0020 of the P200X is the pattern 0x41200000");
    Check(number == 10.0f, "which is 10.0");
    HostGate refused{"01F0020"};
    CheckEqual(driver.singleParse(refused, 3), kStatusRefused,
               "a float gate on the P200 is refused");
    Check(Logged("KOVRA> Parse() float gates only supported on P200X", kSeverityTrace),
          "with its message");
}

void CheckBlockReads(DriverClient& driver) {
    Section("block reads");
    const Values words = ReadBlock(driver, Gate(driver, "0130010", 0, 3), 6);
    Check(BlockWord(words, 0) == 0x1234 && BlockWord(words, 1) == 0xABCD &&
              BlockWord(words, 2) == 0x0008,
          "3 words from 0x0010: 0x1234, 0xABCD, 0x0008");
    const Values bits = ReadBlock(driver, Gate(driver, "0110010", 6, 10), 4);
    Check(bits[0] == 0x05 && (bits[1] & 0x03) == 0x02 && bits[2] == 0xEE,
          "10 bits from 0x0010 (1 0 1 0 0 0 0 0 0 1) fill 2 bytes: 05 02");
    const Values longs = ReadBlock(driver, Gate(driver, "05F0020", 3, 2), 8);
    Check(BlockLong(longs, 0) == 0x41200000u && BlockLong(longs, 1) == 0x3F800000u,
          "2 floats from 0x0020: 10.0 and 1.0");
    const Values counters = ReadBlock(driver, Gate(driver, "01C0040", 4, 2), 8);
    Check(BlockLong(counters, 0) == 0x345678u && BlockLong(counters, 1) == 0x000102u,
          "2 counters from 0x0040: 0x345678 and 0x000102");
    const Values many = ReadBlock(driver, Gate(driver, "0130100", 0, 120), 240);
    bool ramp = true;
    for (std::size_t i = 0; i < 120; ++i) {
        ramp = ramp && BlockWord(many, i) == 0x0100 + i;
    }
    Check(ramp, "the largest block, 120 words from 0x0100, holds 0x0100 to 0x0177");
}

void CheckWrites(DriverClient& driver) {
    Section("writes, read back");
    const HostGate word = Gate(driver, "0130050", 0);
    Values value = WordArea(0xBEEF);
    CheckEqual(driver.singleWrite(word, value), kStatusDone, "writing 0xBEEF to word 0x0050");
    CheckEqual(SingleWord(ReadOne(driver, word)), 0xBEEF, "reads back 0xBEEF");
    const HostGate bit = Gate(driver, "0110050", 6);
    value = WordArea(7);
    CheckEqual(driver.singleWrite(bit, value), kStatusDone, "writing 7 to bit 0x0050");
    CheckEqual(SingleWord(ReadOne(driver, bit)), 1, "sets it: reads back 1");
    value = WordArea(0);
    CheckEqual(driver.singleWrite(bit, value), kStatusDone, "writing 0");
    CheckEqual(SingleWord(ReadOne(driver, bit)), 0, "clears it");

    Section("a last-query gate is written as the register of its letter");
    value = WordArea(0x0042);
    CheckEqual(driver.singleWrite(Gate(driver, "01HA", 0), value), kStatusDone,
               "writing 0x0042 to 01HA");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0130041", 0))), 0x0042,
               "lands in register 0x0041, the code of A");

    Section("the one block write the host may send: four words");
    const HostGate four = Gate(driver, "0130060", 0, 4);
    Values bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    CheckEqual(driver.blockWrite(four, bytes), kStatusDone, "writing 4 words from 0x0060");
    const Values back = ReadBlock(driver, four, 8);
    Check(BlockWord(back, 0) == 0x1234 && BlockWord(back, 1) == 0x5678 &&
              BlockWord(back, 2) == 0x9ABC && BlockWord(back, 3) == 0xDEF0,
          "its 8 bytes, sent in wire order, read back as 0x1234 0x5678 0x9ABC 0xDEF0");
    halvo::ClearRecords();
    CheckEqual(driver.blockWrite(Gate(driver, "0130060", 0, 3), bytes), kStatusRefused,
               "a block write of 3 words answers 1");
    Check(Logged("KOVRA> BlockWrite() not supported", kSeverityTrace), "with its message");

    Section("writes the driver refuses");
    halvo::ClearRecords();
    for (const auto& [address, type] : {std::pair{"0120030", 6}, std::pair{"0140020", 0},
                                        std::pair{"01C0040", 4}, std::pair{"05F0020", 3}}) {
        value = WordArea(1);
        CheckEqual(driver.singleWrite(Gate(driver, address, type), value), kStatusRefused,
                   std::string("writing ") + address + " answers 1");
    }
    CheckEqual(CountLogged("KOVRA> SingleWrite() not allowed for types '2', '4', 'C', 'F' and 'I'",
                           kSeverityTrace),
               4, "each with its message");
    value = WordArea(1);
    CheckEqual(driver.singleWrite(Gate(driver, "01300102", 6), value), kStatusRefused,
               "writing a bit of a word answers 1");
    Check(Logged("KOVRA> SingleWrite() not allowed for spec. dig gates", kSeverityTrace),
          "with its message");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0130010", 0))), 0x1234,
               "the word of that bit is unchanged");
}

void CheckClock(DriverClient& driver) {
    Section("clock synchronisation of the P200X");
    const HostGate clock = Gate(driver, "05S0000", 6);
    Values unused(4, 0);
    CheckEqual(driver.singleRead(clock, unused), kStatusDone, "reading 05S0000 sets the clock");
    const std::time_t now = std::time(nullptr);
    const std::tm local = *std::localtime(&now);
    const Values registers = ReadBlock(driver, Gate(driver, "0530001", 0, 4), 8);
    const unsigned day = BlockWord(registers, 0) >> 8;
    const unsigned month = BlockWord(registers, 0) & 0xFF;
    const unsigned year = BlockWord(registers, 1) >> 8;
    const unsigned weekday = BlockWord(registers, 3) & 0xFF;
    Check(day == static_cast<unsigned>(local.tm_mday) &&
              month == static_cast<unsigned>(local.tm_mon + 1) &&
              year == static_cast<unsigned>(local.tm_year & 0xFF) &&
              weekday == static_cast<unsigned>(local.tm_wday),
          "registers 1 to 4 hold today's date and weekday");
    Check((BlockWord(registers, 3) >> 8) == 0, "and a zero byte before the weekday");
    halvo::ClearRecords();
    CheckEqual(driver.singleRead(Gate(driver, "01S0000", 6), unused), kStatusRefused,
               "the P200 clock is not set: 1");
    Check(Logged("KOVRA> SyncClocks() only supported on P200-X", kSeverityTrace),
          "with its message");
}

// The nine messages of a read whose four attempts all time out.
std::vector<std::string> SilentReadMessages() {
    std::vector<std::string> messages;
    for (int attempt = 1; attempt <= 4; ++attempt) {
        messages.push_back("KOVRA> Receive() timeout 1");
        messages.push_back("KOVRA> DoRead() error reading reply, retry " + std::to_string(attempt));
    }
    messages.push_back("KOVRA> SingleRead() , ret val is 2");
    return messages;
}

} // namespace

void PlcScenario() {
    DriverClient driver("KOVRA.dll");
    if (!Start(driver, "P200X = 05\r\nCOMM_TIMEOUT = 500\r\n")) {
        return;
    }
    CheckSingleReads(driver);
    CheckBlockReads(driver);
    CheckWrites(driver);
    CheckClock(driver);
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi closes the port: 0");
}

void FaultScenario() {
    DriverClient driver("KOVRA.dll");
    if (!Start(driver, "COMM_TIMEOUT = 100\r\nIFG = 5\r\n")) {
        return;
    }
    Section("a silent station costs four timeouts of COMM_TIMEOUT");
    const HostGate silent = Gate(driver, "2230010", 0);
    halvo::ClearRecords();
    Values values = WordArea(0x5A5A);
    auto start = Clock::now();
    CheckEqual(driver.singleRead(silent, values), kStatusUnavailable, "reading station 0x22: 2");
    long spent = MillisecondsSince(start);
    Check(Messages() == SilentReadMessages(), "four timeouts, four retries, then the result");
    // Twice the time is allowed for the inter-frame gaps and a loaded machine.
    Check(spent >= 4 * 100 && spent < 4 * 200,
          "four 100 ms timeouts, not the 1000 ms default (" + std::to_string(spent) + " ms)");
    CheckEqual(SingleWord(values), 0x5A5A, "the value area is left alone");

    halvo::ClearRecords();
    values = WordArea(1);
    CheckEqual(driver.singleWrite(silent, values), kStatusRefused, "writing to it: 1");
    CheckEqual(CountLogged("KOVRA> DoWrite() receive error, retry 4", kSeverityTrace), 1,
               "after the fourth receive error");
    Check(Logged("KOVRA> SingleWrite() exited, rc= 1", kSeverityTrace), "and the exit message");

    Section("the next request after a silent station is answered");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0130010", 0))), 0x1234,
               "station 1 still answers 0x1234");

    Section("three corrupted CRCs, then a good reply");
    halvo::ClearRecords();
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "3130010", 0))), 0x3131,
               "station 0x31 is read on the fourth attempt");
    Check(Messages() == std::vector<std::string>{"KOVRA> DoRead() crc error, retry 1",
                                                 "KOVRA> DoRead() crc error, retry 2",
                                                 "KOVRA> DoRead() crc error, retry 3"},
          "after three CRC errors");

    Section("an exception reply is not retried");
    const HostGate excepting = Gate(driver, "3230010", 0);
    halvo::ClearRecords();
    values = WordArea(0x5A5A);
    CheckEqual(driver.singleRead(excepting, values), kStatusRefused, "station 0x32: 1");
    Check(Messages() == std::vector<std::string>{"KOVRA> DoRead() plc sent 0x80 => error",
                                                 "KOVRA> DoRead() received 0x80 error code, 02h",
                                                 "KOVRA> SingleRead() , ret val is 1"},
          "with the exception code, after one attempt");
    CheckEqual(SingleWord(ReadOne(driver, excepting)), 0x3232, "the next read gets 0x3232");

    Section("replies from another station are refused");
    halvo::ClearRecords();
    CheckEqual(driver.singleRead(Gate(driver, "3330010", 0), values), kStatusRefused,
               "station 0x33 answering as 0x34: 1");
    CheckEqual(CountLogged("KOVRA> DoRead() wrong plcaddr 52 of rcv. mess., retry 4"), 1,
               "after four wrong-station replies");

    Section("replies cut short");
    halvo::ClearRecords();
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "3530010", 0))), 0x3535,
               "station 0x35, once sending its station byte only, is read");
    Check(Logged("KOVRA> Receive() wrong length reading header", kSeverityTrace),
          "after a short header");
    halvo::ClearRecords();
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "3630010", 0))), 0x3636,
               "station 0x36, once stopping after the first data byte, is read");
    Check(Logged("KOVRA> Receive() wrong length last data part message", kSeverityTrace),
          "after a short data part");

    Section("a late reply is discarded before the next request");
    halvo::ClearRecords();
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "3730010", 0))), 0x1111,
               "station 0x37, late once, is read on a later attempt");
    CheckEqual(CountLogged("KOVRA> DoRead() error reading reply, retry 1"), 1,
               "after the first attempt timed out");
    // The replies to the attempts that timed out are still on their way.
    Pause(200);
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "3730020", 0))), 0x2222,
               "the next gate of station 0x37 reads 0x2222, not a stale 0x1111");

    Section("a new reply timeout through ChangeVpiParams");
    CheckEqual(driver.call(kClosePort, nullptr), kStatusDone, "ClosePort: 0");
    CheckEqual(driver.changeParams("COM9", 25, CommSettings{0, 0, 0, 0}), kStatusDone,
               "reopening COM9 with 25 ticks and the stored settings: 0");
    halvo::ClearRecords();
    start = Clock::now();
    CheckEqual(driver.singleRead(silent, values), kStatusUnavailable, "station 0x22 again: 2");
    spent = MillisecondsSince(start);
    Check(spent >= 4 * 250 && spent < 4 * 500,
          "now four 250 ms timeouts (" + std::to_string(spent) + " ms)");
    CheckEqual(SingleWord(ReadOne(driver, Gate(driver, "0130010", 0))), 0x1234,
               "and station 1 answers on the reopened port");
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi: 0");
}

// The pseudo-terminal refuses both RTS switches of a frame and the driver logs
// each refusal, so the times of the two messages bound how long RTS was held:
// no less than the 8-byte request's wire time at 19200 bit/s 8N1.
void CheckRtsHeldForTheFrame(const std::vector<Clock::time_point>& switches,
                             const std::string& what) {
    const auto wire = kovra::WireTime(8, kovra::CharacterHalfBits(k19200_8N1), k19200_8N1.baudRate);
    if (!CheckEqual(switches.size(), 2u, what + ": raising and dropping RTS each fail once")) {
        return;
    }
    const auto held =
        std::chrono::duration_cast<std::chrono::microseconds>(switches[1] - switches[0]);
    Check(held >= wire, what + ": RTS dropped " + std::to_string(held.count()) +
                            " us after it was raised, not before the frame's " +
                            std::to_string(wire.count()) + " us on the wire had passed");
}

void RtsCtsScenario() {
    DriverClient driver("KOVRA.dll");
    if (!Start(driver, "RTSCTS = YES\r\nCOMM_TIMEOUT = 500\r\n")) {
        return;
    }
    std::vector<Clock::time_point> switches;
    halvo::OnLog([&switches](const halvo::LogEntry& entry) {
        if (entry.text == "KOVRA> Send() EscapeCommFunction() failed") {
            switches.push_back(Clock::now());
        }
    });
    Section("RTS switching around every frame, refused by the pseudo-terminal");
    const HostGate word = Gate(driver, "0130010", 0);
    halvo::ClearRecords();
    switches.clear();
    CheckEqual(SingleWord(ReadOne(driver, word)), 0x1234, "a read still gets 0x1234");
    CheckEqual(CountLogged("KOVRA> Send() EscapeCommFunction() failed", kSeverityTrace), 2,
               "raising and dropping RTS each fail once, logged at 8");
    CheckRtsHeldForTheFrame(switches, "the read");
    Check(!Logged("KOVRA> Send() ClearCommError() failed"),
          "holding RTS for the frame needs no port status");
    Check(!Logged("KOVRA> Send() Unable to send message."), "the frame itself went out");
    Values value = WordArea(0x0042);
    halvo::ClearRecords();
    switches.clear();
    CheckEqual(driver.singleWrite(Gate(driver, "0130050", 0), value), kStatusDone,
               "a write goes through as well");
    CheckEqual(CountLogged("KOVRA> Send() EscapeCommFunction() failed", kSeverityTrace), 2,
               "with the same two messages");
    CheckRtsHeldForTheFrame(switches, "the write");
    halvo::OnLog(nullptr);
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi: 0");
}

} // namespace wintest
