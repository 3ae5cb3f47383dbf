#include "output/console.h"

#include "platform/platform.h"

namespace kovra_host {

Console::Console(std::FILE* stream) : stream_(stream), terminal_(IsTerminal(stream)) {}

void Console::clearLocked() {
    if (!progress_.empty()) {
        std::fputs("\r\033[K", stream_);
    }
}

void Console::line(const std::string& text) {
    MutexLock lock(mutex_);
    clearLocked();
    std::fprintf(stream_, "%s\n", text.c_str());
    if (!progress_.empty()) {
        std::fputs(progress_.c_str(), stream_);
    }
    std::fflush(stream_);
}

void Console::progress(const std::string& text) {
    if (!terminal_) {
        return;
    }
    MutexLock lock(mutex_);
    std::fputs("\r\033[K", stream_);
    std::fputs(text.c_str(), stream_);
    progress_ = text;
    std::fflush(stream_);
}

void Console::endProgress() {
    MutexLock lock(mutex_);
    clearLocked();
    progress_.clear();
    std::fflush(stream_);
}

} // namespace kovra_host
