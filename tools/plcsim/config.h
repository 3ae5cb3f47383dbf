// The simulator's text configuration: stations, their memory, faults and the
// line, one statement a line. The format is kConfigFormat, which
// `kovra-plcsim --help` prints.
#pragma once

#include "plcsim/simulator.h"

#include <istream>
#include <stdexcept>
#include <string>

namespace plcsim {

class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

extern const char* const kConfigFormat;

// Applies every statement in turn; throws ConfigError ("line N: why") at the
// first bad one, leaving the statements before it applied.
void Configure(Simulator& simulator, std::istream& text);
void ConfigureFile(Simulator& simulator, const std::string& path);

} // namespace plcsim
