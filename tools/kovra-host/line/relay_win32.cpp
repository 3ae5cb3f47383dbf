// Windows has no pseudo-terminals to put between the driver and a COM port.
#include "line/relay.h"

namespace kovra_host {

std::unique_ptr<Relay> Relay::Start(const std::string&, const CommSettings&, TraceSink,
                                    std::string& error) {
    error = "--trace and device names over 11 characters need pseudo-terminals, which this "
            "system does not have";
    return nullptr;
}

bool RelayAvailable() {
    return false;
}

} // namespace kovra_host
