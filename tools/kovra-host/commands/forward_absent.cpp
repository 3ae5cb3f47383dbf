// Builds without libpq, and Windows builds, do not forward.
#include "commands/forward.h"

namespace kovra_host {
namespace {

[[noreturn]] void NotAvailable() {
    throw Failure("forward is not available: this build of kovra-host was made without libpq "
                  "(PostgreSQL's client library), which Windows builds never have");
}

} // namespace

struct ForwardAfterCollect::Link {};

int RunForward(const CommandLine&, Console&) {
    NotAvailable();
}

ForwardAfterCollect::ForwardAfterCollect(const CommandLine& line, Workspace&, Console&) {
    if (line.has("forward")) {
        NotAvailable();
    }
}

ForwardAfterCollect::~ForwardAfterCollect() = default;

bool ForwardAfterCollect::send() {
    return true;
}

} // namespace kovra_host
