// Standard error as kovra-host uses it: its own notes, the driver's messages
// at the chosen level, the frame trace, and on a terminal one live progress
// line that every other line clears and then draws again.
#pragma once

#include "platform/platform.h"

#include <cstdio>
#include <string>

namespace kovra_host {

class Console {
  public:
    explicit Console(std::FILE* stream);
    // A whole line; may be called from any thread.
    void line(const std::string& text);
    // Replaces the progress line (terminals only; elsewhere ignored).
    void progress(const std::string& text);
    void endProgress();
    bool terminal() const { return terminal_; }

  private:
    void clearLocked();

    std::FILE* stream_;
    bool terminal_;
    Mutex mutex_;
    std::string progress_;
};

} // namespace kovra_host
