// kovra-wine-responder: the far end of the serial line for
// kovra-serialcheck.exe under Wine.
//
// Creates a pseudo-terminal, links its slave side where the Windows program
// expects its COM port, and answers the commands that
// tools/wintest/serial_check.cpp documents until told to quit or until the
// time limit runs out.
//
// Usage: kovra-wine-responder LINK [SECONDS]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

class Line {
  public:
    Line(int master, int slave, Clock::time_point deadline)
        : master_(master), slave_(slave), deadline_(deadline) {}

    Bytes take(std::size_t count) {
        while (pending_.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now())
                    .count();
            if (left <= 0) {
                throw std::runtime_error("no command before the time limit");
            }
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left)) > 0) {
                std::uint8_t chunk[4096];
                const ssize_t got = read(master_, chunk, sizeof chunk);
                if (got <= 0) {
                    throw std::runtime_error("the line closed");
                }
                pending_.insert(pending_.end(), chunk, chunk + got);
            }
        }
        Bytes taken(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
        return taken;
    }

    unsigned number() {
        const Bytes two = take(2);
        return two[0] * 256u + two[1];
    }

    void send(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t written = write(master_, bytes.data() + done, bytes.size() - done);
            if (written <= 0) {
                throw std::runtime_error("write to the line failed");
            }
            done += static_cast<std::size_t>(written);
        }
    }

    // The settings Wine gave the terminal, as kovra-serialcheck reads them.
    Bytes report() const {
        termios settings{};
        tcgetattr(slave_, &settings);
        const unsigned baud = BaudOf(cfgetospeed(&settings));
        const unsigned size = (settings.c_cflag & CSIZE) == CS5   ? 5
                              : (settings.c_cflag & CSIZE) == CS6 ? 6
                              : (settings.c_cflag & CSIZE) == CS7 ? 7
                                                                  : 8;
        const bool editing = (settings.c_lflag & (ICANON | ECHO | ISIG)) != 0;
        const bool processing = (settings.c_oflag & OPOST) != 0;
        const bool translation = (settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) != 0;
        return {static_cast<std::uint8_t>(baud >> 24),
                static_cast<std::uint8_t>(baud >> 16),
                static_cast<std::uint8_t>(baud >> 8),
                static_cast<std::uint8_t>(baud),
                static_cast<std::uint8_t>(size),
                Flag(settings.c_cflag & PARENB),
                Flag(settings.c_cflag & PARODD),
                Flag(settings.c_cflag & CSTOPB),
                Flag(settings.c_cflag & CRTSCTS),
                Flag(settings.c_iflag & (IXON | IXOFF)),
                static_cast<std::uint8_t>((editing ? 1 : 0) | (processing ? 2 : 0)),
                Flag(translation)};
    }

  private:
    static std::uint8_t Flag(unsigned long bits) { return bits != 0 ? 1 : 0; }

    static unsigned BaudOf(speed_t speed) {
        switch (speed) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
        }
    }

    int master_;
    int slave_;
    Clock::time_point deadline_;
    Bytes pending_;
};

void Serve(Line& line) {
    for (;;) {
        switch (line.take(1)[0]) {
        case 'E':
            line.send(line.take(line.number()));
            break;
        case 'S': {
            Bytes pattern(line.number());
            for (std::size_t i = 0; i < pattern.size(); ++i) {
                pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);
            }
            line.send(pattern);
            break;
        }
        case 'W': {
            const unsigned delay = line.number();
            const Bytes data = line.take(line.take(1)[0]);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            line.send(data);
            break;
        }
        case 'T':
            line.send(line.report());
            break;
        case 'Q':
            return;
        default:
            throw std::runtime_error("unknown command");
        }
    }
}

void MakeRaw(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: kovra-wine-responder LINK [SECONDS]\n");
        return 2;
    }
    const std::string link = argv[1];
    const int seconds = argc == 3 ? std::atoi(argv[2]) : 60;
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("kovra-wine-responder: openpty");
        return 1;
    }
    MakeRaw(master);
    MakeRaw(slave);
    unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0) {
        std::perror("kovra-wine-responder: symlink");
        return 1;
    }
    std::printf("%s\n", name);
    std::fflush(stdout);
    int status = 0;
    try {
        Line line(master, slave, Clock::now() + std::chrono::seconds(seconds));
        Serve(line);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kovra-wine-responder: %s\n", e.what());
        status = 1;
    }
    unlink(link.c_str());
    close(slave);
    close(master);
    return status;
}
