// Gate addresses as the host parses them: function codes 3 and 4 through VpiMain.
#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/records.h"
#include "driver/stopping.h"
#include "support/world.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace kovra;

namespace {

constexpr int kWord = 0;
constexpr int kFloat = 3;
constexpr int kLong = 4;
constexpr int kDigital = 6;

struct Outcome {
    int status;
    GateAddress gate;
    std::vector<std::string> log;
};

class ParseTest : public HostLibraryTest {
  protected:
    ParseTest() : context_(std::make_unique<DriverContext>()) {}

    Outcome parse(std::uint32_t code, const std::string& text, int gateType, int count = 1) {
        halvo::ClearRecords();
        ParseParams params{};
        params.addressString = text.c_str();
        params.gateType = gateType;
        params.count = count;
        params.gate = GateAddress{-9, -9, -9, -9, -9};
        VpiRequest request{context_.get(), code, 1, 0, &params};
        const int status = VpiMain(&request);
        return {status, params.gate, messages()};
    }
    Outcome single(const std::string& text, int gateType) {
        return parse(kSingleParse, text, gateType);
    }
    Outcome block(const std::string& text, int count) {
        return parse(kBlockParse, text, kWord, count);
    }
    // A refusal: status 1 and exactly this one message, at severity 8.
    static void ExpectRefused(const Outcome& outcome, const std::string& message) {
        EXPECT_EQ(outcome.status, kStatusRefused);
        EXPECT_EQ(outcome.log, std::vector<std::string>{message});
        EXPECT_EQ(HostLibraryTest::messages(kSeverityTrace).size(), outcome.log.size());
    }

