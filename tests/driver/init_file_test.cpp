// The initialisation file, read by a cold start without a port in a temporary
// current directory; the host log shows what the driver made of each line.
#include "driver/init_file.h"
#include "driver/stopping.h"
#include "support/world.h"

#include <cstring>
#include <memory>

using namespace kovra;

namespace {

using Lines = std::vector<std::string>;

class InitFile : public HostLibraryTest {
  protected:
    InitFile() : context_(std::make_unique<DriverContext>()) {
        std::memset(context_.get(), 0xA5, sizeof(DriverContext)); // the host's raw memory
    }

    int coldStart(int driverNumber = 3) {
        PortParams params{};
        params.portEnabled = 0;
        VpiRequest request{context_.get(), kColdStart, driverNumber, 0, &params};
        return VpiMain(&request);
    }

    // Everything logged after the build stamp.
    static Lines fileMessages() {
        Lines all = messages();
        EXPECT_FALSE(all.empty());
        return Lines(all.begin() + 1, all.end());
    }

    // Cold-starts with a KOVRA.INT of the given text and returns the messages
    // about its lines (after the reading-initfile line).
    Lines readLines(const std::string& text) {
        directory_.writeFile("KOVRA.INT", text);
        EXPECT_EQ(coldStart(), 0);
        Lines lines = fileMessages();
        EXPECT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "KOVRA> ColdStart() reading initfile 'KOVRA.INT'");
        return Lines(lines.begin() + 1, lines.end());
    }

    TempCurrentDirectory directory_;
    std::unique_ptr<DriverContext> context_;
};

Lines IllegalLine(const std::string& line) {
    return {"KOVRA> ReadInitFile() ILLEGAL LINE '" + line + "'"};
}

// --- Which file ---

TEST_F(InitFile, WithoutAFileTheDefaultsHold) {
    EXPECT_EQ(coldStart(), 0);
    EXPECT_EQ(fileMessages(), Lines{"KOVRA> ColdStart() no initfile found, defaults used"});
    EXPECT_TRUE(logged("KOVRA> ColdStart() no initfile found, defaults used", kSeverityError));
    EXPECT_EQ(context_->timeoutTicks, 100);
    EXPECT_EQ(context_->interFrameGap, 10);
    EXPECT_EQ(context_->rtsCtsSwitching, 0);
    EXPECT_EQ(context_->clockSync, 0);
    EXPECT_EQ(context_->alertMode, 2);
    EXPECT_EQ(context_->writeReplyPending, 0);
    EXPECT_EQ(context_->portEnabled, 0);
    EXPECT_EQ(context_->portHandle, nullptr);
    for (std::uint8_t entry : context_->stationIsP200X) {
        ASSERT_EQ(entry, 0);
    }
}

TEST_F(InitFile, AnInstanceReadsItsOwnTwoDigitFileFirst) {
    directory_.writeFile("KOVRA03.INT", "IFG = 31\n");
    directory_.writeFile("KOVRA3.INT", "IFG = 32\n");
    directory_.writeFile("KOVRA.INT", "IFG = 33\n");
    EXPECT_EQ(coldStart(3), 0);
    EXPECT_EQ(fileMessages(), Lines{"KOVRA> ColdStart() reading initfile 'KOVRA03.INT'"});
    EXPECT_EQ(context_->interFrameGap, 31);
}

TEST_F(InitFile, TheOneDigitNameComesBeforeTheSharedFile) {
    directory_.writeFile("KOVRA3.INT", "IFG = 32\n");
    directory_.writeFile("KOVRA.INT", "IFG = 33\n");
    EXPECT_EQ(coldStart(3), 0);
    EXPECT_EQ(fileMessages(), Lines{"KOVRA> ColdStart() reading initfile 'KOVRA3.INT'"});
    EXPECT_EQ(context_->interFrameGap, 32);
}

TEST_F(InitFile, EveryInstanceWithoutAFileOfItsOwnReadsTheSharedOne) {
    directory_.writeFile("KOVRA.INT", "IFG = 33\n");
    directory_.writeFile("KOVRA12.INT", "IFG = 12\n");
    for (int driver : {3, 7}) {
        halvo::ClearRecords();
        EXPECT_EQ(coldStart(driver), 0);
        EXPECT_EQ(fileMessages(), Lines{"KOVRA> ColdStart() reading initfile 'KOVRA.INT'"});
        EXPECT_EQ(context_->interFrameGap, 33);
    }
    halvo::ClearRecords();
    EXPECT_EQ(coldStart(12), 0);
    EXPECT_EQ(fileMessages(), Lines{"KOVRA> ColdStart() reading initfile 'KOVRA12.INT'"});
    EXPECT_EQ(context_->interFrameGap, 12);
}

