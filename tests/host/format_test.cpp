#include "output/format.h"

#include <gtest/gtest.h>

#include <cfloat>

#include <cstdlib>
#include <ctime>

using namespace kovra_host;

namespace {

// Runs a test body in a fixed time zone.
class ZoneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* zone = std::getenv("TZ");
        saved_ = zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
        setenv("TZ", "Europe/Paris", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

} // namespace

TEST(Banner, BoxCharactersOfCodePage437BecomeUnicodeBoxDrawing) {
    const std::string banner = "\r\xC9\xCD\xCD\xBB\n\xBA"
                               "AB"
                               "\xBA\n\xC8\xCD\xCD\xBC\r";
    EXPECT_EQ(Cp437ToUtf8(banner), "╔══╗\n║AB║\n╚══╝");
    EXPECT_EQ(Cp437ToUtf8("caf\x82 \xF8"), "café °");
    EXPECT_EQ(Cp437ToUtf8("one\rtwo"), "one\ntwo");
}

TEST_F(ZoneTest, TimesShowLocalTimeWithTheOffsetOfTheirDay) {
    EXPECT_EQ(IsoLocalTime(1748432730), "2025-05-28T13:45:30+02:00"); // summer
    EXPECT_EQ(IsoLocalTime(1736000000), "2025-01-04T15:13:20+01:00"); // winter
}

TEST_F(ZoneTest, TimesAreReadLocalOrWithAnOffset) {
    EXPECT_EQ(ParseTime("2025-05-28T13:45:30"), 1748432730);
    EXPECT_EQ(ParseTime("2025-05-28 13:45:30"), 1748432730);
    EXPECT_EQ(ParseTime("2025-05-28T11:45:30Z"), 1748432730);
    EXPECT_EQ(ParseTime("2025-05-28T13:45:30+02:00"), 1748432730);
    EXPECT_EQ(ParseTime("2025-05-28T06:45:30-05:00"), 1748432730);
    EXPECT_EQ(ParseTime("2025-05-28T13:45"), 1748432700);
    EXPECT_EQ(ParseTime("2025-05-28"), 1748383200); // local midnight
    EXPECT_EQ(ParseTime("@1748432730"), 1748432730);
    EXPECT_FALSE(ParseTime("28/05/2025"));
    EXPECT_FALSE(ParseTime("2025-13-01"));
    EXPECT_FALSE(ParseTime("2025-05-28T25:00"));
    EXPECT_FALSE(ParseTime("2025-05-28T13:45:30+2"));
    EXPECT_FALSE(ParseTime("@12x"));
    // What is not a time is refused, not read as another.
    for (const char* refused :
         {"2025-05-28T13:45:30+99:99", "2025-05-28T13:45:30+24:00", "2025-05-28T13:45:30+02:60",
          "@ 12", "@+12", "@", "@-", "@99999999999999999999999"}) {
        EXPECT_FALSE(ParseTime(refused)) << refused;
    }
    EXPECT_EQ(ParseTime("@-12"), -12);
}

TEST_F(ZoneTest, AnUpperBoundTakesInTheWholeDayOrMinuteItNames) {
    EXPECT_EQ(ParseTime("2025-05-28", true), 1748383200 + 86399);
    EXPECT_EQ(ParseTime("2025-05-28T13:45", true), 1748432700 + 59);
    EXPECT_EQ(ParseTime("2025-05-28T13:45:30", true), 1748432730);
    // The day the clocks go forward has 23 hours.
    EXPECT_EQ(*ParseTime("2025-03-30", true) - *ParseTime("2025-03-30"), 23 * 3600 - 1);
    EXPECT_EQ(ParseTime("2025-05-28Z", true), 1748390400 + 86399);
}

TEST_F(ZoneTest, DaysAMonthDoesNotHaveAreRefused) {
    EXPECT_FALSE(ParseTime("2026-02-30"));
    EXPECT_FALSE(ParseTime("2025-02-29"));
    EXPECT_TRUE(ParseTime("2024-02-29"));
    EXPECT_FALSE(ParseTime("2025-04-31"));
}

TEST(Values, TheExtremesReadBackAsThemselves) {
    for (const double value : {-DBL_MAX, DBL_MAX, -1e300}) {
        EXPECT_EQ(std::strtod(FormatValue(value).c_str(), nullptr), value) << FormatValue(value);
    }
}

TEST(Values, ShowAsShortAsTheyReadExactly) {
    EXPECT_EQ(FormatValue(12.5), "12.5");
    EXPECT_EQ(FormatValue(1.0), "1");
    EXPECT_EQ(FormatValue(0.1 * 3), "0.3"); // 0.30000000000000004: arithmetic noise
    EXPECT_EQ(FormatValue(1.0 / 3), "0.333333333333333");
    EXPECT_EQ(FormatValue(123456789012.0), "123456789012");
    EXPECT_EQ(FormatValue(-20.0), "-20");
    EXPECT_EQ(FormatRaw(1, 1), "1");
    EXPECT_EQ(FormatRaw(0x1234, 16), "0x1234 (4660)");
    EXPECT_EQ(FormatRaw(0x123456, 32), "0x00123456 (1193046)");
}

TEST(Tables, AlignColumnsOrQuoteCsvCells) {
    Table table({"GATE", "VALUE"});
    table.add({"0130010", "12.5"});
    table.add({"05HA", "say \"hi\", twice"});
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    table.print(out, false);
    table.print(out, true);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), "GATE     VALUE\n"
                                       "0130010  12.5\n"
                                       "05HA     say \"hi\", twice\n"
                                       "GATE,VALUE\n"
                                       "0130010,12.5\n"
                                       "05HA,\"say \"\"hi\"\", twice\"\n");
    std::free(text);
}
