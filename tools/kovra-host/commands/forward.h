// collect's --forward: each collection sent to the plant's central PostgreSQL
// database as soon as it is stored. Builds without libpq (and Windows builds)
// say that they do not forward.
#pragma once

#include "commands/command_line.h"
#include "output/console.h"
#include "workspace/workspace.h"

#include <memory>

namespace kovra_host {

// Connects before the first station is collected, so that a refused login
// stops the run before the PLC is touched; send() then forwards what each
// collection stored. Does nothing without --forward.
class ForwardAfterCollect {
  public:
    // Throws Failure, or UsageError for a URI that is not one.
    ForwardAfterCollect(const CommandLine& line, Workspace& workspace, Console& console);
    ~ForwardAfterCollect();
    ForwardAfterCollect(const ForwardAfterCollect&) = delete;
    ForwardAfterCollect& operator=(const ForwardAfterCollect&) = delete;

    // False when something could not be sent (it said why); it stays in the
    // history, for the next forward.
    bool send();

  private:
    struct Link;
    std::unique_ptr<Link> link_;
};

} // namespace kovra_host
