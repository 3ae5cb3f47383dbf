#include "output/format.h"

#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kovra_host {
namespace {

// Code page 437, bytes 0x80 to 0xFF.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::int64_t SecondsOf(const std::tm& tm) {
    return DaysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                         static_cast<unsigned>(tm.tm_mday)) *
               86400 +
           tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

bool ReadNumber(const std::string& text, std::size_t& at, std::size_t digits, int& value) {
    if (at + digits > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = text[at + i];
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    at += digits;
    return true;
}

bool Expect(const std::string& text, std::size_t& at, char c) {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

} // namespace

std::string Cp437ToUtf8(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && text[begin] == '\r') {
        ++begin;
    }
    while (end > begin && text[end - 1] == '\r') {
        --end;
    }
    std::string out;
    for (std::size_t i = begin; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\r') {
            if (i + 1 < end && text[i + 1] == '\n') {
                continue;
            }
            out += '\n';
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            AppendUtf8(out, kCp437High[byte - 0x80]);
        }
    }
    return out;
}

std::string IsoLocalTime(std::int64_t seconds) {
    std::tm local{};
    std::tm utc{};
    const auto when = static_cast<std::time_t>(seconds);
    if (!LocalTime(when, local) || !UtcTime(when, utc)) {
        return "@" + std::to_string(seconds);
    }
    const std::int64_t offset = SecondsOf(local) - SecondsOf(utc);
    const std::int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
    return text;
}

namespace {

// A date with an optional time of day, as far as the text gives it.
struct CivilTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    enum class Precision { Day, Minute, Second } precision = Precision::Day;
};

std::optional<CivilTime> ReadCivilTime(const std::string& text, std::size_t& at) {
    CivilTime t;
    if (!ReadNumber(text, at, 4, t.year) || !Expect(text, at, '-') ||
        !ReadNumber(text, at, 2, t.month) || !Expect(text, at, '-') ||
        !ReadNumber(text, at, 2, t.day)) {
        return std::nullopt;
    }
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!ReadNumber(text, at, 2, t.hour) || !Expect(text, at, ':') ||
            !ReadNumber(text, at, 2, t.minute)) {
            return std::nullopt;
        }
        t.precision = CivilTime::Precision::Minute;
        if (Expect(text, at, ':')) {
            if (!ReadNumber(text, at, 2, t.second)) {
                return std::nullopt;
            }
            t.precision = CivilTime::Precision::Second;
        }
    }
    static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > kMonthDays[t.month - 1] ||
        (t.month == 2 && t.day == 29 && !leap) || t.hour > 23 || t.minute > 59 || t.second > 60) {
        return std::nullopt;
    }
    return t;
}

// Seconds since 1970 of a civil time in this computer's zone.
std::optional<std::int64_t> LocalSeconds(const CivilTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    const std::time_t local = std::mktime(&tm);
    if (local == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(local);
}

// The zone after a civil time: Z, or +hh:mm / -hh:mm; its offset from UTC in seconds.
std::optional<std::int64_t> ReadZoneOffset(const std::string& text, std::size_t at) {
    if (text[at] == 'Z' && at + 1 == text.size()) {
        return 0;
    }
    if (text[at] != '+' && text[at] != '-') {
        return std::nullopt;
    }
    const int sign = text[at] == '-' ? -1 : 1;
    ++at;
    int hours = 0, minutes = 0;
    if (!ReadNumber(text, at, 2, hours)) {
        return std::nullopt;
    }
    Expect(text, at, ':');
    if (!ReadNumber(text, at, 2, minutes) || at != text.size() || hours > 23 || minutes > 59) {
        return std::nullopt;
    }
    return sign * (hours * 3600 + minutes * 60);
}

} // namespace

