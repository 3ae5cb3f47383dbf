// Journal collection on COM9 against the simulator's journal files, and its
// memory across a restart in the last-event file of the current directory.
// tests/wine/journal.conf sets the first run's PLCs, journal-restart.conf the
// second's: the same records and a few more, and a memo ring overwritten.
#include "check.h"
#include "driver_client.h"
#include "host_log.h"
#include "scenarios.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace wintest {
namespace {

using Values = std::vector<std::uint8_t>;

constexpr CommSettings k19200_8N1{19200, 8, 0, 0};
constexpr std::size_t kStampArea = 1536;
constexpr std::size_t kEntrySize = 15;
// The date and time words of 28 May 2025, 13:45:30, the moment at which the
// simulated station 1 recorded its events.
constexpr std::uint16_t kEventDate = 0x1C53;
constexpr std::uint16_t kEventTime = 0x6DAF;

// Seconds since 1970 of a local civil time, as the driver converts stamps.
int LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return static_cast<int>(std::mktime(&local));
}

void DefineWordGate(const std::string& address) {
    halvo::Gate gate;
    gate.address = address;
    gate.hostType = halvo::kHostWord;
    halvo::DefineGate(gate);
}

// The values logged for one gate since the last clear, in order.
std::vector<halvo::HistoryEntry> HistoryOf(const std::string& address) {
    std::vector<halvo::HistoryEntry> entries;
    for (const auto& entry : halvo::History()) {
        if (entry.address == address) {
            entries.push_back(entry);
        }
    }
    return entries;
}

std::vector<double> ValuesOf(const std::vector<halvo::HistoryEntry>& entries) {
    std::vector<double> values;
    for (const auto& entry : entries) {
        values.push_back(entry.value);
    }
    return values;
}

bool AllAt(const std::vector<halvo::HistoryEntry>& entries, int time) {
    for (const auto& entry : entries) {
        if (entry.time != time) {
            return false;
        }
    }
    return !entries.empty();
}

std::uint16_t Le16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

struct Entry {
    unsigned station;
    unsigned fileNumber;
    unsigned lastRecord;
    std::uint16_t copy[5];
};

std::vector<Entry> Entries(const std::vector<std::uint8_t>& file) {
    std::vector<Entry> entries;
    for (std::size_t at = kStampArea; at + kEntrySize <= file.size(); at += kEntrySize) {
        Entry entry{file[at], Le16(file, at + 1), Le16(file, at + 3), {}};
        for (std::size_t w = 0; w < 5; ++w) {
            entry.copy[w] = Le16(file, at + 5 + 2 * w);
        }
        entries.push_back(entry);
    }
    return entries;
}

bool Start(DriverClient& driver, const std::string& initFile) {
    if (!Check(driver.loaded(), "KOVRA.dll loads and VpiMain is found by name") ||
        !Check(WriteTextFile("KOVRA01.INT", initFile), "KOVRA01.INT written")) {
        return false;
    }
    for (const char* address : {"0130010", "0130123", "0530200", "0530201", "01HA", "01HO", "01HJ",
                                "01HH", "01HM", "01HS"}) {
        DefineWordGate(address);
    }
    if (!CheckEqual(driver.coldStart("COM9", k19200_8N1), kStatusDone,
                    "ColdStart on COM9 answers 0")) {
        DumpLog();
        return false;
    }
    return true;
}

int Collect(DriverClient& driver, const std::string& address) {
    HostGate gate{address};
    CheckEqual(driver.singleParse(gate, 6), kStatusDone, address + " parses as a digital gate");
    Values unused(4, 0);
    const int status = driver.singleRead(gate, unused);
    if (status != kStatusDone) {
        DumpLog();
    }
    return status;
}

std::uint16_t ReadWordGate(DriverClient& driver, const std::string& address) {
    HostGate gate{address};
    driver.singleParse(gate, 0);
    Values values(4, 0xEE);
    CheckEqual(driver.singleRead(gate, values), kStatusDone, "reading " + address);
    return SingleWord(values);
}

