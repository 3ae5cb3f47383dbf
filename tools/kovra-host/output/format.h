// Text that kovra-host shows to people and to spreadsheets: the driver's
// banner in Unicode, times in ISO 8601 with the zone, values with their raw
// form, and tables either aligned or as CSV.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

// The driver's texts are code page 437; a terminal today wants UTF-8. Carriage
// returns that only frame the text are dropped, others become line ends.
std::string Cp437ToUtf8(const std::string& text);

// Seconds since 1970 UTC as local time with its offset: 2025-05-28T13:45:30+02:00.
std::string IsoLocalTime(std::int64_t seconds);

// Reads 2025-05-28, 2025-05-28T13:45, 2025-05-28T13:45:30 (local time), any of
// them followed by Z or +hh:mm / -hh:mm, a space allowed in place of the T, or
// @SECONDS since 1970. With `spanEnd`, the time is the last second of what
// the text names (the whole day of a date, the whole minute of 13:45), as an
// inclusive upper bound wants it.
std::optional<std::int64_t> ParseTime(const std::string& text, bool spanEnd = false);

// A cooked value as short as it reads exactly, to 15 significant digits at
// most: 12.5, 1, -0.001.
std::string FormatValue(double value);

// The raw PLC value of a gate, by the gate's width: bits as 0/1, 16-bit
// values as 0x1234 (4660), 32-bit values as 0x00123456 (1193046).
std::string FormatRaw(std::uint32_t raw, int width);

// Rows of cells printed either as an aligned table with a heading line or as
// CSV (RFC 4180 quoting).
class Table {
  public:
    explicit Table(std::vector<std::string> headings) : headings_(std::move(headings)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool empty() const { return rows_.empty(); }
    std::size_t size() const { return rows_.size(); }
    void print(std::FILE* out, bool csv) const;

  private:
    std::vector<std::string> headings_;
    std::vector<std::vector<std::string>> rows_;
};

// A line of a command's output on standard output, where listings go too,
// at once: the console's notes on standard error interleave with it.
void Print(const std::string& line);

// How a listing reaches its reader: an aligned table, CSV, or JSON, one
// object a line.
enum class OutputFormat { Text, Csv, Json };

// One cell as each format shows it: the table's text, the CSV cell and the
// JSON value (a literal). An absent cell shows "-" in a table, an empty CSV
// cell, and leaves its member out of the JSON object.
struct Cell {
    std::string text;
    std::string csv;
    std::string json;
    bool absent = false;
};
Cell TextCell(const std::string& text);
Cell NumberCell(double value);
// The raw PLC value: its hexadecimal and decimal form in a table, the number
// alone in CSV and JSON.
Cell RawCell(std::uint32_t raw, int width);
Cell TimeCell(std::int64_t seconds);
Cell NoCell();
// A value the row should have but lacks (a clock that does not read): "-" in
// text, empty in CSV, null in JSON.
Cell NullCell();
std::string JsonString(const std::string& text);

// Rows printed in one of the formats. The JSON members are the headings in
// lower case, blanks as underscores ("PLC TIME" gives plc_time). A table that
// is not live is aligned when finished, leaving out its last column when it is
// absent in every row; a live one prints each row at once, in columns of the
// given widths. CSV and JSON rows are printed as they come. The columns
// headed by one of `dataOnly` are for programs: a table, whose text says the
// same in another cell, leaves them out.
class Listing {
  public:
    Listing(OutputFormat format, std::vector<std::string> headings,
            std::vector<std::size_t> liveWidths = {},
            const std::vector<std::string>& dataOnly = {});
    void add(std::vector<Cell> row);
    void finish();
    bool empty() const { return rows_.empty(); }

  private:
    void printLive(const std::vector<std::string>& cells) const;
    template <typename T> std::vector<T> shownInText(std::vector<T> cells) const;

    OutputFormat format_;
    std::vector<std::string> headings_;
    std::vector<std::size_t> liveWidths_;
    std::vector<bool> dataOnly_; // by column
    std::vector<std::vector<Cell>> rows_;
};

std::string CsvCell(const std::string& text);
std::string CsvLine(const std::vector<std::string>& cells);

// A byte in two hexadecimal digits, as stations and gate addresses show it: "1A".
std::string HexByte(unsigned value);

// "1 record", "2 records".
std::string Plural(unsigned count, const char* one);

// What a J-bus exception code means: "illegal data address" for 2.
const char* ExceptionMeaning(unsigned code);

// Bytes as "01 03 00 10".
std::string HexBytes(const std::uint8_t* bytes, std::size_t count);

} // namespace kovra_host