std::optional<std::int64_t> ParseTime(const std::string& text, bool spanEnd) {
    if (!text.empty() && text[0] == '@') {
        // Digits, with a minus sign at most: no blank, no plus, nothing past
        // what a time holds.
        const std::size_t first = text.size() > 1 && text[1] == '-' ? 2 : 1;
        if (first >= text.size() || !std::isdigit(static_cast<unsigned char>(text[first]))) {
            return std::nullopt;
        }
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(text.c_str() + 1, &end, 10);
        if (*end != '\0' || errno == ERANGE) {
            return std::nullopt;
        }
        return value;
    }
    std::size_t at = 0;
    std::optional<CivilTime> t = ReadCivilTime(text, at);
    if (!t) {
        return std::nullopt;
    }
    if (spanEnd && t->precision == CivilTime::Precision::Minute) {
        t->second = 59;
    } else if (spanEnd && t->precision == CivilTime::Precision::Day) {
        // A local day may have 23 or 25 hours: it ends one second before the
        // next one starts.
        ++t->day;
        t->second = -1;
    }
    if (at == text.size()) {
        return LocalSeconds(*t);
    }
    const auto offset = ReadZoneOffset(text, at);
    if (!offset) {
        return std::nullopt;
    }
    return DaysFromCivil(t->year, static_cast<unsigned>(t->month), static_cast<unsigned>(t->day)) *
               86400 +
           t->hour * 3600 + t->minute * 60 + t->second - *offset;
}

std::string FormatValue(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    char text[64];
    if (std::fabs(value) < 1e15 && value == std::trunc(value)) {
        std::snprintf(text, sizeof text, "%.0f", value);
        return std::strcmp(text, "-0") == 0 ? "0" : text;
    }
    // The shortest form that reads back exactly, but no more than 15 digits:
    // beyond those a cooked value holds only the noise of its arithmetic
    // (325 x 0.1 - 20 is 12.500000000000002 in x87 arithmetic).
    for (int precision = 6; precision <= 15; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    // Near the largest double, 15 digits round past it and read back as an
    // infinity: then all 17, which read back as the value itself.
    if (std::isfinite(value) && !std::isfinite(std::strtod(text, nullptr))) {
        std::snprintf(text, sizeof text, "%.17g", value);
    }
    return text;
}

std::string FormatRaw(std::uint32_t raw, int width) {
    char text[48];
    if (width == 1) {
        std::snprintf(text, sizeof text, "%" PRIu32, raw);
    } else if (width == 16) {
        std::snprintf(text, sizeof text, "0x%04" PRIX32 " (%" PRIu32 ")", raw, raw);
    } else {
        std::snprintf(text, sizeof text, "0x%08" PRIX32 " (%" PRIu32 ")", raw, raw);
    }
    return text;
}

std::string CsvCell(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + '"';
}

std::string CsvLine(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += CsvCell(cells[i]);
    }
    return line;
}

namespace {

// Display width of UTF-8 text: one column per code point.
std::size_t Columns(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

void Table::print(std::FILE* out, bool csv) const {
    if (csv) {
        std::fprintf(out, "%s\n", CsvLine(headings_).c_str());
        for (const auto& row : rows_) {
            std::fprintf(out, "%s\n", CsvLine(row).c_str());
        }
        return;
    }
    std::vector<std::size_t> widths(headings_.size());
    for (std::size_t i = 0; i < headings_.size(); ++i) {
        widths[i] = Columns(headings_[i]);
    }
    for (const auto& row : rows_) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], Columns(row[i]));
        }
    }
    auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
            line += cells[i];
            if (i + 1 < cells.size()) {
                line.append(widths[i] - Columns(cells[i]) + 2, ' ');
            }
        }
        std::fprintf(out, "%s\n", line.c_str());
    };
    printRow(headings_);
    for (const auto& row : rows_) {
        printRow(row);
    }
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

Cell TextCell(const std::string& text) {
    return {text, text, JsonString(text), false};
}

Cell NumberCell(double value) {
    const std::string text = FormatValue(value);
    return {text, text, std::isfinite(value) ? text : "null", false};
}

Cell RawCell(std::uint32_t raw, int width) {
    return {FormatRaw(raw, width), std::to_string(raw), std::to_string(raw), false};
}

Cell TimeCell(std::int64_t seconds) {
    return TextCell(IsoLocalTime(seconds));
}

Cell NoCell() {
    return {"-", "", "", true};
}

Cell NullCell() {
    return {"-", "", "null", false};
}

