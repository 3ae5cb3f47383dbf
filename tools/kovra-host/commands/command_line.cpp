#include "commands/command_line.h"

#include "commands/table.h"
#include "output/format.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kovra_host {
namespace {

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

const OptionSpec* FindOption(const std::string& name) {
    for (const auto& option : Options()) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

bool Takes(const CommandSpec& command, const OptionSpec& option) {
    if (option.scope == OptionSpec::Scope::Every ||
        (option.scope == OptionSpec::Scope::Line && command.line)) {
        return true;
    }
    const std::string own = std::string(" ") + command.own + " ";
    return own.find(std::string(" ") + option.name + " ") != std::string::npos;
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

// An option, --NAME or --NAME=VALUE, and its value, taken from the next
// word when it needs one.
std::pair<std::string, std::string> ReadOption(std::string name, int argc, const char* const* argv,
                                               int& i) {
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
    return {name, value};
}

} // namespace

const CommandSpec* FindCommand(const std::string& name) {
    for (const auto& command : Commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

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
        throw UsageError("--" + name + " takes a number from " + FormatValue(min) + " to " +
                         FormatValue(max) + ", not '" + *text + "'");
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
            given.push_back(ReadOption(word.substr(2), argc, argv, i));
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
        if (command != nullptr && !Takes(*command, *option)) {
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
    for (const auto& command : Commands()) {
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
    for (const auto& option : Options()) {
        if (!Takes(*command, option)) {
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
    if (command->line) {
        text += std::string("\n") + kGatesFileHelp;
    }
    return text;
}

} // namespace kovra_host
