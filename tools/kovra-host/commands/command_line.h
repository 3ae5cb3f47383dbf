// The command line: kovra-host [OPTION]... COMMAND [ARGUMENT]... [OPTION]...
// Options may stand before or after the command, as --name VALUE or
// --name=VALUE; "--" ends the options. Each command accepts its own set, and
// --help after a command describes that command.
#pragma once

#include "output/failure.h"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovra_host {

struct CommandLine {
    std::string command; // empty when none was given
    std::vector<std::string> arguments;
    std::map<std::string, std::vector<std::string>> options; // flags hold one empty value

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::optional<std::string> value(const std::string& name) const;
    std::vector<std::string> values(const std::string& name) const;

    // Typed values; throw UsageError naming the option.
    std::optional<long> integer(const std::string& name, long min, long max) const;
    std::optional<double> number(const std::string& name, double min, double max) const;
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

bool KnownCommand(const std::string& command);
std::string GeneralHelp();
std::string CommandHelp(const std::string& command);

} // namespace kovra_host
