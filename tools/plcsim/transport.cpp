// The simulator's line: a pseudo-terminal or a serial device, its thread
// cutting what arrives into frames, pacing the replies and logging each
// exchange.
#include "plcsim/line_speed.h"
#include "plcsim/parts.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace plcsim {
namespace {

void ConfigureLine(int fd, const LineSettings& line, bool realDevice) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        throw std::runtime_error(std::string("cannot read line settings: ") + std::strerror(errno));
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (realDevice) {
        if (line.dataBits < 5 || line.dataBits > 8) {
            throw std::runtime_error("unsupported data bits " + std::to_string(line.dataBits));
        }
        static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        tio.c_cflag |= kSizes[line.dataBits - 5];
        if (line.parity != 'N') {
            tio.c_cflag |= PARENB;
        }
        if (line.parity == 'O' || line.parity == 'M') {
            tio.c_cflag |= PARODD;
        }
        if (line.parity == 'M' || line.parity == 'S') {
            tio.c_cflag |= CMSPAR;
        }
        // With 5 data bits a UART sends one and a half stop bits for CSTOPB.
        if (line.halfStopBits > 2) {
            tio.c_cflag |= CSTOPB;
        }
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        throw std::runtime_error(std::string("cannot set line settings: ") + std::strerror(errno));
    }
    if (realDevice) {
        SetLineSpeed(fd, line.baudRate);
    }
}

} // namespace

std::optional<std::size_t> RequestLength(const std::vector<std::uint8_t>& buffer) {
    if (buffer.size() < 2) {
        return std::nullopt;
    }
    const std::uint8_t function = buffer[1];
    if (function >= 1 && function <= 6) {
        return kFixedRequestLength;
    }
    if (function == 16 && buffer.size() >= kWriteWordsHeader) {
        return kWriteWordsHeader + buffer[6] + 2;
    }
    return std::nullopt;
}

Simulator::Simulator() {
    if (pipe(wake_) != 0) {
        throw std::runtime_error("cannot create the wake-up pipe");
    }
}

Simulator::~Simulator() {
    stop();
    closeTransport();
    close(wake_[0]);
    close(wake_[1]);
}

void Simulator::setLine(const LineSettings& line) {
    const std::lock_guard lock(mutex_);
    line_ = line;
}

LineSettings Simulator::line() const {
    const std::lock_guard lock(mutex_);
    return line_;
}

void Simulator::setPacing(bool paced) {
    const std::lock_guard lock(mutex_);
    paced_ = paced;
}

void Simulator::setSilence(std::chrono::milliseconds silence) {
    const std::lock_guard lock(mutex_);
    silence_ = silence;
}

std::string Simulator::openPseudoTerminal() {
    if (fd_ >= 0) {
        throw std::runtime_error("the simulator already has a line");
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0) {
            close(master);
        }
        throw std::runtime_error("cannot create a pseudo-terminal");
    }
    const char* name = ptsname(master);
    const std::string path = name != nullptr ? name : "";
    const int slave = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        close(master);
        throw std::runtime_error("cannot open the pseudo-terminal's slave side");
    }
    try {
        ConfigureLine(slave, line(), false);
    } catch (...) {
        close(slave);
        close(master);
        throw;
    }
    fd_ = master;
    slaveKeeper_ = slave;
    device_ = path;
    return path;
}

void Simulator::openDevice(const std::string& path) {
    if (fd_ >= 0) {
        throw std::runtime_error("the simulator already has a line");
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    try {
        ConfigureLine(fd, line(), true);
    } catch (...) {
        close(fd);
        throw;
    }
    fd_ = fd;
    device_ = path;
}

void Simulator::closeTransport() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (slaveKeeper_ >= 0) {
        close(slaveKeeper_);
        slaveKeeper_ = -1;
    }
}

void Simulator::start() {
    if (fd_ < 0) {
        throw std::runtime_error("the simulator has no line to serve");
    }
    if (running()) {
        return;
    }
    // Drain an old stop request.
    pollfd wake{wake_[0], POLLIN, 0};
    while (poll(&wake, 1, 0) > 0) {
        char byte = 0;
        if (read(wake_[0], &byte, 1) <= 0) {
            break;
        }
    }
    thread_ = std::thread([this] { run(); });
}

