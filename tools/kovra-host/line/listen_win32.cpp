// Listening needs the line's bytes with their times as they come; the
// Windows build has no such reader yet.
#include "line/listen.h"

namespace kovra_host {

bool Listen(const std::string&, const kovra::CommSettings&,
            const std::function<void(double, const std::uint8_t*, std::size_t)>&,
            const std::function<bool(double)>&, std::string& error) {
    error = "monitor needs a POSIX system";
    return false;
}

} // namespace kovra_host