void CheckStationOne(DriverClient& driver) {
    Section("the first collection of station 1, a P200");
    halvo::ClearRecords();
    CheckEqual(Collect(driver, "01I0000"), kStatusDone, "reading 01I0000 answers 0");
    Check(Logged("KOVRA> SyncClocks() only supported on P200-X", kSeverityTrace),
          "the P200's clock is left alone, and collection goes on");
    Check(Logged("KOVRA> ReadHoroFile() plc 01 reading 'Journal de Bord'", kSeverityTrace) &&
              Logged("KOVRA> ReadHoroFile() plc 01 reading 'MemoFile $0123'", kSeverityTrace),
          "the journal and the memo file of 0x0123 are read");
    const int stamp = LocalSeconds(2025, 5, 28, 13, 45, 30);
    const auto journal = HistoryOf("0130010");
    Check(ValuesOf(journal) == std::vector<double>{100, 101, 102},
          "the journal's three changes of 0x0010 reach gate 0130010: 100, 101, 102");
    Check(AllAt(journal, stamp), "logged at the PLC's time stamp, 28 May 2025 13:45:30");
    const auto memo = HistoryOf("0130123");
    Check(ValuesOf(memo) == std::vector<double>{7, 8}, "the memo file's 7 and 8 reach 0130123");
    Check(AllAt(memo, stamp), "at the same time stamp");
    Check(Logged("KOVRA> 003 LogRecord() J-bus Address 0077 gate not defined", kSeverityTrace),
          "the change of 0x0077, which has no gate, is reported and passed over");

    const auto file = ReadWholeFile(CurrentDirectory() + "\\KOVRA01H.DAT");
    if (!Check(file.has_value(), "KOVRA01H.DAT is in the current directory")) {
        return;
    }
    CheckEqual(file->size(), kStampArea + 2 * kEntrySize, "it holds two entries");
    const auto entries = Entries(*file);
    if (entries.size() == 2) {
        Check(entries[0].station == 1 && entries[0].fileNumber == 1 && entries[0].lastRecord == 4,
              "the journal of station 1 stopped after record 4");
        Check(entries[0].copy[0] == kEventDate && entries[0].copy[1] == kEventTime &&
                  entries[0].copy[2] == 0x0077,
              "its copy is record 4: 28 May 2025 13:45:30, J-bus address 0x0077");
        Check(entries[1].station == 1 && entries[1].fileNumber == 0x0123 &&
                  entries[1].lastRecord == 2,
              "the memo file 0x0123 stopped after record 2");
    }
    Check(std::memcmp(file->data() + 6, "\x7D\x05\x1C\x0D\x2D\x1E", 6) == 0,
          "station 1's last-query stamp in the file: 125 5 28 13 45 30");

    Section("collecting again passes nothing twice");
    halvo::ClearRecords();
    HostGate gate{"01I0000"};
    driver.singleParse(gate, 6);
    Values unused(4, 0);
    CheckEqual(driver.singleWrite(gate, unused), kStatusDone, "writing 01I0000 collects: 0");
    Check(halvo::History().empty(), "and logs no value");
    const auto again = ReadWholeFile("KOVRA01H.DAT");
    Check(again && *again == *file, "the last-event file is unchanged");
}

void CheckLastQueryGates(DriverClient& driver) {
    Section("last-query gates of station 1");
    CheckEqual(ReadWordGate(driver, "01HA"), 125, "01HA: the year 2025 as 125");
    CheckEqual(ReadWordGate(driver, "01HS"), 30, "01HS: second 30");
    halvo::ClearRecords();
    HostGate trigger{"01H0001"};
    CheckEqual(driver.singleParse(trigger, 0), kStatusDone, "01H0001 parses");
    Values unused(4, 0);
    CheckEqual(driver.singleRead(trigger, unused), kStatusDone, "reading the trigger gate: 0");
    std::vector<double> pushed;
    for (const char* letter : {"01HA", "01HO", "01HJ", "01HH", "01HM", "01HS"}) {
        const auto entries = HistoryOf(letter);
        pushed.push_back(entries.size() == 1 ? entries[0].value : -1);
    }
    Check(pushed == std::vector<double>{125, 5, 28, 13, 45, 30},
          "pushes 125 5 28 13 45 30 into the six letter gates");
}

