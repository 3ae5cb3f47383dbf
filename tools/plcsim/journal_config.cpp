#include "plcsim/journal_config.h"

#include "plcsim/journal.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>

namespace plcsim {

const char* const kJournalConfigFormat =
    R"(Journal files and clocks (P200 and P200X):

  file ADDR NUMBER COUNT WORDS [FIRST]
                               a journal (NUMBER 1) or memo file (NUMBER is its
                               variable's J-bus address): a ring of COUNT records of
                               WORDS words, record i at register FIRST + i (default
                               0x1000), entered in the file table at 0x0900
  table ADDR SLOT VALUE        a raw file table entry (0xFFFF empty, 2 skipped, 3
                               ends a P200X table)
  header ADDR NUMBER WORD V    serve V as header word WORD (0 to 15) of the file
  clock ADDR DATE TIME         set the clock, e.g. "clock 5 2025-05-28 13:45:30"; it
                               runs from there (the driver sets it through registers
                               1 to 4)
  event ADDR JBUS VALUE [N]    append N (default 1) journal events of J-bus address
                               JBUS, values VALUE, VALUE+1, ..., stamped by the clock;
                               more than the ring holds makes it wrap
  memo ADDR NUMBER VALUE [N]   the same for memo file NUMBER
  record ADDR NUMBER W...      append a record of raw words
  clear ADDR NUMBER            empty the file
  generate ADDR NUMBER JBUS MS [VALUE]
                               append one event (file 1) or memo value every MS
                               milliseconds, values counting up from VALUE (0)
)";

namespace {

std::uint16_t Word(const std::vector<std::string>& words, std::size_t i) {
    return static_cast<std::uint16_t>(StatementNumber(words, i, 0xFFFF));
}

std::tm ParseClock(const std::vector<std::string>& words) {
    if (words.size() != 4) {
        throw std::invalid_argument("clock takes a station, YYYY-MM-DD and HH:MM:SS");
    }
    std::tm local{};
    int year = 0;
    int month = 0;
    char end = 0;
    if (std::sscanf(words[2].c_str(), "%d-%d-%d%c", &year, &month, &local.tm_mday, &end) != 3 ||
        std::sscanf(words[3].c_str(), "%d:%d:%d%c", &local.tm_hour, &local.tm_min, &local.tm_sec,
                    &end) != 3 ||
        year < 1990 || month < 1 || month > 12 || local.tm_mday < 1 || local.tm_mday > 31 ||
        local.tm_hour > 23 || local.tm_min > 59 || local.tm_sec > 59) {
        throw std::invalid_argument("'" + words[2] + " " + words[3] + "' is not a date and time");
    }
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    return local;
}

// "event" and "memo": STATION WHERE VALUE [COUNT], COUNT values from VALUE up.
void AppendRun(const std::vector<std::string>& words,
               const std::function<void(std::uint16_t, std::uint32_t)>& append) {
    const std::uint16_t where = Word(words, 2);
    const auto value = static_cast<std::uint32_t>(StatementNumber(words, 3, 0xFFFFFFFFul));
    const auto count =
        words.size() > 4 ? static_cast<std::uint32_t>(StatementNumber(words, 4, 65535)) : 1u;
    for (std::uint32_t i = 0; i < count; ++i) {
        append(where, value + i);
    }
}

} // namespace

bool ApplyJournalStatement(Simulator& simulator, const std::vector<std::string>& words) {
    if (words.empty()) {
        return false;
    }
    const std::string& verb = words[0];
    const auto journal = [&] { return JournalOf(simulator, StatementStation(words, 1)); };
    if (verb == "file") {
        FileLayout layout;
        layout.number = Word(words, 2);
        layout.recordCount = Word(words, 3);
        layout.recordWords = Word(words, 4);
        if (words.size() > 5) {
            layout.firstRecordAddress = Word(words, 5);
        }
        // What the statements append: a journal event is date, time, J-bus
        // address and a 2-word value; a memo value is date, time and value.
        const bool isJournal = layout.number == kJournalFileNumber;
        const std::uint16_t least = isJournal ? 5 : 4;
        if (layout.recordWords != 0 && layout.recordWords < least) {
            throw std::invalid_argument(
                std::string(isJournal ? "a journal record" : "a memo record") + " takes " +
                std::to_string(least) + " words (" +
                (isJournal ? "date, time, J-bus address, value" : "date, time, value") + "), not " +
                std::to_string(layout.recordWords));
        }
        journal()->addFile(layout);
    } else if (verb == "table") {
        journal()->setTableEntry(StatementNumber(words, 2, 119), Word(words, 3));
    } else if (verb == "header") {
        journal()->overrideHeaderWord(
            Word(words, 2), StatementNumber(words, 3, kFileHeaderWords - 1), Word(words, 4));
    } else if (verb == "clock") {
        journal()->setClock(ParseClock(words));
    } else if (verb == "event") {
        const auto target = journal();
        AppendRun(words, [&](std::uint16_t address, std::uint32_t value) {
            target->appendJournalEvent(address, value);
        });
    } else if (verb == "memo") {
        const auto target = journal();
        AppendRun(words, [&](std::uint16_t file, std::uint32_t value) {
            target->appendMemoValue(file, value);
        });
    } else if (verb == "record") {
        std::vector<std::uint16_t> record;
        for (std::size_t i = 3; i < words.size(); ++i) {
            record.push_back(Word(words, i));
        }
        if (record.empty()) {
            throw std::invalid_argument("record needs at least one word");
        }
        journal()->appendRecord(Word(words, 2), record);
    } else if (verb == "clear") {
        journal()->clearFile(Word(words, 2));
    } else if (verb == "generate") {
        const auto value = words.size() > 5
                               ? static_cast<std::uint32_t>(StatementNumber(words, 5, 0xFFFFFFFFul))
                               : 0u;
        journal()->generate(Word(words, 2), Word(words, 3),
                            std::chrono::milliseconds(StatementNumber(words, 4, 3600000)), value);
    } else {
        return false;
    }
    return true;
}

unsigned long StatementNumber(const std::vector<std::string>& words, std::size_t i,
                              unsigned long max) {
    if (i >= words.size()) {
        throw std::invalid_argument("'" + words[0] + "' needs more arguments");
    }
    const std::string& text = words[i];
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() - (hex ? 2 : 0) || text[0] == '-') {
        throw std::invalid_argument("'" + text + "' is not a number");
    }
    if (value > max) {
        throw std::invalid_argument("'" + text + "' is above " + std::to_string(max));
    }
    return value;
}

} // namespace plcsim
