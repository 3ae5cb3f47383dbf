// The two ways a run ends early, each with its one-line reason.
#pragma once

#include <stdexcept>

namespace kovra_host {

// A failure: exit status 1.
class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A mistake on the command line: exit status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace kovra_host
