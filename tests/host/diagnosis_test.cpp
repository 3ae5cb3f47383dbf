#include "session/diagnosis.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace kovra_host;

namespace {

// Every message as the driver logs it, the text it is made from in the
// driver's sources, and what kovra-host makes of it. Near-misses stand beside
// the messages they resemble.
struct Message {
    const char* logged;
    const char* source;
    FaultKind kind;
    Sign sign = Sign::None;
};

const Message kMessages[] = {
    {"KOVRA> Receive() timeout 1", "Receive() timeout 1", FaultKind::SilentStation},
    {"KOVRA> Receive() wrong length reading header", "Receive() wrong length reading header",
     FaultKind::IncompleteReply},
    {"KOVRA> Receive() timeout 2nd part message", "Receive() timeout 2nd part message",
     FaultKind::IncompleteReply},
    {"KOVRA> Receive() wrong length 2nd part message", "Receive() wrong length 2nd part message",
     FaultKind::IncompleteReply},
    {"KOVRA> Receive() error reading data part message",
     "Receive() error reading data part message", FaultKind::IncompleteReply},
    {"KOVRA> Receive() wrong length data part message", "Receive() wrong length data part message",
     FaultKind::IncompleteReply},
    {"KOVRA> Receive() reading timeout last data part message",
     "Receive() reading timeout last data part message", FaultKind::IncompleteReply},
    {"KOVRA> Receive() wrong length last data part message",
     "Receive() wrong length last data part message", FaultKind::IncompleteReply},
    {"KOVRA> DoRead() crc error, retry 3", "DoRead() crc error, retry %d", FaultKind::CrcError},
    {"KOVRA> DoWrite() error in crc, retry 1", "DoWrite() error in crc, retry %d",
     FaultKind::CrcError},
    {"KOVRA> DoRead() wrong plcaddr 6 of rcv. mess., retry 0",
     "DoRead() wrong plcaddr %d of rcv. mess., retry %d", FaultKind::OtherStation},
    {"KOVRA> DoWrite() wrong station 06 of rcv. mess., retry 0",
     "DoWrite() wrong station %02x of rcv. mess., retry %d", FaultKind::OtherStation},
    {"KOVRA> DoRead() wrong function 04h of rcv. mess., retry 0",
     "DoRead() wrong function %02xh of rcv. mess., retry %d", FaultKind::WrongReply},
    {"KOVRA> DoWrite() wrong function 05 of rcv. mess., retry 0",
     "DoWrite() wrong function %02x of rcv. mess., retry %d", FaultKind::WrongReply},
    {"KOVRA> DoRead() wrong byte count 4 of rcv. mess., retry 0",
     "DoRead() wrong byte count %u of rcv. mess., retry %d", FaultKind::WrongReply},
    {"KOVRA> DoWrite() wrong address 0011 of rcv. mess., retry 0",
     "DoWrite() wrong address %04x of rcv. mess., retry %d", FaultKind::WrongReply},
    {"KOVRA> DoWrite() wrong value 0001 of rcv. mess., retry 0",
     "DoWrite() wrong value %04x of rcv. mess., retry %d", FaultKind::WrongReply},
    {"KOVRA> DoWrite() wrong quantity 2 of rcv. mess., retry 0",
     "DoWrite() wrong quantity %u of rcv. mess., retry %d", FaultKind::WrongReply},
    {"KOVRA> DoRead() received 0x80 error code, 02h", "DoRead() received 0x80 error code, %02xh",
     FaultKind::Exception},
    {"KOVRA> DoWrite() plc sent 0x80 error code 03h", "DoWrite() plc sent 0x80 error code %02xh",
     FaultKind::Exception},
    {"KOVRA> SyncClocks() only supported on P200-X", "SyncClocks() only supported on P200-X",
     FaultKind::NotP200X},
    {"KOVRA> Parse() float gates only supported on P200X",
     "Parse() float gates only supported on P200X", FaultKind::NotP200X},
    {"KOVRA> Send() Unable to send message.", "Send() Unable to send message.",
     FaultKind::SendFailed},
    {"KOVRA> WriteFileLastHoro() fseek()1 failed: 'KOVRA01H.DAT' (No space left on device)",
     "WriteFileLastHoro() fseek()1", FaultKind::PositionsUnsaved},
    {"KOVRA> WriteFileLastHoro() fwrite() failed: 'KOVRA01H.DAT' (No space left on device)",
     "WriteFileLastHoro()", FaultKind::PositionsUnsaved},
    // A warning about the file's length saves the positions all the same.
    {"KOVRA> WriteFileLastHoro() WARNING 1: illegal file length, might be corrupted",
     "WriteFileLastHoro() WARNING 1: illegal file length, might be corrupted", FaultKind::Unknown},
    {"KOVRA> WriteFileLastHoro() WARNING 2: illegal file length, might be corrupted",
     "WriteFileLastHoro() WARNING 2: illegal file length, might be corrupted", FaultKind::Unknown},
    {"KOVRA> ReadHoroFile() plc 05 reading journal", "ReadHoroFile() plc %02x reading %s",
     FaultKind::Unknown, Sign::FileRead},
    {"KOVRA> ReadHoroFile() plc 05 journal read header failed",
     "ReadHoroFile() plc %02x %s read header failed", FaultKind::Unknown},
    {"KOVRA> 005 LogRecord() J-bus Address 0013 gate not defined",
     "LogRecord() J-bus Address %04x gate not defined", FaultKind::Unknown, Sign::RecordPassedOver},
    {"KOVRA> SingleRead() , ret val is 2", "SingleRead() , ret val is %d", FaultKind::Unknown,
     Sign::Returned},
    {"KOVRA> SingleWrite() exited, rc= 1", "SingleWrite() exited, rc= %u", FaultKind::Unknown,
     Sign::Returned},
    {"KOVRA> Parse() illegal char #3 in 01X0010", "Parse() illegal char #%d in %s",
     FaultKind::Unknown, Sign::IllegalCharacter},
    {"KOVRA> OpenLastHoro() fopen() failed: 'KOVRA01H.DAT'", "OpenLastHoro() fopen() failed: '%s'",
     FaultKind::Unknown, Sign::LastEventOpen},
};

// The driver's sources as one text.
std::string DriverSources() {
    std::string text;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(KOVRA_SOURCE_DIR)) {
        if (entry.path().extension() == ".cpp") {
            std::ifstream in(entry.path());
            text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return text;
}

} // namespace

TEST(DiagnosisTable, EveryDriverMessageIsToldAsItsKindAndNearMissesAsTheirs) {
    const std::string sources = DriverSources();
    for (const auto& message : kMessages) {
        SCOPED_TRACE(message.logged);
        EXPECT_NE(sources.find(message.source), std::string::npos) << "not a driver message";
        EXPECT_STREQ(KindName(Classify({LogLine{0, message.logged}}).kind), KindName(message.kind));
        EXPECT_EQ(SignOf(message.logged), message.sign);
        EXPECT_EQ(PositionsUnsaved({LogLine{0, message.logged}}).has_value(),
                  message.kind == FaultKind::PositionsUnsaved);
    }
}

TEST(DiagnosisTable, EveryStemItRecognisesStandsInADriverMessageAbove) {
    const auto told = [](const char* stem) {
        return std::any_of(std::begin(kMessages), std::end(kMessages), [&](const Message& m) {
            return std::string(m.logged).find(stem) != std::string::npos;
        });
    };
    for (const auto& stem : DriverStems()) {
        EXPECT_TRUE(told(stem.text)) << stem.text;
    }
    for (const auto& stem : SignStems()) {
        EXPECT_TRUE(told(stem.text)) << stem.text;
    }
}

TEST(DiagnosisTable, TheLastMessageThatNamesACauseDecidesWithItsExceptionCode) {
    const Diagnosis diagnosis = Classify({{0, "KOVRA> Receive() timeout 1"},
                                          {0, "KOVRA> DoRead() received 0x80 error code, 02h"},
                                          {0, "KOVRA> SingleRead() , ret val is 1"}});
    EXPECT_EQ(diagnosis.kind, FaultKind::Exception);
    EXPECT_EQ(diagnosis.exceptionCode, 2u);
    EXPECT_EQ(RefusedCharacter("Parse() illegal char #3 in 01X0010"), 3u);
    EXPECT_EQ(LastReason({{0, "KOVRA> Parse() illegal station number, 'ZZ10010'"},
                          {0, "KOVRA> SingleRead() , ret val is 1"}}),
              "Parse() illegal station number, 'ZZ10010'");
}

TEST(DiagnosisTable, ALostRecordsAlertNamesItsStationFileAndWhetherTheRingTurned) {
    const std::string sources = DriverSources();
    for (const char* format : {"KOVRA%02u %02x:%s overflow probably records lost",
                               "KOVRA%02u %02x:%s cleared probably records lost"}) {
        EXPECT_NE(sources.find(format), std::string::npos) << format;
    }
    struct Case {
        const char* text;
        std::optional<LostRecordsAlert> alert;
    };
    const Case cases[] = {
        {"KOVRA01 05:'Journal de Bord' overflow probably records lost",
         LostRecordsAlert{5, 1, "'Journal de Bord'", true}},
        {"KOVRA12 1a:'MemoFile $0020' cleared probably records lost",
         LostRecordsAlert{0x1a, 0x20, "'MemoFile $0020'", false}},
        {"KOVRA01 05:'MemoFile $00g0' overflow probably records lost", std::nullopt},
        {"KOVRA01 05:'MemoFile $00200' overflow probably records lost", std::nullopt},
        {"KOVRA01 05:'Journal de Bord' overflow", std::nullopt},
        {"KOVRA> ReadHoroFile() plc 05 reading 'Journal de Bord'", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto alert = ReadLostRecordsAlert(c.text);
        ASSERT_EQ(alert.has_value(), c.alert.has_value());
        if (alert) {
            EXPECT_EQ(alert->station, c.alert->station);
            EXPECT_EQ(alert->file, c.alert->file);
            EXPECT_EQ(alert->fileName, c.alert->fileName);
            EXPECT_EQ(alert->overflow, c.alert->overflow);
        }
    }
}
