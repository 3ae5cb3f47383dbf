// The commands of kovra-host, one row each: name, options, help and the
// function that runs it. A command's body stands in a file of its own.
#pragma once

#include "commands/command_line.h"
#include "output/console.h"

#include <span>
#include <string>

namespace kovra_host {

// Runs a command; returns the exit status. A mistake on the command line
// throws UsageError, a failure with its reason throws Failure.
using CommandRun = int (*)(const CommandLine& line, Console& console);

struct CommandSpec {
    const char* name;
    bool line;       // takes the line options: it talks to PLCs
    const char* own; // its own options, blank-separated
    const char* synopsis;
    const char* description;
    CommandRun run;
};

struct OptionSpec {
    enum class Scope {
        Own,   // of the commands that name it
        Line,  // of every command that talks to PLCs, and those that name it
        Every, // of every command
    };
    const char* name;
    const char* argument; // null for a flag
    Scope scope;
    const char* help;
};

std::span<const CommandSpec> Commands();
std::span<const OptionSpec> Options();

// The command of that name, or null.
const CommandSpec* FindCommand(const std::string& name);

} // namespace kovra_host