Listing::Listing(OutputFormat format, std::vector<std::string> headings,
                 std::vector<std::size_t> liveWidths, const std::vector<std::string>& dataOnly)
    : format_(format), headings_(std::move(headings)), liveWidths_(std::move(liveWidths)) {
    for (const auto& heading : headings_) {
        dataOnly_.push_back(std::find(dataOnly.begin(), dataOnly.end(), heading) != dataOnly.end());
    }
    if (format_ == OutputFormat::Csv) {
        std::printf("%s\n", CsvLine(headings_).c_str());
    } else if (format_ == OutputFormat::Text) {
        headings_ = shownInText(std::move(headings_));
        if (!liveWidths_.empty()) {
            printLive(headings_);
        }
    }
    std::fflush(stdout);
}

template <typename T> std::vector<T> Listing::shownInText(std::vector<T> cells) const {
    std::vector<T> shown;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i >= dataOnly_.size() || !dataOnly_[i]) {
            shown.push_back(std::move(cells[i]));
        }
    }
    return shown;
}

void Listing::printLive(const std::vector<std::string>& cells) const {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        const std::size_t width = i < liveWidths_.size() ? liveWidths_[i] : 0;
        if (i + 1 < cells.size()) {
            line.append(std::max(width, Columns(cells[i])) - Columns(cells[i]) + 2, ' ');
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    std::printf("%s\n", line.c_str());
}

void Listing::add(std::vector<Cell> row) {
    switch (format_) {
    case OutputFormat::Csv: {
        std::vector<std::string> cells;
        for (const auto& cell : row) {
            cells.push_back(cell.csv);
        }
        std::printf("%s\n", CsvLine(cells).c_str());
        break;
    }
    case OutputFormat::Json: {
        std::string object;
        for (std::size_t i = 0; i < row.size() && i < headings_.size(); ++i) {
            if (row[i].absent) {
                continue;
            }
            std::string key = headings_[i];
            for (auto& c : key) {
                c = c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            object += (object.empty() ? "{" : ",") + JsonString(key) + ":" + row[i].json;
        }
        std::printf("%s}\n", object.empty() ? "{" : object.c_str());
        break;
    }
    case OutputFormat::Text:
        row = shownInText(std::move(row));
        if (!liveWidths_.empty()) {
            // A last column absent shows nothing rather than a dash a line.
            std::vector<std::string> cells;
            for (std::size_t i = 0; i < row.size(); ++i) {
                cells.push_back(row[i].absent && i + 1 == row.size() ? "" : row[i].text);
            }
            printLive(cells);
        } else {
            rows_.push_back(std::move(row));
        }
        break;
    }
    std::fflush(stdout);
}

void Listing::finish() {
    if (format_ != OutputFormat::Text || !liveWidths_.empty()) {
        return;
    }
    // The last column (the error) only when some row has it, or no row is
    // there to say which columns are needed.
    std::vector<std::size_t> shown;
    for (std::size_t i = 0; i < headings_.size(); ++i) {
        if (std::any_of(rows_.begin(), rows_.end(),
                        [i](const auto& row) { return i < row.size() && !row[i].absent; }) ||
            i + 1 < headings_.size() || rows_.empty()) {
            shown.push_back(i);
        }
    }
    std::vector<std::string> headings;
    for (const auto i : shown) {
        headings.push_back(headings_[i]);
    }
    Table table(headings);
    for (const auto& row : rows_) {
        std::vector<std::string> cells;
        for (const auto i : shown) {
            cells.push_back(i < row.size() ? row[i].text : "-");
        }
        table.add(cells);
    }
    table.print(stdout, false);
    std::fflush(stdout);
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : " ") + HexByte(bytes[i]);
    }
    return text;
}

std::string HexByte(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

std::string Plural(unsigned count, const char* one) {
    return std::to_string(count) + " " + one + (count == 1 ? "" : "s");
}

const char* ExceptionMeaning(unsigned code) {
    switch (code) {
    case 1:
        return "illegal function";
    case 2:
        return "illegal data address";
    case 3:
        return "illegal data value";
    case 4:
        return "PLC failure";
    case 5:
        return "acknowledged, still working";
    case 6:
        return "PLC busy";
    case 7:
        return "negative acknowledge";
    case 8:
        return "memory parity error";
    default:
        return "unknown exception";
    }
}

void Print(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace kovra_host