TEST_F(InitFile, FindInitFileLeavesTheLastNameTried) {
    char name[32];
    EXPECT_EQ(FindInitFile("KOVRA", name, sizeof name, 5), nullptr);
    EXPECT_STREQ(name, "KOVRA.INT");
    directory_.writeFile("KOVRA5.INT", "");
    std::FILE* file = FindInitFile("KOVRA", name, sizeof name, 5);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_STREQ(name, "KOVRA5.INT");
}

// --- Stations ---

TEST_F(InitFile, AP200XLineMarksOneStationAndIgnoresWhatFollowsTwoDigits) {
    EXPECT_EQ(readLines("P200X = 1F5\nP200X=a\n"),
              (Lines{"KOVRA> ReadIntFile() address 1Fh = P200X",
                     "KOVRA> ReadIntFile() address 0Ah = P200X"}));
    EXPECT_TRUE(logged("KOVRA> ReadIntFile() address 1Fh = P200X", kSeverityTrace));
    for (unsigned station = 0; station < kStationCount; ++station) {
        EXPECT_EQ(context_->stationIsP200X[station], station == 0x1F || station == 0x0A ? 1 : 0)
            << station;
    }
}

TEST_F(InitFile, ALaterP200LineTurnsAStationBack) {
    EXPECT_EQ(readLines("P200X = 05\nP200X = FF\nP200 = 05\n"),
              (Lines{"KOVRA> ReadIntFile() address 05h = P200X",
                     "KOVRA> ReadIntFile() address FFh = P200X",
                     "KOVRA> ReadIntFile() address 05h = P200"}));
    EXPECT_EQ(context_->stationIsP200X[5], 0);
    EXPECT_EQ(context_->stationIsP200X[0xFF], 1);
}

TEST_F(InitFile, AStationOutsideTheRangeIsAnIllegalLineAndStoresNothing) {
    Lines expected = IllegalLine("P200X = -1\n");
    expected.push_back("KOVRA> ReadInitFile() ILLEGAL LINE 'P200 = -5\n'");
    EXPECT_EQ(readLines("P200X = -1\nP200 = -5\n"), expected);
    EXPECT_TRUE(logged("KOVRA> ReadInitFile() ILLEGAL LINE 'P200X = -1\n'", kSeverityError));
    for (std::uint8_t entry : context_->stationIsP200X) {
        ASSERT_EQ(entry, 0);
    }
}

// --- YES and NO ---

struct AnswerCase {
    const char* line;
    std::uint8_t expected;
};

TEST_F(InitFile, RtsSwitchingTakesYesInAnyCaseAndNoByItsFirstTwoLetters) {
    const AnswerCase cases[] = {
        {"RTSCTS = yes\n", 1}, {"RTSCTS = Yes\n", 1},  {"RTSCTS = YESTERDAY\n", 1},
        {"RTSCTS=YES\n", 1},   {"RTSCTS = NONE\n", 0}, {"RTSCTS = no\n", 0},
        {"RTSCTS = NO", 0},
    };
    for (const AnswerCase& c : cases) {
        halvo::ClearRecords();
        EXPECT_EQ(readLines(c.line), Lines{}) << c.line;
        EXPECT_EQ(context_->rtsCtsSwitching, c.expected) << c.line;
    }
}

TEST_F(InitFile, AnIllegalRtsAnswerMeansNoSwitching) {
    EXPECT_EQ(readLines("RTSCTS = YES\nRTSCTS = YE\n"),
              (Lines{"KOVRA> Illegal format of Int File:",
                     "KOVRA> Check for RTSCTS = in your int file. Assuming NO switching"}));
    EXPECT_EQ(messages(kSeverityError).size(), 2u);
    EXPECT_EQ(context_->rtsCtsSwitching, 0);
}

TEST_F(InitFile, AnAnswerOfOneCharacterAtTheEndOfTheFileIsAnIllegalLine) {
    EXPECT_EQ(readLines("RTSCTS = YES\nRTSCTS = Y"), IllegalLine("RTSCTS = Y"));
    EXPECT_EQ(context_->rtsCtsSwitching, 1);
}

TEST_F(InitFile, ClockSynchronisationFollowsTheSameAnswers) {
    EXPECT_EQ(readLines("CLOCKSYNC = yEs\n"), Lines{});
    EXPECT_EQ(context_->clockSync, 1);
    halvo::ClearRecords();
    EXPECT_EQ(readLines("CLOCKSYNC = YES\nCLOCKSYNC = maybe\n"),
              (Lines{"KOVRA> Illegal format of Int File:",
                     "KOVRA> Check for CLOCKSYNC = in your int file. Assuming no "
                     "synchronisation"}));
    EXPECT_EQ(context_->clockSync, 0);
}

// --- Numbers ---

TEST_F(InitFile, TheInterFrameGapKeepsItsLowSixteenBits) {
    EXPECT_EQ(readLines("IFG = 0\n"), Lines{});
    EXPECT_EQ(context_->interFrameGap, 0);
    halvo::ClearRecords();
    EXPECT_EQ(readLines("IFG = 70000\n"), Lines{});
    EXPECT_EQ(context_->interFrameGap, 4464);
}

