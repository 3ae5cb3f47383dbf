#include "support/world.h"
#include "workspace/gates_file.h"

#include <gtest/gtest.h>

using namespace kovra;

using namespace kovra_host;

TEST(GatesFile, TheAddressAloneGivesTheTypeItImplies) {
    EXPECT_EQ(ParseGateLine("0130010")->hostType, halvo::kHostWord);
    EXPECT_EQ(ParseGateLine("01300105")->hostType, halvo::kHostDigital); // bit number
    EXPECT_EQ(ParseGateLine("0110003")->hostType, halvo::kHostDigital);
    EXPECT_EQ(ParseGateLine("01C0020")->hostType, halvo::kHostLong);
    EXPECT_EQ(ParseGateLine("05HA")->hostType, halvo::kHostWord);
    const auto real = ParseGateLine("02F0040");
    EXPECT_EQ(real->hostType, halvo::kHostFloat);
    EXPECT_EQ(real->rule, halvo::CookRule::FloatBits);
    EXPECT_EQ(GateWidth("01C0020"), 32);
    EXPECT_EQ(GateWidth("01300105"), 1);
    EXPECT_EQ(GateWidth("05HA"), 16);
}

TEST(GatesFile, TypeAndCookingAreRead) {
    const auto gate = ParseGateLine("  0130010\tword2  linear 0.1 -20   # tank level");
    ASSERT_TRUE(gate);
    EXPECT_EQ(gate->address, "0130010");
    EXPECT_EQ(gate->hostType, 2);
    EXPECT_EQ(gate->rule, halvo::CookRule::Linear);
    EXPECT_DOUBLE_EQ(gate->scale, 0.1);
    EXPECT_DOUBLE_EQ(gate->offset, -20.0);

    EXPECT_EQ(ParseGateLine("01C0020 5")->hostType, 5);
    EXPECT_EQ(ParseGateLine("0130010 - linear 2")->scale, 2.0);
    EXPECT_EQ(ParseGateLine("0130010 linear 2 1")->hostType, halvo::kHostWord);
    EXPECT_EQ(ParseGateLine("02F0040 float float")->rule, halvo::CookRule::FloatBits);
    EXPECT_EQ(ParseGateLine("\"0131   \" word")->address, "0131   ");
    EXPECT_FALSE(ParseGateLine("   # only a comment"));
    EXPECT_FALSE(ParseGateLine(""));
}

TEST(GatesFile, AMistakeNamesTheFileTheLineAndTheWord) {
    TempCurrentDirectory dir;
    dir.writeFile("gates.txt", "0130010 word\n\n0130012 wordy\n");
    try {
        ReadGatesFile("gates.txt");
        FAIL() << "an unknown type was accepted";
    } catch (const GatesFileError& error) {
        EXPECT_EQ(std::string(error.what())
                      .rfind("gates file gates.txt line 3: unknown host type "
                             "'wordy'",
                             0),
                  0u)
            << error.what();
    }
    EXPECT_THROW(ParseGateLine("013"), GatesFileError);
    EXPECT_THROW(ParseGateLine("013001000"), GatesFileError);
    EXPECT_THROW(ParseGateLine("0130010 word linear"), GatesFileError);
    EXPECT_THROW(ParseGateLine("0130010 word linear x"), GatesFileError);
    EXPECT_THROW(ParseGateLine("0130010 word square 2"), GatesFileError);
    EXPECT_THROW(ParseGateLine("0130010 word raw 2"), GatesFileError);
    EXPECT_THROW(ParseGateLine("\"0131 "), GatesFileError);
    EXPECT_THROW(ReadGatesFile("absent.txt"), GatesFileError);
}

TEST(GatesFile, WrittenValuesAreUncookedToTheRawValueThatCooksBack) {
    GateSpec level = *ParseGateLine("0130010 word linear 0.1 -20");
    EXPECT_EQ(Uncook(level, 12.5, 16), 325u); // 325 x 0.1 - 20
    EXPECT_EQ(Uncook(level, -20.0, 16), 0u);
    EXPECT_FALSE(Uncook(level, -20.1, 16));  // below raw 0
    EXPECT_FALSE(Uncook(level, 6535.6, 16)); // above 65535
    EXPECT_EQ(Uncook(*ParseGateLine("01C0020"), 4000000000.0, 32), 4000000000u);
    GateSpec flat = *ParseGateLine("0130010 word linear 0");
    EXPECT_FALSE(Uncook(flat, 1.0, 16));
    EXPECT_EQ(Uncook(*ParseGateLine("02F0040"), 1.0, 32), 0x3F800000u);
}

// "signed" reads the raw value as two's complement of the gate's width, both
// ways: cooking for reads and collections, uncooking for writes.
TEST(GatesFile, SignedCookingTakesTwosComplementOfTheWidth) {
    struct Case {
        const char* line;
        std::uint32_t raw;
        double value;
    };
    const Case cases[] = {
        {"0130010 word linear 0.1 signed", 0xFFF6, -1.0},
        {"0130010 word linear 0.1 signed", 0x7FFF, 3276.7},
        {"0130010 word linear 0.1 signed", 0x8000, -3276.8},
        {"0130010 word linear 0.1", 0xFFF6, 6552.6},
        {"0130010 signed", 0xFFFF, -1.0},
        {"0130010 raw signed", 0x0005, 5.0},
        {"01C0020 long linear 1 10 signed", 0xFFFFFFFE, 8.0},
        {"01C0020 long linear 1 10", 0xFFFFFFFE, 4294967304.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const GateSpec gate = *ParseGateLine(c.line);
        EXPECT_NEAR(halvo::Cook(gate, c.raw), c.value, 1e-9);
        EXPECT_EQ(Uncook(gate, c.value, GateWidth(gate.address)), c.raw);
    }
    const GateSpec level = *ParseGateLine("0130010 word linear 0.1 signed");
    EXPECT_FALSE(Uncook(level, -3276.9, 16)); // below -32768
    EXPECT_FALSE(Uncook(level, 3276.8, 16));  // above 32767
    EXPECT_THROW(ParseGateLine("02F0040 float signed"), GatesFileError);
    EXPECT_THROW(ParseGateLine("0130010 signed linear 0.1"), GatesFileError);
}

TEST(GatesFile, AGateAddressIsSpeltAsTheDriverSpellsIt) {
    struct Case {
        const char* text;
        const char* canonical; // null: refused, with these words
        const char* refusal;
    };
    const Case cases[] = {
        {"01c0099", "01C0099", nullptr},           {"05ha", "05HA", nullptr},
        {"0130010f", "0130010F", nullptr},         {"1C0099", nullptr, "has 7 characters"},
        {"01300109", "01300109", nullptr}, // a bit number: 8 characters
        {"01X0099", nullptr, "character 3 ('X')"}, {"01HB", nullptr, "character 4 ('B')"},
        {"0gC0099", nullptr, "character 2 ('g')"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.canonical != nullptr) {
            EXPECT_EQ(CanonicalGateAddress(c.text), c.canonical);
        } else {
            try {
                CanonicalGateAddress(c.text);
                ADD_FAILURE() << "accepted";
            } catch (const GatesFileError& error) {
                EXPECT_NE(std::string(error.what()).find(c.refusal), std::string::npos)
                    << error.what();
            }
        }
    }
}
