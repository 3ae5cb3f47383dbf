#include "journal/record_logging.h"

#include "lastevent/last_event_world.h"
#include "lastevent/last_query.h"
#include "link/serial_port.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>

using namespace kovra;

namespace {

using Record = std::array<std::uint16_t, 5>;

// Sets TZ for the life of a test and puts the previous one back.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* previous = std::getenv("TZ")) {
            previous_ = previous;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

  private:
    std::optional<std::string> previous_;
};

int ThisYear() {
    const std::time_t now = std::time(nullptr);
    return 1900 + std::localtime(&now)->tm_year;
}

unsigned YearField(int year) {
    return static_cast<unsigned>((year - 1990) % 16);
}

// The year a 4-bit field stands for today: the one of the fifteen years up to
// next year that has this field.
int YearOfField(unsigned field) {
    int year = ThisYear() + 1;
    while (YearField(year) != field) {
        --year;
    }
    return year;
}

std::uint16_t DateWord(unsigned yearField, unsigned month, unsigned day) {
    return static_cast<std::uint16_t>((day << 8) | (month << 4) | yearField);
}

std::uint16_t TimeWord(unsigned hours, unsigned minutes, unsigned seconds) {
    return static_cast<std::uint16_t>((hours << 11) | (minutes << 5) | (seconds / 2));
}

std::int32_t UtcSeconds(int year, unsigned month, unsigned day, int hours, int minutes,
                        int seconds) {
    using namespace std::chrono;
    const sys_days date{std::chrono::year{year} / std::chrono::month{month} /
                        std::chrono::day{day}};
    return static_cast<std::int32_t>(
        (date + hours * 1h + minutes * 1min + seconds * 1s).time_since_epoch().count());
}

class RecordLogging : public LastEventTest {
  protected:
    RecordLogging() {
        EXPECT_EQ(OpenLastHoro(instance.request()), 0);
        halvo::ClearRecords();
        instance.descriptor() = RegisterDescriptor(5, 0x0102, 16, nullptr);
        instance.request().driverNumber = 3;
    }

    static unsigned define(const std::string& address, int hostType, double scale = 1.0) {
        return halvo::DefineGate(
            halvo::Gate{0, address, hostType, halvo::CookRule::Linear, scale, 0.0});
    }

    static int hostTypeOf(char memoryType) {
        switch (memoryType) {
        case '1':
        case '2':
            return halvo::kHostDigital;
        case 'C':
            return halvo::kHostLong;
        default:
            return halvo::kHostWord;
        }
    }

    // A journal line of this year, 28 May 13:45:30, for the variable at 0x0010.
    static Record journal(std::uint16_t first = 0, std::uint16_t second = 0,
                          std::uint16_t address = 0x0010) {
        return Record{DateWord(YearField(ThisYear()), 5, 28), 0x6DAF, address, first, second};
    }

    int log(const Record& record, std::uint16_t fileNumber = 1, std::uint16_t index = 0) {
        std::int32_t previous = 0;
        return LogRecord(instance.request(), record.data(), fileNumber, index, previous);
    }

    Bytes stamp(std::size_t station) {
        return Bytes(instance.context().lastQueryStamps + station * 6,
                     instance.context().lastQueryStamps + station * 6 + 6);
    }

    ScopedTimeZone utc{"UTC0"};
    Instance instance;
};

TEST_F(RecordLogging, AJournalRecordLooksForItsGateUnderTheFiveMemoryTypesInTurn) {
    const std::string order = "1234C";
    for (const char type : order) {
        halvo::Reset();
        halvo::SetLogSink(nullptr);
        const std::string address = std::string("05") + type + "0010";
        define(address, hostTypeOf(type));

        EXPECT_EQ(log(journal(0, 1)), 0);

        ASSERT_EQ(halvo::History().size(), 1u) << address;
        EXPECT_EQ(halvo::History()[0].address, address);
    }
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        halvo::Reset();
        halvo::SetLogSink(nullptr);
        const std::string first = std::string("05") + order[i] + "0010";
        define(std::string("05") + order[i + 1] + "0010", hostTypeOf(order[i + 1]));
        define(first, hostTypeOf(order[i]));

        EXPECT_EQ(log(journal(0, 1)), 0);

        ASSERT_EQ(halvo::History().size(), 1u);
        EXPECT_EQ(halvo::History()[0].address, first);
    }
}