TEST_F(InitFile, BlanksAroundTheEqualsSignAreOptional) {
    EXPECT_EQ(readLines("IFG=20\n"), Lines{});
    EXPECT_EQ(context_->interFrameGap, 20);
    halvo::ClearRecords();
    EXPECT_EQ(readLines("IFG  =  21\r\n"), Lines{});
    EXPECT_EQ(context_->interFrameGap, 21);
}

TEST_F(InitFile, AlertModesAboveFourFallBackToTheAnnunciator) {
    EXPECT_EQ(readLines("ALERTS = 4\n"), Lines{});
    EXPECT_EQ(context_->alertMode, 4);
    for (const char* line : {"ALERTS = 0\nALERTS = 5\n", "ALERTS = 0\nALERTS = -1\n"}) {
        halvo::ClearRecords();
        EXPECT_EQ(readLines(line),
                  (Lines{"KOVRA> Illegal format of Int File:",
                         "KOVRA> Check for ALERTS = in your int file. Assuming ANNUNCIATOR"}))
            << line;
        EXPECT_EQ(context_->alertMode, 2) << line;
    }
    halvo::ClearRecords();
    EXPECT_EQ(readLines("ALERTS = 0\n"), Lines{});
    EXPECT_EQ(context_->alertMode, 0);
}

TEST_F(InitFile, TheReplyTimeoutIsTakenFromOneHundredToTwentyFiveThousandMilliseconds) {
    EXPECT_EQ(readLines("COMM_TIMEOUT = 105\n"), Lines{});
    EXPECT_EQ(context_->timeoutTicks, 10);
    halvo::ClearRecords();
    EXPECT_EQ(readLines("COMM_TIMEOUT = 25000\n"), Lines{});
    EXPECT_EQ(context_->timeoutTicks, 2500);
    halvo::ClearRecords();
    EXPECT_EQ(readLines("COMM_TIMEOUT = 100\n"), Lines{});
    EXPECT_EQ(context_->timeoutTicks, 10);
}

TEST_F(InitFile, AnIllegalReplyTimeoutKeepsTheOneInForce) {
    EXPECT_EQ(readLines("COMM_TIMEOUT = 300\nCOMM_TIMEOUT = 99\nCOMM_TIMEOUT = 25001\n"),
              (Lines{"KOVRA> COMM_TIMEOUT in milliseconds, 99 illegal value",
                     "KOVRA> COMM_TIMEOUT in milliseconds, 25001 illegal value"}));
    EXPECT_EQ(messages(kSeverityError).size(), 2u);
    EXPECT_EQ(context_->timeoutTicks, 30);
}

// --- Lines that are not settings ---

TEST_F(InitFile, EmptyLinesAreSkippedSilently) {
    EXPECT_EQ(readLines("\n\r\nIFG = 5\n\n"), Lines{});
    EXPECT_EQ(context_->interFrameGap, 5);
}

TEST_F(InitFile, BlankIndentedAndLowerCaseLinesAreIllegalWithTheirLineEnd) {
    Lines expected;
    for (const char* line :
         {"   \n", "  IFG = 20\n", "ifg = 20\n", "IFG = many\n", "RTSCTS =\n", "# comment\n"}) {
        expected.push_back(IllegalLine(line).front());
    }
    EXPECT_EQ(readLines("   \n  IFG = 20\nifg = 20\nIFG = many\nRTSCTS =\n# comment\n"), expected);
    EXPECT_EQ(context_->interFrameGap, 10);
}

TEST_F(InitFile, ALineLongerThanTheBufferIsTakenInPieces) {
    const std::string tail(300, 'x');
    // 255 characters fit in one piece: "IFG = 20" and 247 x; the rest is a line of its own.
    EXPECT_EQ(readLines("IFG = 20" + tail + "\nALERTS = 1\n"),
              IllegalLine(std::string(300 - 247, 'x') + "\n"));
    EXPECT_EQ(context_->interFrameGap, 20);
    EXPECT_EQ(context_->alertMode, 1);
}

TEST_F(InitFile, EveryKeyInOneFile) {
    EXPECT_EQ(readLines("P200X = 01\nRTSCTS = YES\nIFG = 25\nALERTS = 3\nCLOCKSYNC = YES\n"
                        "COMM_TIMEOUT = 500\n"),
              Lines{"KOVRA> ReadIntFile() address 01h = P200X"});
    EXPECT_EQ(context_->stationIsP200X[1], 1);
    EXPECT_EQ(context_->rtsCtsSwitching, 1);
    EXPECT_EQ(context_->interFrameGap, 25);
    EXPECT_EQ(context_->alertMode, 3);
    EXPECT_EQ(context_->clockSync, 1);
    EXPECT_EQ(context_->timeoutTicks, 50);
}

} // namespace
