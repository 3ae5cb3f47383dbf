// What the driver left in the stand-in host library and in the host's current
// directory, as the Windows test host inspects it.
#pragma once

#include "halvopro/halvopro.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wintest {

// Messages logged since the last halvo::ClearRecords(), optionally of one severity.
std::vector<std::string> Messages(int severity = -1);
bool Logged(const std::string& text, int severity = -1);
int CountLogged(const std::string& text, int severity = -1);
bool LoggedStartingWith(const std::string& prefix, int severity = -1);
// Prints the log since the last clear, for the record of a failed check.
void DumpLog();

std::string CurrentDirectory();
// A file of the current directory: its bytes, or nothing when it does not exist.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& name);
bool WriteTextFile(const std::string& name, const std::string& text);
void RemoveFile(const std::string& name);

void Pause(unsigned milliseconds);

} // namespace wintest