    std::unique_ptr<DriverContext> context_;
};

void ExpectGate(const Outcome& outcome, GateAddress expected) {
    ASSERT_EQ(outcome.status, kStatusDone) << (outcome.log.empty() ? "" : outcome.log[0]);
    EXPECT_TRUE(outcome.log.empty());
    EXPECT_EQ(outcome.gate.station, expected.station);
    EXPECT_EQ(outcome.gate.memoryType, expected.memoryType);
    EXPECT_EQ(outcome.gate.address, expected.address);
    EXPECT_EQ(outcome.gate.bitNumber, expected.bitNumber);
    EXPECT_EQ(outcome.gate.width, expected.width);
}

TEST_F(ParseTest, EveryMemoryTypeGivesItsWidthAndAddress) {
    context_->stationIsP200X[0x1F] = 1;
    ExpectGate(single("0110010", kDigital), {1, '1', 0x10, -1, 1});
    ExpectGate(single("FE2ABCD", kDigital), {0xFE, '2', 0xABCD, -1, 1});
    ExpectGate(single("0130010", kWord), {1, '3', 0x10, -1, 16});
    ExpectGate(single("004FFFF", 2), {0, '4', 0xFFFF, -1, 16});
    ExpectGate(single("01C0010", kLong), {1, 'C', 8, -1, 32});
    ExpectGate(single("01C0010", 5), {1, 'C', 8, -1, 32});
    ExpectGate(single("1FF0020", kFloat), {0x1F, 'F', 0x10, -1, 32});
    ExpectGate(single("01I0000", kDigital), {1, 'I', 0, -1, 1});
    ExpectGate(single("01S0000", kDigital), {1, 'S', 0, -1, 1});
}

TEST_F(ParseTest, BitNumberGatesNameOneBitOfAWord) {
    ExpectGate(single("01300100", kDigital), {1, '3', 0x10, 0, 16});
    ExpectGate(single("0130010F", kDigital), {1, '3', 0x10, 15, 16});
    ExpectGate(single("01400015", kDigital), {1, '4', 1, 5, 16});
    ExpectRefused(single("0130010G", kDigital), "KOVRA> Parse() illegal char #7 in 0130010G");
    ExpectRefused(single("01100100", kDigital),
                  "KOVRA> Parse() spec. dig. gates only on 16 bit gates, '01100100'");
    ExpectRefused(single("01C00100", kDigital),
                  "KOVRA> Parse() spec. dig. gates only on 16 bit gates, '01C00100'");
    ExpectRefused(single("0130001 ", kDigital), "KOVRA> Parse() illegal bit number, '0130001 '");
}

TEST_F(ParseTest, TheAddressEndsAtTheFirstSpace) {
    ExpectGate(single("0131   ", kWord), {1, '3', 1, -1, 16});
    ExpectGate(single("01310 1", kWord), {1, '3', 0x10, -1, 16});
    ExpectRefused(single("013H000", kWord), "KOVRA> Parse() illegal gate addr, '013H000'");
}

TEST_F(ParseTest, LengthsOtherThanSevenOrEightAreRefused) {
    ExpectRefused(single("013001", kWord),
                  "KOVRA> Parse() illegal gate address string length, '013001'");
    ExpectRefused(single("0130", kWord),
                  "KOVRA> Parse() illegal gate address string length, '0130'");
    ExpectRefused(single("01", kWord), "KOVRA> Parse() illegal gate address string length, '01'");
    // Too long is refused before any character is looked at.
    ExpectRefused(single("0130010zz", kWord),
                  "KOVRA> Parse() illegal gate address string length, '0130010zz'");
    ExpectRefused(single("", kWord), "KOVRA> Parse() illegal station number, ''");
}

TEST_F(ParseTest, EachPositionHasItsOwnCharacters) {
    ExpectRefused(single("0a30001", kWord), "KOVRA> Parse() illegal char #1 in 0a30001");
    ExpectRefused(single("G130001", kWord), "KOVRA> Parse() illegal char #0 in G130001");
    ExpectRefused(single("0150001", kWord), "KOVRA> Parse() illegal char #2 in 0150001");
    ExpectRefused(single("013 001", kWord), "KOVRA> Parse() illegal char #3 in 013 001");
    ExpectRefused(single("0130J01", kWord), "KOVRA> Parse() illegal char #4 in 0130J01");
}

TEST_F(ParseTest, CountersAndFloatsTakeEvenAddressesAndFloatsAP200X) {
    ExpectRefused(single("01C0011", kLong),
                  "KOVRA> Parse() addr of counter/chrono should be even, '01C0011'");
    ExpectRefused(single("05F0020", kFloat), "KOVRA> Parse() float gates only supported on P200X");
    context_->stationIsP200X[5] = 1;
    ExpectGate(single("05F0020", kFloat), {5, 'F', 0x10, -1, 32});
    ExpectRefused(single("05F0021", kFloat),
                  "KOVRA> Parse() addr of float gates should be even, '05F0021'");
}

TEST_F(ParseTest, LastQueryGatesHaveTheirOwnForms) {
    ExpectGate(single("01HA", kWord), {1, 'H', 0x41, -1, 16});
    for (const char letter : std::string("AHJMOS")) {
        const Outcome outcome = single(std::string("02H") + letter, kWord);
        ExpectGate(outcome, {2, 'H', letter, -1, 16});
    }
    ExpectGate(single("01H0001", kWord), {1, 'H', 1, -1, 16});
    ExpectRefused(single("01HB", kWord), "KOVRA> Parse() illegal address for mem type H, '01HB'");
    ExpectRefused(single("01H1", kWord), "KOVRA> Parse() illegal address for mem type H, '01H1'");
    ExpectRefused(single("01H0002", kWord),
                  "KOVRA> Parse() illegal gate addr for H gate, '01H0002'");
    ExpectRefused(single("01H00", kWord),
                  "KOVRA> Parse() illegal gate addr str len for H gate, '01H00'");
    ExpectRefused(single("01H00010", kWord),
                  "KOVRA> Parse() illegal gate addr str len for H gate, '01H00010'");
}

TEST_F(ParseTest, SingleParseChecksTheHostGateType) {
    ExpectRefused(single("0130001", kDigital),
                  "KOVRA> SingleParse() gate type should be 16 bit, '0130001'");
    ExpectRefused(single("0130001", kFloat),
                  "KOVRA> SingleParse() gate type should be 16 bit, '0130001'");
    ExpectGate(single("01300015", kDigital), {1, '3', 1, 5, 16});
    ExpectRefused(single("01300015", kWord),
                  "KOVRA> SingleParse() gate type should be DIGITAL, '01300015'");
    ExpectRefused(single("0110001", kWord),
                  "KOVRA> SingleParse() gate type should be DIGITAL, '0110001'");
    ExpectRefused(single("01I0000", kWord),
                  "KOVRA> SingleParse() gate type should be DIGITAL, '01I0000'");
    ExpectRefused(single("01C0002", kFloat),
                  "KOVRA> SingleParse() gate type should be 32 bit, '01C0002'");
    ExpectRefused(single("01C0002", 6),
                  "KOVRA> SingleParse() gate type should be 32 bit, '01C0002'");
    context_->stationIsP200X[1] = 1;
    ExpectRefused(single("01F0002", kLong),
                  "KOVRA> SingleParse() gate type should be FLOAT, '01F0002'");
    ExpectRefused(single("01HA", kDigital),
                  "KOVRA> SingleParse() gate type should be 16 bit, '01HA'");
}

TEST_F(ParseTest, BlocksAreLimitedTo240DataBytes) {
    EXPECT_EQ(block("0110000", 1920).status, kStatusDone);
    ExpectRefused(block("0110000", 1921), "KOVRA> BlockParse() illegal block size");
    EXPECT_EQ(block("0130000", 120).status, kStatusDone);
    ExpectRefused(block("0140000", 121), "KOVRA> BlockParse() illegal block size");
    EXPECT_EQ(block("01C0000", 60).status, kStatusDone);
    ExpectRefused(block("01C0000", 61), "KOVRA> BlockParse() illegal block size");
    // Block parsing ignores the host's gate type.
    ExpectGate(parse(kBlockParse, "0130010", kDigital, 3), {1, '3', 0x10, -1, 16});
}

TEST_F(ParseTest, BlocksRefuseSpecialTypesAndBitNumbers) {
    ExpectRefused(block("01I0000", 1), "KOVRA> BlockParse() illegal memtype for blocks");
    ExpectRefused(block("01S0000", 1), "KOVRA> BlockParse() illegal memtype for blocks");
    ExpectRefused(block("01HA", 1), "KOVRA> BlockParse() illegal memtype for blocks");
    ExpectRefused(block("01H0001", 6), "KOVRA> BlockParse() illegal memtype for blocks");
    ExpectRefused(block("01300013", 2), "KOVRA> BlockParse() no spec. dig. gates as block");
    // Parse's own refusals come first.
    ExpectRefused(block("01C0011", 2),
                  "KOVRA> Parse() addr of counter/chrono should be even, '01C0011'");
}

} // namespace