TEST_F(RecordLogging, TheLookupStopsAtTheFirstGateFound) {
    define("0530010", halvo::kHostWord);
    halvo::FailLookup("0540010", 9);
    halvo::FailLookup("05C0010", 9);

    EXPECT_EQ(log(journal(0, 0x4200)), 0); // a P200 word: the high byte

    EXPECT_TRUE(messages().empty());
    ASSERT_EQ(halvo::History().size(), 1u);
    EXPECT_EQ(halvo::History()[0].raw, 0x42u);
}

TEST_F(RecordLogging, AMemoRecordBelongsToTheVariableNamedByItsFileNumber) {
    instance.descriptor().gate.station = 0x1A;
    define("1A10123", halvo::kHostDigital);
    const Record memo{DateWord(YearField(ThisYear()), 5, 28), 0x6DAF, 0x0000, 0x0100, 0xFFFF};

    EXPECT_EQ(log(memo, 0x0123), 0);

    ASSERT_EQ(halvo::History().size(), 1u);
    EXPECT_EQ(halvo::History()[0].address, "1A10123");
    EXPECT_EQ(halvo::History()[0].value, 1.0);
}

TEST_F(RecordLogging, AJournalLineWithoutAddressIsPassedOverUnseen) {
    halvo::FailCalls(halvo::Call::GetGateId, 9);

    EXPECT_EQ(log(journal(0, 1, 0x0000)), 0);

    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(stamp(5), Bytes(6, 0));
}

struct ValueCase {
    char memoryType;
    bool p200x;
    std::uint16_t first;  // b0 b1
    std::uint16_t second; // b2 b3
    double value;         // as the host logs it
};

std::ostream& operator<<(std::ostream& out, const ValueCase& c) {
    return out << c.memoryType << (c.p200x ? " P200X " : " P200 ") << std::hex << c.first << " "
               << c.second;
}

class RecordValues : public RecordLogging, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(RecordValues, TheValueFieldIsReadByTheStationsModel) {
    const ValueCase c = GetParam();
    instance.context().stationIsP200X[5] = c.p200x ? 1 : 0;
    define(std::string("05") + c.memoryType + "0010", hostTypeOf(c.memoryType));
    define(std::string("05") + c.memoryType + "0123", hostTypeOf(c.memoryType));
    const Record asJournal = journal(c.first, c.second);
    const Record asMemo{asJournal[0], asJournal[1], c.first, c.second, 0xFFFF};

    EXPECT_EQ(log(asJournal), 0);
    EXPECT_EQ(log(asMemo, 0x0123), 0);

