#include "support/plc_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace kovra {

namespace {

void MakeRaw(int fd) {
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
}

void WriteAll(int fd, const std::uint8_t* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("write to the line failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame) {
    plcsim::AppendCrc(frame);
    return frame;
}

SerialEnd::SerialEnd(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (fd_ < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    MakeRaw(fd_);
}

SerialEnd::~SerialEnd() {
    close(fd_);
}

void SerialEnd::write(const std::vector<std::uint8_t>& bytes) const {
    WriteAll(fd_, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> SerialEnd::read(int firstMs, int quietMs, std::size_t limit) const {
    std::vector<std::uint8_t> bytes;
    pollfd pfd{fd_, POLLIN, 0};
    while (bytes.size() < limit && poll(&pfd, 1, bytes.empty() ? firstMs : quietMs) > 0 &&
           (pfd.revents & POLLIN) != 0) {
        std::uint8_t chunk[512];
        const ssize_t n = ::read(fd_, chunk, std::min(sizeof chunk, limit - bytes.size()));
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

std::vector<std::uint8_t> SerialEnd::exchange(const std::vector<std::uint8_t>& request,
                                              int firstMs) const {
    write(WithCrc(request));
    return read(firstMs);
}

SimulatedLine::SimulatedLine() : path_(simulator_.openPseudoTerminal()) {
    simulator_.start();
}

SimulatedLine::~SimulatedLine() {
    simulator_.stop();
}

NullModem::NullModem() {
    for (int side = 0; side < 2; ++side) {
        char name[256] = {};
        if (openpty(&masters_[side], &keepers_[side], name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        MakeRaw(keepers_[side]);
        paths_[side] = name;
    }
    if (pipe(wake_) != 0) {
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { relay(); });
}

NullModem::~NullModem() {
    const char byte = 1;
    if (::write(wake_[1], &byte, 1) == 1) {
        thread_.join();
    } else {
        thread_.detach();
    }
    for (int fd : {masters_[0], masters_[1], keepers_[0], keepers_[1], wake_[0], wake_[1]}) {
        close(fd);
    }
}

void NullModem::relay() {
    for (;;) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {masters_[0], POLLIN, 0}, {masters_[1], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        for (int side = 0; side < 2; ++side) {
            if ((fds[side + 1].revents & POLLIN) == 0) {
                continue;
            }
            std::uint8_t chunk[512];
            const ssize_t n = ::read(masters_[side], chunk, sizeof chunk);
            if (n > 0) {
                try {
                    WriteAll(masters_[1 - side], chunk, static_cast<std::size_t>(n));
                } catch (const std::runtime_error&) {
                    return;
                }
            }
        }
    }
}

} // namespace kovra
