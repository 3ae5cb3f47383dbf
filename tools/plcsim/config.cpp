#include "plcsim/config.h"

#include "plcsim/journal_config.h"

#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace plcsim {

std::uint8_t StatementStation(const std::vector<std::string>& words, std::size_t i) {
    if (i < words.size() && !words[i].empty() && words[i].size() <= 2 &&
        words[i].find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        return static_cast<std::uint8_t>(std::stoul(words[i], nullptr, 16));
    }
    const unsigned long value = StatementNumber(words, i, 255);
    const std::string& text = words[i];
    if (text.size() > 2 && text[1] != 'x' && text[1] != 'X') {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02lX", value);
        throw std::invalid_argument("station '" + text +
                                    "' looks decimal; stations are hexadecimal as in gate "
                                    "addresses: write " +
                                    hex);
    }
    return static_cast<std::uint8_t>(value);
}

const char* const kConfigFormat =
    R"(Configuration file: one statement a line; '#' starts a comment. Numbers are
decimal, or hexadecimal with a 0x prefix. Stations (ADDR) are J-bus addresses 00 to FF
in hexadecimal, as in gate addresses: 01, 0A, 1A (or 0x1A).

  line SPEED FRAMING           line speed and framing, e.g. "line 9600 8N1"
                               (data bits 5 to 8, parity N/E/O/M/S, stop bits 1,
                               1.5 (with 5 data bits) or 2)
  pace on|off                  hold each reply until request and reply would have
                               crossed the line at its speed (10 bits a byte at 8N1)
  silence MS                   inter-byte silence that ends a frame of unknown length
  station ADDR [P200|P200X]    add a station (default P200)
  bits ADDR START V...         bits (0 or 1) from START: functions 1 and 5
  inputbits ADDR START V...    input bits: function 2
  words ADDR START V...        words (holding registers): functions 3, 6 and 16
  inputwords ADDR START V...   input words: function 4
  long ADDR START V            a 32-bit value in words START and START+1, high word
                               first (counters and chronos)
  float ADDR START F           a float's bit pattern in words START and START+1
  fault ADDR KIND [times N]    misbehave for the station's next N requests (default:
                               always); faults queue up and apply in order. KIND:
                                 silent           no reply
                                 delay MS         reply after MS milliseconds
                                 cut K            send only the first K reply bytes
                                 badcrc           corrupt the reply's CRC
                                 station S        reply as station S
                                 exception CODE   answer with exception CODE
                                 garbage B...     send bytes B... before the reply
                                 reply B...       send bytes B... and their CRC instead
                                                  of the reply (the request is carried out)
)";

namespace {

class Statement {
  public:
    Statement(std::vector<std::string> words, int lineNumber)
        : words_(std::move(words)), line_(lineNumber) {}

    [[noreturn]] void fail(const std::string& why) const {
        throw ConfigError("line " + std::to_string(line_) + ": " + why);
    }

    std::size_t size() const { return words_.size(); }
    const std::vector<std::string>& words() const { return words_; }
    const std::string& word(std::size_t i) const {
        if (i >= words_.size()) {
            fail("'" + words_[0] + "' needs more arguments");
        }
        return words_[i];
    }

    unsigned long number(std::size_t i, unsigned long max) const {
        try {
            return StatementNumber(words_, i, max);
        } catch (const std::invalid_argument& why) {
            fail(why.what());
        }
    }

    std::uint8_t station(std::size_t i) const {
        try {
            return StatementStation(words_, i);
        } catch (const std::invalid_argument& why) {
            fail(why.what());
        }
    }
    std::uint16_t word16(std::size_t i) const {
        return static_cast<std::uint16_t>(number(i, 0xFFFF));
    }

  private:
    std::vector<std::string> words_;
    int line_;
};

void Guarded(const Statement& statement, const std::function<void()>& action) {
    try {
        action();
    } catch (const ConfigError&) {
        throw;
    } catch (const std::exception& e) {
        statement.fail(e.what());
    }
}

void MemoryStatement(Simulator& simulator, const Statement& s, Table table) {
    std::vector<std::uint16_t> values;
    const unsigned long max = (table == Table::Bits || table == Table::InputBits) ? 1 : 0xFFFF;
    for (std::size_t i = 3; i < s.size(); ++i) {
        values.push_back(static_cast<std::uint16_t>(s.number(i, max)));
    }
    if (values.empty()) {
        s.fail("no values");
    }
    Guarded(s, [&] { simulator.set(s.station(1), table, s.word16(2), values); });
}

void FaultStatement(Simulator& simulator, const Statement& s) {
    const std::uint8_t station = s.station(1);
    const std::string& kind = s.word(2);
    std::size_t end = s.size();
    int times = kAlways;
    if (end >= 5 && s.word(end - 2) == "times") {
        times = static_cast<int>(s.number(end - 1, std::numeric_limits<int>::max()));
        if (times == 0) {
            s.fail("a fault needs times 1 or more");
        }
        end -= 2;
    }
    const auto arguments = [&](std::size_t wanted) {
        if (end - 3 != wanted) {
            s.fail("fault '" + kind + "' takes " + std::to_string(wanted) + " argument(s)");
        }
    };
    Fault fault;
    if (kind == "silent") {
        arguments(0);
        fault = Fault::Silent(times);
    } else if (kind == "delay") {
        arguments(1);
        fault = Fault::Delayed(std::chrono::milliseconds(s.number(3, 600000)), times);
    } else if (kind == "cut") {
        arguments(1);
        fault = Fault::CutAfter(s.number(3, 1000), times);
    } else if (kind == "badcrc") {
        arguments(0);
        fault = Fault::CorruptCrc(times);
    } else if (kind == "station") {
        arguments(1);
        fault = Fault::AsStation(s.station(3), times);
    } else if (kind == "exception") {
        arguments(1);
        fault = Fault::WithException(static_cast<std::uint8_t>(s.number(3, 255)), times);
    } else if (kind == "garbage" || kind == "reply") {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 3; i < end; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(s.number(i, 255)));
        }
        if (bytes.empty()) {
            s.fail("fault '" + kind + "' needs at least one byte");
        }
        fault = kind == "garbage" ? Fault::GarbageFirst(std::move(bytes), times)
                                  : Fault::Replying(std::move(bytes), times);
    } else {
        s.fail("unknown fault '" + kind + "'");
    }
    if (!simulator.hasStation(station)) {
        s.fail("no station " + std::to_string(station));
    }
    simulator.injectFault(station, std::move(fault));
}

