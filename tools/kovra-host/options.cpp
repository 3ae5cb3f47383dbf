#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kovra_host {
namespace {

enum : unsigned {
    kInfo = 1u << 0,
    kRead = 1u << 1,
    kWrite = 1u << 2,
    kCollect = 1u << 3,
    kSync = 1u << 4,
    kWatch = 1u << 5,
    kHistory = 1u << 6,
    kDemo = 1u << 7,
    kScan = 1u << 8,
    kMonitor = 1u << 9,
    kLine = kRead | kWrite | kCollect | kSync | kWatch | kScan, // commands that talk to PLCs
};

struct CommandSpec {
    const char* name;
    unsigned bit;
    const char* synopsis;
    const char* description;
};

constexpr CommandSpec kCommands[] = {
    {"info", kInfo, "info",
     "Shows what the driver tells about itself (driver information, function 14): its\n"
     "name and number, the size of its context, its default line settings and its\n"
     "banner."},
    {"read", kRead, "read GATE... --port DEVICE [--count N]",
     "Parses each gate and reads it once; prints its cooked value and its raw form.\n"
     "With --count, reads N consecutive elements from each gate on, one row each.\n"
     "Reading a gate of memory type I collects that station's journals, S sets its\n"
     "clock, H serves the last-event stamps; the values these force into the log go\n"
     "to the history."},
    {"write", kWrite, "write GATE VALUE --port DEVICE",
     "Parses the gate and writes VALUE to it, in the gate's own units (the cooking\n"
     "rule is undone), or as the raw PLC value with --raw. Digital gates take 0 or 1."},
    {"collect", kCollect, "collect STATION... --port DEVICE",
     "Collects the journal and memo files of each station (a read of gate ssI0000),\n"
     "stores every event in the history and prints them: gate, cooked value, raw\n"
     "value and PLC time. STATION is the J-bus station in hexadecimal (05, 1A).\n"
     "A record whose address has no gate in the gates file is kept raw under the\n"
     "counter gate of its address (ssCaaaa), flagged undefined, and the summary\n"
     "names the addresses to add.\n"
     "On a terminal a progress line shows files, records and records per second."},
    {"scan", kScan, "scan [FIRST-LAST] --port DEVICE",
     "Finds the stations that answer on the line (a read of one word each, the\n"
     "first of the journal file table 0x0900), from FIRST to LAST in hexadecimal\n"
     "(default 01-F7), and shows the model where the file table tells it (120 words\n"
     "on a P200X, 52 on a P200) and the PLC's clock (registers 1 to 4). The driver\n"
     "tries each address four times, each try with a quarter of the reply timeout,\n"
     "so a silent address costs about one reply timeout and the gaps: with\n"
     "--timeout 100 all 247 addresses take some 30 seconds."},
    {"sync", kSync, "sync STATION --port DEVICE",
     "Sets the clock of a P200X (a read of gate ssS0000) from this computer's local\n"
     "time. The station must be marked P200X in the init file (P200X = ss)."},
    {"watch", kWatch, "watch GATE... --port DEVICE --every SECONDS [--count N]",
     "Reads the gates every SECONDS and prints a line whenever a value changes\n"
     "(the first poll prints every gate). Stops after N polls with --count, else on\n"
     "Ctrl-C."},
    {"history", kHistory, "history [--gate GATE]... [--from TIME] [--to TIME]",
     "Prints the stored history: values by PLC time (values that came without one\n"
     "by the time they were collected), or the alerts with --alerts. TIME is\n"
     "2025-05-28, 2025-05-28T13:45[:30] (local time), either followed by Z or\n"
     "+hh:mm, or @SECONDS since 1970."},
    {"monitor", kMonitor, "monitor --port DEVICE [--seconds N] [--save FILE]",
     "Listens to a line that another master polls, sending nothing: cuts what\n"
     "crosses it into frames by the J-bus lengths and the line's silence (3.5\n"
     "characters), pairs each request with its reply and prints them as --trace\n"
     "does, with the gap before each frame and the reply time. Flags CRC errors,\n"
     "exceptions, requests with no reply within --timeout (default 1000 ms),\n"
     "replies from another station and garbage between frames. Ends on Ctrl-C\n"
     "or after --seconds with each station's requests, replies, errors and reply\n"
     "times, and the line's load. --replay FILE decodes a capture that --save\n"
     "kept."},
    {"demo", kDemo, "demo [--dir DIR]",
     "Runs everything end to end against a simulated line with two stations, a\n"
     "P200 (01) and a P200X (02), on a pseudo-terminal: driver information, cold\n"
     "start, gate parsing, reads, writes, a clock setting and two journal\n"
     "collections, the second passing only the events that are new, telling what\n"
     "happens on the way. Works in a new temporary directory unless --dir is given."},
};

struct OptionSpec {
    const char* name;
    const char* argument; // null for a flag
    unsigned commands;
    const char* help;
};

constexpr OptionSpec kOptions[] = {
    {"port", "DEVICE", kLine | kMonitor,
     "serial device of the J-bus line (/dev/ttyS0, COM1), or a device server:\n"
     "tcp://HOST:PORT (raw) or rfc2217://HOST:PORT (line set from these options)"},
    {"baud", "N", kLine | kMonitor,
     "line speed (default: the driver's, 9600); scan: auto tries 9600, 19200,\n"
     "38400, 57600, 4800, 2400 and 1200 until a station answers"},
    {"data-bits", "N", kLine | kMonitor, "7 or 8 (default: the driver's, 8)"},
    {"parity", "P", kLine | kMonitor,
     "none, odd, even, mark or space (default: the driver's, none); scan with\n"
     "--baud auto: auto tries none, even, odd and none with 2 stop bits"},
    {"stop-bits", "N", kLine | kMonitor, "1, 1.5 or 2 (default: the driver's, 1)"},
    {"timeout", "MS", kLine | kMonitor,
     "reply timeout in milliseconds, as COMM_TIMEOUT in the init file sets it"},
    {"gap", "MS", kLine, "silence before every request in milliseconds (inter-frame gap)"},
    {"driver", "PATH", kLine | kInfo | kDemo | kMonitor,
     "driver library (default: beside this program or in its build tree)"},
    {"driver-number", "N", kLine,
     "driver instance number: names KOVRAnn.INT and KOVRAnnH.DAT (default 1)"},
    {"dir", "DIR", kLine | kHistory | kDemo,
     "working directory holding KOVRAnn.INT, KOVRAnnH.DAT and the history\n"
     "(default: the current directory; demo: a new temporary one)"},
    {"state-dir", "DIR", kLine,
     "working directory when no --dir is given and the current one is read-only\n"
     "(default: $XDG_STATE_HOME/kovra or ~/.local/state/kovra); given, it is\n"
     "used whatever the current directory"},
    {"gates", "FILE", kLine,
     "gates file (default: kovra-gates.txt in the working directory, if there)"},
    {"history", "FILE", kLine | kHistory,
     "history database (default: kovra-history.db in the working directory)"},
    {"no-history", nullptr, kLine, "store nothing"},
    {"strict-gates", nullptr, kLine,
     "pass over journal records whose address has no gate, as the host does\n"
     "(default: keep them under a raw counter gate, flagged undefined)"},
    {"log-level", "LEVEL", kLine | kDemo,
     "driver messages shown: none (0), fatal (1), error (32, default), trace (8)"},
    {"tap", "FILE", kLine,
     "mirror the line's traffic, both ways, on a pseudo-terminal linked as FILE,\n"
     "for a monitor to listen on"},
    {"trace", nullptr, kLine | kDemo,
     "print every frame sent and received, with its time and meaning"},
    {"format", "FORMAT", kRead | kCollect | kWatch | kHistory | kScan | kMonitor,
     "text (an aligned table, the default), csv (the raw value a number in its\n"
     "own column) or json (one object a line); failed requests are rows with\n"
     "their error"},
    {"csv", nullptr, kRead | kCollect | kWatch | kHistory | kScan, "the same as --format csv"},
    {"raw", nullptr, kWrite, "VALUE is the raw PLC value (decimal or 0x hexadecimal)"},
    {"every", "SECONDS", kWatch, "polling period (required)"},
    {"count", "N", kWatch | kRead,
     "read: N consecutive elements from each GATE, in as few block reads as\n"
     "the driver allows; watch: stop after N polls"},
    {"seconds", "N", kMonitor, "stop listening after N seconds"},
    {"save", "FILE", kMonitor, "keep the raw bytes with their times in FILE"},
    {"replay", "FILE", kMonitor, "decode a capture kept with --save instead of listening"},
    {"gate", "GATE", kHistory, "only this gate (repeatable)"},
    {"from", "TIME", kHistory, "only from this time on"},
    {"to", "TIME", kHistory, "only up to this time"},
    {"limit", "N", kHistory, "at most N rows, the oldest"},
    {"last", "N", kHistory, "the newest N rows, oldest first"},
    {"alerts", nullptr, kHistory, "print the alerts instead of the values"},
    {"help", nullptr, ~0u, "show this help"},
    {"version", nullptr, ~0u, "show the program's version"},
};

const char* const kGatesFileHelp =
    "Gates file: one gate a line, '#' starts a comment:\n"
    "  ADDRESS [TYPE] [COOKING]\n"
    "  0130010  word   linear 0.1 -20    value = raw x 0.1 - 20\n"
    "  02C0020  long\n"
    "  02F0040  float  float             raw bits are an IEEE-754 single\n"
    "TYPE is the host type: word (0), word1 (1), word2 (2), float (3), long (4),\n"
    "long5 (5), digital (6), or '-' for the one the address implies (bits, I, S and\n"
    "bit-number gates digital; words and H word; C long; F float). COOKING is\n"
    "'linear SCALE [OFFSET]' (default linear 1 0), 'float' or 'raw'. Quote an\n"
    "address holding blanks: \"0131   \".\n";

const CommandSpec* FindCommand(const std::string& name) {
    for (const auto& command : kCommands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

const OptionSpec* FindOption(const std::string& name) {
    for (const auto& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

std::string Indent(const std::string& text, std::size_t column) {
    std::string out;
    for (const char c : text) {
        out += c;
        if (c == '\n') {
            out.append(column, ' ');
        }
    }
    return out;
}

} // namespace

std::optional<std::string> CommandLine::value(const std::string& name) const {
    const auto it = options.find(name);
    if (it == options.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second.back();
}

std::vector<std::string> CommandLine::values(const std::string& name) const {
    const auto it = options.find(name);
    return it == options.end() ? std::vector<std::string>{} : it->second;
}

std::optional<long> CommandLine::integer(const std::string& name, long min, long max) const {
    const auto text = value(name);
    if (!text) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(text->c_str(), &end, 0);
    if (text->empty() || *end != '\0' || errno != 0 || number < min || number > max) {
        throw UsageError("--" + name + " takes a whole number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not '" + *text + "'");
    }
    return number;
}

std::optional<double> CommandLine::number(const std::string& name, double min, double max) const {
    const auto text = value(name);
    if (!text) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double number = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || !std::isfinite(number) || number < min || number > max) {
        throw UsageError("--" + name + " takes a number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + *text + "'");
    }
    return number;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    bool optionsEnded = false;
    std::vector<std::pair<std::string, std::string>> given;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!optionsEnded && word == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && word.size() > 2 && word.compare(0, 2, "--") == 0) {
            std::string name = word.substr(2);
            std::optional<std::string> inlineValue;
            if (const auto equals = name.find('='); equals != std::string::npos) {
                inlineValue = name.substr(equals + 1);
                name.resize(equals);
            }
            const OptionSpec* option = FindOption(name);
            if (option == nullptr) {
                throw UsageError("unknown option --" + name);
            }
            std::string value;
            if (option->argument != nullptr) {
                if (inlineValue) {
                    value = *inlineValue;
                } else if (i + 1 < argc) {
                    value = argv[++i];
                } else {
                    throw UsageError("--" + name + " needs a value (" + option->argument + ")");
                }
            } else if (inlineValue) {
                throw UsageError("--" + name + " takes no value");
            }
            given.emplace_back(name, value);
            continue;
        }
        if (!optionsEnded && word == "-h") {
            given.emplace_back("help", "");
            continue;
        }
        if (!optionsEnded && word.size() > 1 && word[0] == '-' &&
            !(std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.')) {
            throw UsageError("unknown option " + word);
        }
        if (line.command.empty()) {
            line.command = word;
        } else {
            line.arguments.push_back(word);
        }
    }
    const CommandSpec* command = line.command.empty() ? nullptr : FindCommand(line.command);
    if (!line.command.empty() && command == nullptr) {
        throw UsageError("unknown command '" + line.command + "'");
    }
    for (const auto& [name, value] : given) {
        const OptionSpec* option = FindOption(name);
        if (command != nullptr && (option->commands & command->bit) == 0) {
            throw UsageError("--" + name + " does not apply to " + line.command);
        }
        line.options[name].push_back(value);
    }
    return line;
}

bool KnownCommand(const std::string& command) {
    return FindCommand(command) != nullptr;
}

std::string GeneralHelp() {
    std::string text =
        "Usage: kovra-host COMMAND [ARGUMENT]... [OPTION]...\n"
        "Command-line host of the KOVRA driver for Perax P200, P200X and Arlequin PLCs:\n"
        "loads the driver library, talks to the PLCs through it and keeps the history\n"
        "of the values it forces into the host's log.\n\nCommands:\n";
    for (const auto& command : kCommands) {
        text += "  " + std::string(command.synopsis) + "\n";
    }
    text += "\n'kovra-host COMMAND --help' describes a command and its options.\n"
            "Exit status: 0 done, 1 failed (the reason is on one line of standard\n"
            "error), 2 a mistake on the command line.\n";
    return text;
}

std::string CommandHelp(const std::string& name) {
    const CommandSpec* command = FindCommand(name);
    if (command == nullptr) {
        return GeneralHelp();
    }
    std::string text = "Usage: kovra-host " + std::string(command->synopsis) + " [OPTION]...\n" +
                       command->description + "\n\nOptions:\n";
    for (const auto& option : kOptions) {
        if ((option.commands & command->bit) == 0) {
            continue;
        }
        std::string left = "  --" + std::string(option.name);
        if (option.argument != nullptr) {
            left += " " + std::string(option.argument);
        }
        constexpr std::size_t kColumn = 24;
        if (left.size() + 2 > kColumn) {
            text += left + "\n" + std::string(kColumn, ' ');
        } else {
            text += left + std::string(kColumn - left.size(), ' ');
        }
        text += Indent(option.help, kColumn) + "\n";
    }
    if ((command->bit & kLine) != 0) {
        text += std::string("\n") + kGatesFileHelp;
    }
    return text;
}

} // namespace kovra_host