void CheckStationFive(DriverClient& driver) {
    Section("station 5, a P200X: its clock is set before every collection");
    halvo::ClearRecords();
    CheckEqual(Collect(driver, "05I0000"), kStatusDone, "reading 05I0000 answers 0");
    Check(!Logged("KOVRA> SyncClocks() only supported on P200-X"), "the clock is set");
    Check(ValuesOf(HistoryOf("0530200")) == std::vector<double>{0x1234, 0x1235},
          "memo file 0x0200: 0x1234 and 0x1235, the low 16 bits of 32-bit values");
    const auto first = HistoryOf("0530201");
    Check(!first.empty(), "memo file 0x0201, filled as time goes on, has values");

    // The simulated clock started in 2001; the values recorded from now on
    // carry the PC's time that the collection just set.
    Pause(800);
    halvo::ClearRecords();
    CheckEqual(Collect(driver, "05I0000"), kStatusDone, "collecting again: 0");
    const auto later = HistoryOf("0530201");
    const int now = static_cast<int>(std::time(nullptr));
    bool recent = !later.empty();
    bool consecutive =
        !later.empty() && !first.empty() && later.front().value == first.back().value + 1;
    for (std::size_t i = 0; i < later.size(); ++i) {
        recent = recent && later[i].time > now - 10 && later[i].time <= now + 2;
        consecutive = consecutive && (i == 0 || later[i].value == later[i - 1].value + 1);
    }
    Check(later.size() >= 3, "several new values (" + std::to_string(later.size()) + ")");
    Check(consecutive, "each value once: they continue where the first collection stopped");
    Check(recent, "stamped with the PC's time by the clock the driver set");
    Check(HistoryOf("0530200").empty(), "nothing again from memo file 0x0200");
}

} // namespace

void JournalScenario() {
    RemoveFile("KOVRA01H.DAT");
    DriverClient driver("KOVRA.dll");
    if (!Start(driver, "P200X = 05\r\nCLOCKSYNC = YES\r\nCOMM_TIMEOUT = 500\r\n")) {
        return;
    }
    CheckStationOne(driver);
    CheckLastQueryGates(driver);
    CheckStationFive(driver);
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi: 0");
}

void RestartScenario() {
    const auto before = ReadWholeFile("KOVRA01H.DAT");
    if (!Check(before.has_value(), "the last-event file of the first run is here")) {
        return;
    }
    DriverClient driver("KOVRA.dll");
    if (!Start(driver, "P200X = 05\r\nALERTS = 4\r\nCOMM_TIMEOUT = 500\r\n")) {
        return;
    }
    Section("a second start loads the last-event file");
    const std::size_t zones = (before->size() - kStampArea) / kEntrySize;
    Check(Logged("KOVRA> OpenLastHoro() file 'KOVRA01H.DAT' opened: " + std::to_string(zones) +
                     " zones read",
                 kSeverityTrace),
          "with its " + std::to_string(zones) + " entries");
    CheckEqual(ReadWordGate(driver, "01HA"), 125, "01HA still reads 125 before any collection");

    Section("collection resumes where the first run stopped");
    halvo::ClearRecords();
    CheckEqual(Collect(driver, "01I0000"), kStatusDone, "reading 01I0000: 0");
    Check(ValuesOf(HistoryOf("0130010")) == std::vector<double>{200, 201},
          "only the two changes recorded since: 200 and 201");
    Check(HistoryOf("0130123").empty(), "nothing again from the memo file");
    Check(halvo::Alerts().empty(), "and no loss is reported");

    Section("a memo ring overwritten since is reported as a loss");
    halvo::ClearRecords();
    CheckEqual(Collect(driver, "05I0000"), kStatusDone, "reading 05I0000: 0");
    const std::string text = "KOVRA01 05:'MemoFile $0200' overflow probably records lost";
    Check(Logged(text, kSeverityError), "\"" + text + "\" logged at 32");
    const auto alerts = halvo::Alerts();
    Check(alerts.size() == 1 && alerts[0].name == "KOVRA" && alerts[0].text == text &&
              alerts[0].flags == 0x60000000u,
          "and raised as a host alert with the flags of ALERTS = 4");
    Check(ValuesOf(HistoryOf("0530200")) == std::vector<double>{0x5001, 0x5002, 0x5003, 0x5004},
          "then the whole ring is passed on, oldest first");
    CheckEqual(driver.call(kEndVpi, nullptr), kStatusDone, "EndVpi: 0");
}

} // namespace wintest