LineSettings ParseLine(const Statement& s) {
    LineSettings line;
    line.baudRate = static_cast<unsigned>(s.number(1, 1000000));
    const std::string& framing = s.word(2);
    const std::string stop = framing.size() > 2 ? framing.substr(2) : "";
    line.halfStopBits = stop == "1" ? 2 : stop == "1.5" ? 3 : stop == "2" ? 4 : 0;
    if (framing.size() < 3 || framing[0] < '5' || framing[0] > '8' ||
        std::string("NEOMS").find(framing[1]) == std::string::npos || line.halfStopBits == 0 ||
        (line.halfStopBits == 3 && framing[0] != '5') || line.baudRate == 0) {
        s.fail("framing '" + framing + "' is not like 8N1");
    }
    line.dataBits = static_cast<unsigned>(framing[0] - '0');
    line.parity = framing[1];
    return line;
}

void Apply(Simulator& simulator, const Statement& s) {
    const std::string& verb = s.word(0);
    if (verb == "line") {
        simulator.setLine(ParseLine(s));
    } else if (verb == "pace") {
        const std::string& mode = s.word(1);
        if (mode != "on" && mode != "off") {
            s.fail("pace takes on or off");
        }
        simulator.setPacing(mode == "on");
    } else if (verb == "silence") {
        simulator.setSilence(std::chrono::milliseconds(s.number(1, 10000)));
    } else if (verb == "station") {
        Model model = Model::P200;
        if (s.size() > 2) {
            if (s.word(2) == "P200X") {
                model = Model::P200X;
            } else if (s.word(2) != "P200") {
                s.fail("model '" + s.word(2) + "' is neither P200 nor P200X");
            }
        }
        simulator.addStation(s.station(1), model);
    } else if (verb == "bits") {
        MemoryStatement(simulator, s, Table::Bits);
    } else if (verb == "inputbits") {
        MemoryStatement(simulator, s, Table::InputBits);
    } else if (verb == "words") {
        MemoryStatement(simulator, s, Table::Words);
    } else if (verb == "inputwords") {
        MemoryStatement(simulator, s, Table::InputWords);
    } else if (verb == "long") {
        const auto value = static_cast<std::uint32_t>(s.number(3, 0xFFFFFFFFul));
        Guarded(s, [&] { simulator.setLong(s.station(1), Table::Words, s.word16(2), value); });
    } else if (verb == "float") {
        float value = 0;
        try {
            std::size_t used = 0;
            value = std::stof(s.word(3), &used);
            if (used != s.word(3).size()) {
                s.fail("'" + s.word(3) + "' is not a number");
            }
        } catch (const ConfigError&) {
            throw;
        } catch (const std::exception&) {
            s.fail("'" + s.word(3) + "' is not a number");
        }
        Guarded(s, [&] { simulator.setFloat(s.station(1), Table::Words, s.word16(2), value); });
    } else if (verb == "fault") {
        FaultStatement(simulator, s);
    } else {
        bool known = false;
        Guarded(s, [&] { known = ApplyJournalStatement(simulator, s.words()); });
        if (!known) {
            s.fail("unknown statement '" + verb + "'");
        }
    }
}

} // namespace

void Configure(Simulator& simulator, std::istream& text) {
    std::string lineText;
    int lineNumber = 0;
    while (std::getline(text, lineText)) {
        ++lineNumber;
        if (const auto comment = lineText.find('#'); comment != std::string::npos) {
            lineText.erase(comment);
        }
        std::istringstream words(lineText);
        std::vector<std::string> tokens;
        for (std::string word; words >> word;) {
            tokens.push_back(word);
        }
        if (!tokens.empty()) {
            Apply(simulator, Statement(std::move(tokens), lineNumber));
        }
    }
}

void ConfigureFile(Simulator& simulator, const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw ConfigError("cannot read " + path);
    }
    try {
        Configure(simulator, file);
    } catch (const ConfigError& error) {
        throw ConfigError(path + ": " + error.what());
    }
}

} // namespace plcsim
