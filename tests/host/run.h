// Runs the real kovra-host program as a child process and collects what it
// printed and how it ended.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct HostRun {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    std::vector<std::string> errLines() const;
    // Its messages without the line's frame statistics.
    std::vector<std::string> messages() const;
};

// Runs kovra-host with the arguments (the driver library is passed for the
// caller). onStart, if given, receives the child's process id. Unprivileged,
// a run by the superuser drops to the user nobody, whom file modes bind.
// errTerminal gives the program a terminal for its standard error instead
// of a pipe; `err` is then what appeared on that terminal.
HostRun RunHost(const std::vector<std::string>& arguments,
                const std::function<void(pid_t)>& onStart = nullptr, bool unprivileged = false,
                bool errTerminal = false);

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);
