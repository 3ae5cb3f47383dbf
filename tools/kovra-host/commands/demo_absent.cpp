// Builds without the PLC simulator (it needs pseudo-terminals) have no demo.
#include "commands/common.h"

namespace kovra_host {

int RunDemo(const CommandLine&, Console&) {
    throw Failure("demo is not available here: its simulated PLC line needs pseudo-terminals");
}

} // namespace kovra_host
