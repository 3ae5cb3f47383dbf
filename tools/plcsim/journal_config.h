// Configuration statements for the simulated stations' clocks and journal
// files, understood by the simulator's configuration alongside its own.
#pragma once

#include "plcsim/simulator.h"

#include <string>
#include <vector>

namespace plcsim {

extern const char* const kJournalConfigFormat;

// Applies one statement, split into words; false when the verb is not a
// journal statement. Throws std::invalid_argument (or another std::exception)
// saying why a journal statement is wrong.
bool ApplyJournalStatement(Simulator& simulator, const std::vector<std::string>& words);

// Word i of a statement as a number (decimal, or hexadecimal with 0x) not
// above max. Throws std::invalid_argument saying why not.
unsigned long StatementNumber(const std::vector<std::string>& words, std::size_t i,
                              unsigned long max);

// Word i of a statement as a station, in hexadecimal as gate addresses write
// it (0A, 1A, or 0x1A); a longer decimal form is refused with its hex spelling.
std::uint8_t StatementStation(const std::vector<std::string>& words, std::size_t i);

} // namespace plcsim
