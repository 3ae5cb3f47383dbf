// forward: the history into the plant's central PostgreSQL database, and
// collect's --forward, which sends each collection as soon as it is stored.
// Builds without libpq (and Windows builds) say that they do not forward.
#pragma once

#include "console.h"
#include "host.h"
#include "options.h"

#include <memory>

namespace kovra_host {

int RunForward(const CommandLine& line, Console& console);

// collect --forward URI: connects before the first station is collected, so
// that a refused login stops the run before the PLC is touched; send() then
// forwards what each collection stored. Does nothing without --forward.
class ForwardAfterCollect {
  public:
    ForwardAfterCollect(const CommandLine& line, Host& host); // throws Failure
    ~ForwardAfterCollect();
    // False when something could not be sent (it said why); it stays in the
    // history, for the next forward.
    bool send();

  private:
    struct Link;
    std::unique_ptr<Link> link_;
};

} // namespace kovra_host
