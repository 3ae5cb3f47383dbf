// The pauses between tries to reopen a port that went away: 1, 2, 4 ... up to
// 30 seconds, so that a device back soon is found soon and a long absence
// costs the line little.
#pragma once

#include <functional>

namespace kovra_host {

// Pauses, then tries `reopen`, until it succeeds (true) or the program is
// interrupted (false).
bool ReopenWithPauses(const std::function<bool()>& reopen,
                      const std::function<void(unsigned milliseconds)>& pause);

} // namespace kovra_host