    ASSERT_EQ(halvo::History().size(), 2u);
    EXPECT_EQ(halvo::History()[0].value, c.value);
    EXPECT_EQ(halvo::History()[1].value, c.value);
    EXPECT_TRUE(messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Layouts, RecordValues,
                         ::testing::Values(ValueCase{'3', true, 0x0000, 0x1234, 0x1234},
                                           ValueCase{'3', false, 0x0000, 0x1234, 0x12},
                                           ValueCase{'4', true, 0xFFFF, 0xABCD, 0xABCD},
                                           ValueCase{'4', false, 0xFFFF, 0xABCD, 0xAB},
                                           ValueCase{'C', true, 0x1234, 0x5678, 0x12345678},
                                           ValueCase{'C', false, 0x1234, 0x5678, 0x123456},
                                           ValueCase{'1', false, 0x0000, 0x0100, 1.0},
                                           ValueCase{'1', true, 0x0000, 0x0100, 0.0},
                                           ValueCase{'2', true, 0x0000, 0x0001, 1.0},
                                           ValueCase{'2', false, 0x0000, 0x0001, 0.0}));

TEST_F(RecordLogging, AWordIsCookedThroughTheHostAndLoggedAtThePlcTime) {
    instance.context().stationIsP200X[5] = 1;
    define("0530010", halvo::kHostWord, 0.5);

    EXPECT_EQ(log(journal(0, 0x0064)), 0);

    ASSERT_EQ(halvo::History().size(), 1u);
    EXPECT_EQ(halvo::History()[0].raw, 0x64u);
    EXPECT_EQ(halvo::History()[0].value, 50.0);
    EXPECT_EQ(halvo::History()[0].time, UtcSeconds(ThisYear(), 5, 28, 13, 45, 30));
}

TEST_F(RecordLogging, ALoggedRecordAdvancesItsStationsStamp) {
    define("0530010", halvo::kHostWord);

    EXPECT_EQ(log(journal()), 0);

    const Bytes expected{static_cast<std::uint8_t>(ThisYear() - 1900), 5, 28, 13, 45, 30};
    EXPECT_EQ(stamp(5), expected);
    const Bytes file = fileBytes();
    EXPECT_EQ(Bytes(file.begin() + 30, file.begin() + 36), expected);
}

TEST_F(RecordLogging, ARecordWithoutGateIsReportedWithItsIndexAndPassedOver) {
    EXPECT_EQ(log(journal(0, 1, 0x00AB), 1, 7), 0);

    EXPECT_EQ(messages(), std::vector<std::string>{
                              "KOVRA> 007 LogRecord() J-bus Address 00ab gate not defined"});
    EXPECT_EQ(halvo::Log()[0].severity, kSeverityTrace);
    EXPECT_EQ(stamp(5), Bytes(6, 0));
}

TEST_F(RecordLogging, AFailedLookupRefusesTheRecord) {
    define("0510010", halvo::kHostDigital);
    halvo::FailCalls(halvo::Call::GetGateId, 0x20009);

    EXPECT_EQ(log(journal(0, 1)), 1);

    EXPECT_EQ(
        messages(kSeverityError),
        std::vector<std::string>{"KOVRA> LogRecord() error Halvo5GetGateIdByAddressStr(), rc 9"});
    EXPECT_TRUE(halvo::History().empty());
    EXPECT_EQ(stamp(5), Bytes(6, 0));
}

TEST_F(RecordLogging, ARefusedCookPassesTheRecordOverButBitsNeedNoCooking) {
    define("0530010", halvo::kHostWord);
    define("0510011", halvo::kHostDigital);
    halvo::FailCalls(halvo::Call::Cook, 3);

    EXPECT_EQ(log(journal(0, 1)), 0);
    EXPECT_EQ(log(journal(0, 1, 0x0011)), 0);

    EXPECT_EQ(messages(), std::vector<std::string>{"KOVRA> LogRecord() error Halvo5Cook(), rc 3"});
    EXPECT_EQ(halvo::Log()[0].severity, kSeverityError);
    ASSERT_EQ(halvo::History().size(), 1u);
    EXPECT_EQ(halvo::History()[0].address, "0510011");
    // The stamp had moved before the value was cooked.
    EXPECT_EQ(stamp(5)[5], 30);
}

TEST_F(RecordLogging, ARefusedPutIsReportedAndTheRecordPassedOver) {
    define("0530010", halvo::kHostWord);
    halvo::FailCalls(halvo::Call::PutGateVal, 4);

    EXPECT_EQ(log(journal(0, 1)), 0);

    EXPECT_EQ(messages(kSeverityError),
              std::vector<std::string>{"KOVRA> LogRecord() error Halvo5GateForceLog(), rc 4"});
    EXPECT_TRUE(halvo::History().empty());
}

TEST_F(RecordLogging, ARecordWithAnIllegalTimeIsNeitherLoggedNorStamped) {
    define("0530010", halvo::kHostWord);
    Record record = journal(0, 1);
    record[1] = TimeWord(24, 0, 0);

    EXPECT_EQ(log(record), 0);

    EXPECT_TRUE(halvo::History().empty());
    EXPECT_EQ(stamp(5), Bytes(6, 0));
    EXPECT_EQ(messages().size(), 1u);
}

TEST_F(RecordLogging, TheTimeWordCarriesHoursMinutesAndHalfSeconds) {
    const std::uint16_t record[2] = {DateWord(YearField(ThisYear()), 5, 28), 0x6DAF};
    EXPECT_EQ(Horo2SecSince1970(record), UtcSeconds(ThisYear(), 5, 28, 13, 45, 30));
}

TEST_F(RecordLogging, EveryYearFieldFallsInTheSixteenYearsEndingNextYear) {
    for (unsigned field = 0; field < 16; ++field) {
        const std::uint16_t record[2] = {DateWord(field, 1, 1), 0};
        EXPECT_EQ(Horo2SecSince1970(record), UtcSeconds(YearOfField(field), 1, 1, 0, 0, 0))
            << field;
    }
}

TEST_F(RecordLogging, OutOfRangeFieldsAreRefusedWithTheWholeTime) {
    const unsigned field = YearField(ThisYear());
    struct Refused {
        std::uint16_t date;
        std::uint16_t time;
    };
    std::vector<Refused> refused;
    for (unsigned half : {30u, 31u}) {
        refused.push_back({DateWord(field, 5, 28), static_cast<std::uint16_t>((13 << 11) | half)});
    }
    for (unsigned hours = 24; hours <= 31; ++hours) {
        refused.push_back({DateWord(field, 5, 28), TimeWord(hours, 0, 0)});
    }
    for (unsigned minutes = 60; minutes <= 63; ++minutes) {
        refused.push_back({DateWord(field, 5, 28), TimeWord(0, minutes, 0)});
    }
    for (unsigned month : {14u, 15u}) {
        refused.push_back({DateWord(field, month, 28), 0});
    }
    for (const Refused& r : refused) {
        const std::uint16_t record[2] = {r.date, r.time};
        EXPECT_EQ(Horo2SecSince1970(record), 0) << std::hex << r.date << " " << r.time;
    }
    EXPECT_EQ(messages(kSeverityError).size(), refused.size());

    halvo::ClearRecords();
    const std::uint16_t lateSecond[2] = {DateWord(5, 5, 28), 0x6DBF};
    EXPECT_EQ(Horo2SecSince1970(lateSecond), 0);
    const std::uint16_t lateMonth[2] = {DateWord(5, 15, 28), 0x6DAF};
    EXPECT_EQ(Horo2SecSince1970(lateMonth), 0);
    EXPECT_EQ(messages(kSeverityError),
              (std::vector<std::string>{
                  "KOVRA> Horo2SecSince1970() ill. time 28/05/95 13:45:62 received (1)",
                  "KOVRA> Horo2SecSince1970() ill. time 28/15/95 13:45:30 received (1)"}));
}

TEST_F(RecordLogging, DayZeroAndMonthsZeroAndThirteenRollOver) {
    const int year = ThisYear();
    const unsigned field = YearField(year);
    const std::uint16_t dayZero[2] = {DateWord(field, 3, 0), 0};
    const std::uint16_t monthZero[2] = {DateWord(field, 0, 10), 0};
    const std::uint16_t monthThirteen[2] = {DateWord(field, 13, 10), 0};

    EXPECT_EQ(Horo2SecSince1970(dayZero), UtcSeconds(year, 3, 1, 0, 0, 0) - 86400);
    EXPECT_EQ(Horo2SecSince1970(monthZero), UtcSeconds(year - 1, 12, 10, 0, 0, 0));
    EXPECT_EQ(Horo2SecSince1970(monthThirteen), UtcSeconds(year + 1, 1, 10, 0, 0, 0));
    EXPECT_TRUE(messages().empty());
}

// PLC clocks are set from the PC's civil time, daylight saving included.
TEST_F(RecordLogging, StampsAreLocalCivilTimeInSummerAndInWinter) {
    ScopedTimeZone paris("Europe/Paris");
    const int year = ThisYear();
    const std::uint16_t summer[2] = {DateWord(YearField(year), 7, 14), TimeWord(12, 0, 0)};
    const std::uint16_t winter[2] = {DateWord(YearField(year), 1, 14), TimeWord(12, 0, 0)};

    EXPECT_EQ(Horo2SecSince1970(summer), UtcSeconds(year, 7, 14, 10, 0, 0));
    EXPECT_EQ(Horo2SecSince1970(winter), UtcSeconds(year, 1, 14, 11, 0, 0));
}

// Transitions of this year: Paris changes at 01:00 UTC on the last Sundays of
// March and October, New York at 02:00 local on the second Sunday of March
// and the first of November.
unsigned SundayOf(int year, unsigned month, std::chrono::weekday_indexed which) {
    using namespace std::chrono;
    return static_cast<unsigned>(year_month_day{
        sys_days{std::chrono::year{year} / std::chrono::month{month} /
                 which}}.day());
}
unsigned LastSundayOf(int year, unsigned month) {
    using namespace std::chrono;
    return static_cast<unsigned>(year_month_day{
        sys_days{std::chrono::year{year} / std::chrono::month{month} /
                 Sunday[last]}}.day());
}

// A stamp in the hour that repeats takes its first occurrence unless the
// record before it in the ring was already past that; a stamp in the skipped
// hour moves forward by the gap and says so once. Whatever was converted
// before (a summer or a winter stamp) makes no difference.
TEST_F(RecordLogging, DaylightSavingTransitionsFollowTheStampAndTheRecordBeforeIt) {
    using std::chrono::Sunday;
    const int year = ThisYear();
    const unsigned parisSpring = LastSundayOf(year, 3);
    const unsigned parisAutumn = LastSundayOf(year, 10);
    const unsigned newYorkSpring = SundayOf(year, 3, Sunday[2]);
    const unsigned newYorkAutumn = SundayOf(year, 11, Sunday[1]);
    struct Case {
        const char* zone;
        unsigned month, day, hours, minutes;
        int previousHours, previousMinutes; // UTC on the same day; -1: none known
        int hoursUtc, minutesUtc;
        bool skipped;
    };
    const Case cases[] = {
        // Paris, autumn: 02:30 is 00:30 UTC (first) or 01:30 UTC (second).
        {"Europe/Paris", 10, parisAutumn, 2, 30, -1, 0, 0, 30, false},
        {"Europe/Paris", 10, parisAutumn, 2, 30, 0, 20, 0, 30, false},  // 02:20, first
        {"Europe/Paris", 10, parisAutumn, 2, 30, 0, 30, 0, 30, false},  // the same stamp
        {"Europe/Paris", 10, parisAutumn, 2, 30, 0, 50, 1, 30, false},  // 02:50, first
        {"Europe/Paris", 10, parisAutumn, 2, 30, 1, 10, 1, 30, false},  // 02:10, second
        {"Europe/Paris", 10, parisAutumn, 3, 10, 1, 50, 2, 10, false},  // past the hour
        {"Europe/Paris", 10, parisAutumn, 1, 50, -1, 0, -1, 50, false}, // 23:50 the day before
        // Paris, spring: 02:00 to 03:00 does not exist.
        {"Europe/Paris", 3, parisSpring, 2, 30, -1, 0, 1, 30, true},
        {"Europe/Paris", 3, parisSpring, 2, 30, 0, 50, 1, 30, true},
        {"Europe/Paris", 3, parisSpring, 1, 58, -1, 0, 0, 58, false},
        {"Europe/Paris", 3, parisSpring, 3, 0, -1, 0, 1, 0, false},
        // New York, autumn: 01:30 is 05:30 UTC (EDT) or 06:30 UTC (EST).
        {"America/New_York", 11, newYorkAutumn, 1, 30, -1, 0, 5, 30, false},
        {"America/New_York", 11, newYorkAutumn, 1, 30, 5, 10, 5, 30, false},
        {"America/New_York", 11, newYorkAutumn, 1, 30, 5, 50, 6, 30, false},
        {"America/New_York", 11, newYorkAutumn, 1, 30, 6, 10, 6, 30, false},
        // New York, spring: 02:00 to 03:00 does not exist.
        {"America/New_York", 3, newYorkSpring, 2, 30, -1, 0, 7, 30, true},
        {"America/New_York", 3, newYorkSpring, 3, 30, -1, 0, 7, 30, false},
    };
    for (const Case& c : cases) {
        ScopedTimeZone zone(c.zone);
        const std::uint16_t record[2] = {DateWord(YearField(year), c.month, c.day),
                                         TimeWord(c.hours, c.minutes, 0)};
        const std::int32_t previous =
            c.previousHours < 0
                ? 0
                : UtcSeconds(year, c.month, c.day, c.previousHours, c.previousMinutes, 0);
        const std::int32_t expected = UtcSeconds(year, c.month, c.day, c.hoursUtc, c.minutesUtc, 0);
        for (const unsigned primingMonth : {7u, 1u}) {
            const std::uint16_t priming[2] = {DateWord(YearField(year), primingMonth, 14),
                                              TimeWord(c.hours, c.minutes, 0)};
            Horo2SecSince1970(priming);
            halvo::ClearRecords();
            EXPECT_EQ(Horo2SecSince1970(record, previous), expected)
                << c.zone << " " << c.month << "/" << c.day << " " << c.hours << ":" << c.minutes
                << " after " << previous << ", primed in month " << primingMonth;
            char text[128];
            std::snprintf(text, sizeof text,
                          "KOVRA> Horo2SecSince1970() time %02u/%02u/%02u %u:%02u:00 skipped by "
                          "the change to daylight saving, moved forward",
                          c.day, c.month, static_cast<unsigned>(year % 100), c.hours, c.minutes);
            EXPECT_EQ(messages(),
                      c.skipped ? std::vector<std::string>{text} : std::vector<std::string>{})
                << c.zone << " " << c.hours << ":" << c.minutes;
        }
    }
}

struct AlertCase {
    std::int32_t mode;
    bool alert;
    unsigned flags;
    int severity;
};

std::ostream& operator<<(std::ostream& out, const AlertCase& c) {
    return out << "mode " << c.mode;
}

class LostRecordsAlert : public RecordLogging, public ::testing::WithParamInterface<AlertCase> {};

TEST_P(LostRecordsAlert, TheAlertModeChoosesLogSeverityAndHostAlert) {
    const AlertCase c = GetParam();
    instance.context().alertMode = c.mode;
    const char* text = "KOVRA03 05:'Journal de Bord' overflow probably records lost";

    HoroAlert(instance.request(), text);

    ASSERT_EQ(halvo::Log().size(), 1u);
    EXPECT_EQ(halvo::Log()[0].text, text);
    EXPECT_EQ(halvo::Log()[0].severity, c.severity);
    const auto alerts = halvo::Alerts();
    ASSERT_EQ(alerts.size(), c.alert ? 1u : 0u);
    if (c.alert) {
        EXPECT_EQ(alerts[0].name, "KOVRA");
        EXPECT_EQ(alerts[0].text, text);
        EXPECT_EQ(alerts[0].flags, c.flags);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, LostRecordsAlert,
                         ::testing::Values(AlertCase{0, false, 0, kSeverityTrace},
                                           AlertCase{1, false, 0, kSeverityError},
                                           AlertCase{2, true, 0x40000000u, kSeverityError},
                                           AlertCase{3, true, 0xC0000000u, kSeverityError},
                                           AlertCase{4, true, 0x60000000u, kSeverityError}));

} // namespace
