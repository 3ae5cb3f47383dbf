#include "line/listen.h"

#include "link/line_posix.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kovra_host {

bool Listen(const std::string& device, const kovra::CommSettings& settings,
            const std::function<void(double, const std::uint8_t*, std::size_t)>& seen,
            const std::function<bool(double)>& idle, std::string& error) {
    const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = device + ": " + std::strerror(errno);
        return false;
    }
    std::string reason;
    if (kovra::SetUpLine(fd, settings, &reason) != kovra::LineFault::None) {
        error = device + ": " + reason;
        close(fd);
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto now = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::uint8_t buffer[512];
    bool ok = true;
    while (idle(now())) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 1) <= 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            seen(now(), buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO)) {
            error = device + ": " + (n == 0 ? "hung up" : std::strerror(errno));
            ok = false;
            break;
        } else if (errno == EIO) {
            SleepMs(5); // a pseudo-terminal whose far side is not open yet
        }
    }
    close(fd);
    return ok;
}

} // namespace kovra_host