void Simulator::stop() {
    if (!running()) {
        return;
    }
    const char byte = 1;
    while (write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
}

bool Simulator::waitOrStop(std::chrono::steady_clock::duration duration) const {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        const timespec timeout{static_cast<time_t>(left.count() / 1000000),
                               static_cast<long>(left.count() % 1000000) * 1000};
        pollfd wake{wake_[0], POLLIN, 0};
        const int ready = ppoll(&wake, 1, &timeout, nullptr);
        if (ready > 0) {
            return false;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

void Simulator::run() {
    std::vector<std::uint8_t> buffer;
    std::chrono::steady_clock::time_point begin; // of the frame at the start of the buffer
    for (;;) {
        std::chrono::milliseconds silence;
        {
            const std::lock_guard lock(mutex_);
            silence = silence_;
        }
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
        const int timeout = buffer.empty() ? -1 : static_cast<int>(silence.count());
        const int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        if (ready == 0) {
            // Silence ends a frame whose header did not tell its length, or a
            // frame cut short: it is handled (and logged) as it stands.
            handleFrame(std::move(buffer), begin);
            buffer.clear();
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint8_t chunk[512];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n > 0) {
                lost_ = false;
                if (buffer.empty()) {
                    begin = std::chrono::steady_clock::now();
                }
                buffer.insert(buffer.end(), chunk, chunk + n);
            } else {
                lineLost(n < 0 ? std::strerror(errno) : "hung up");
                if (!waitOrStop(std::chrono::milliseconds(20))) {
                    return;
                }
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            // Nobody on the other end for now: wait for the driver to reopen.
            lineLost((fds[1].revents & POLLERR) != 0 ? "error" : "hung up");
            if (!waitOrStop(std::chrono::milliseconds(20))) {
                return;
            }
        }
        while (const auto length = RequestLength(buffer)) {
            if (buffer.size() < *length) {
                break;
            }
            std::vector<std::uint8_t> frame(buffer.begin(),
                                            buffer.begin() + static_cast<std::ptrdiff_t>(*length));
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*length));
            handleFrame(std::move(frame), begin);
            // A frame that came behind this one waited for its reply.
            begin = std::chrono::steady_clock::now();
        }
    }
}

void Simulator::lineLost(const std::string& why) {
    std::function<void(const std::string&)> listener;
    {
        const std::lock_guard lock(mutex_);
        listener = lostListener_;
    }
    if (lost_ || !listener) {
        return;
    }
    lost_ = true;
    listener("the device " + device_ + " is gone (" + why + ")");
}

void Simulator::handleFrame(std::vector<std::uint8_t> frame,
                            std::chrono::steady_clock::time_point begin) {
    Exchange exchange;
    exchange.begin = begin;
    exchange.time = std::chrono::steady_clock::now();
    exchange.crcOk = frame.size() >= 4 && Crc16(frame.data(), frame.size()) == 0;
    Reply reply;
    std::function<void(const Exchange&)> listener;
    bool paced = false;
    LineSettings line;
    std::size_t logged = 0;
    {
        const std::lock_guard lock(mutex_);
        if (exchange.crcOk) {
            reply = answer(frame);
        }
        exchange.request = std::move(frame);
        exchange.reply = reply.bytes;
        log_.push_back(exchange);
        logged = log_.size();
        listener = listener_;
        paced = paced_;
        line = line_;
    }
    logged_.notify_all();
    if (listener) {
        listener(exchange);
    }
    if (reply.bytes.empty()) {
        return;
    }
    auto due = exchange.time + reply.delay;
    if (paced) {
        const std::chrono::nanoseconds characterTime(
            1'000'000'000ull * line.halfBitsPerCharacter() / (2ull * std::max(line.baudRate, 1u)));
        const auto wireBytes = static_cast<long>(exchange.request.size() + reply.bytes.size());
        due = begin + characterTime * wireBytes + reply.delay;
    }
    if (!waitOrStop(due - std::chrono::steady_clock::now())) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        // Only this thread adds to the log: a shorter one was cleared meanwhile.
        if (log_.size() >= logged) {
            log_[logged - 1].replied = std::chrono::steady_clock::now();
        }
    }
    transmit(reply.bytes);
}

void Simulator::transmit(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::vector<Exchange> Simulator::exchanges() const {
    const std::lock_guard lock(mutex_);
    return log_;
}

std::vector<std::vector<std::uint8_t>> Simulator::requests() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::vector<std::uint8_t>> frames;
    for (const Exchange& exchange : log_) {
        frames.push_back(exchange.request);
    }
    return frames;
}

void Simulator::clearLog() {
    const std::lock_guard lock(mutex_);
    log_.clear();
}

bool Simulator::waitForExchanges(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return logged_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

void Simulator::onExchange(std::function<void(const Exchange&)> listener) {
    const std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void Simulator::onLineLost(std::function<void(const std::string&)> listener) {
    const std::lock_guard lock(mutex_);
    lostListener_ = std::move(listener);
}

} // namespace plcsim
