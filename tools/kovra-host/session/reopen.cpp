#include "session/reopen.h"

#include "platform/platform.h"

#include <algorithm>

namespace kovra_host {

bool ReopenWithPauses(const std::function<bool()>& reopen,
                      const std::function<void(unsigned milliseconds)>& pause) {
    constexpr unsigned kFirstMs = 1000;
    constexpr unsigned kLongestMs = 30000;
    for (unsigned pauseMs = kFirstMs; !Interrupted(); pauseMs = std::min(pauseMs * 2, kLongestMs)) {
        pause(pauseMs);
        if (Interrupted()) {
            return false;
        }
        if (reopen()) {
            return true;
        }
    }
    return false;
}

} // namespace kovra_host
