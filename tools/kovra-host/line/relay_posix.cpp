#include "line/relay.h"

#include "line/descriptor.h"
#include "line/frames.h"
#include "line/remote_port.h"
#include "link/line_posix.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace kovra_host {
namespace {

// A frame cut short stays pending this long before it is shown as incomplete.
constexpr int kSilenceMs = 30;

// The pseudo-terminal's ends carry bytes only: no line settings to reproduce.
bool MakeRaw(int fd, std::string& error) {
    termios state{};
    if (tcgetattr(fd, &state) != 0) {
        error = std::strerror(errno);
        return false;
    }
    cfmakeraw(&state);
    state.c_cc[VMIN] = 1;
    state.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &state) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

std::string ClockTime() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    std::tm local{};
    LocalTime(static_cast<std::time_t>(ms.count() / 1000), local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(ms.count() % 1000));
    return text;
}

class PosixRelay final : public Relay {
  public:
    ~PosixRelay() override {
        if (wake_[1] >= 0) {
            const char stop = 'x';
            (void)!write(wake_[1], &stop, 1);
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        if (device_ >= 0 && !remote_) {
            // The device stays a terminal after us: others may open it again.
            (void)ioctl(device_, TIOCNXCL);
        }
        if (!tapLink_.empty()) {
            std::remove(tapLink_.c_str());
        }
        for (const int fd : {remote_ ? -1 : device_, master_, slave_, tapMaster_.load(), tapSlave_,
                             wake_[0], wake_[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    const std::string& driverPath() const override { return path_; }
    Traffic traffic() const override { return {requests_.load(), bytes_.load()}; }
    bool ended() const override { return ended_.load(); }
    LineFigures figures() const override {
        std::lock_guard lock(statsMutex_);
        return stats_.figures();
    }
    void onStep(std::function<void(const Step&)> listener) override {
        std::lock_guard lock(listenerMutex_);
        stepListener_ = std::move(listener);
    }
    std::optional<FileRead> fileRead(int station, std::uint16_t file) const override {
        std::lock_guard lock(statsMutex_);
        const FileRead* read = journal_.latest(station, file);
        return read ? std::optional<FileRead>(*read) : std::nullopt;
    }

    bool offerTap(const std::string& link, std::string& error) override {
        int master = -1;
        char name[256] = {};
        if (openpty(&master, &tapSlave_, name, nullptr, nullptr) != 0) {
            error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        if (!MakeRaw(tapSlave_, error) || !MakeRaw(master, error)) {
            close(master);
            return false;
        }
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        std::remove(link.c_str());
        if (symlink(name, link.c_str()) != 0) {
            error = "tap " + link + ": " + std::strerror(errno);
            close(master);
            return false;
        }
        tapLink_ = link;
        tapMaster_ = master;
        return true;
    }

    bool open(const std::string& device, const CommSettings& settings, TraceSink trace,
              std::string& error) {
        trace_ = std::move(trace);
        if (IsRemotePort(device)) {
            if (!openRemote(device, settings, error)) {
                return false;
            }
        } else if (!openDevice(device, settings, error)) {
            return false;
        }
        return openPseudoTerminal(error);
    }

  private:
    bool openRemote(const std::string& port, const CommSettings& settings, std::string& error) {
        remote_ = RemotePort::Connect(port, settings, error);
        if (!remote_) {
            return false;
        }
        device_ = remote_->fd();
        if (trace_ && !remote_->confirmed().empty()) {
            trace_(ClockTime() + " " + port + ": line set to " + remote_->confirmed());
        }
        return true;
    }

    bool openDevice(const std::string& device, const CommSettings& settings, std::string& error) {
        device_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (device_ < 0) {
            error = device + ": " + std::strerror(errno);
            return false;
        }
        if (flock(device_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            error = device + ": in use by another program";
            return false;
        }
        (void)ioctl(device_, TIOCEXCL);
        // The driver's own line setup: the device runs as the driver would
        // run it, or the relay does not start.
        std::string reason;
        if (SetUpLine(device_, settings, &reason) != LineFault::None) {
            error = device + ": " + reason;
            return false;
        }
        return true;
    }

    bool openPseudoTerminal(std::string& error) {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        path_ = name;
        if (path_.size() >= kPortNameSize) {
            error = "pseudo-terminal name " + path_ + " is too long for the driver";
            return false;
        }
        if (!MakeRaw(slave_, error) || !MakeRaw(master_, error)) {
            return false;
        }
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        if (pipe(wake_) != 0) {
            error = std::strerror(errno);
            return false;
        }
        thread_ = std::thread([this] { run(); });
        return true;
    }

    // Until the device goes away or the relay is stopped. A device that went
    // away hangs the driver's side up too, so the driver fails at once
    // instead of waiting out its reply timeouts.
    void run() {
        relay();
        ended_ = true;
        close(master_);
        master_ = -1;
    }

    void relay() {
        std::uint8_t buffer[1024];
        for (;;) {
            pollfd fds[3] = {{master_, POLLIN, 0}, {device_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            const bool pending = toPlc_.pending() || fromPlc_.pending();
            const int ready = poll(fds, 3, pending ? kSilenceMs : -1);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready < 0 || (fds[2].revents & POLLIN) != 0) {
                return;
            }
            if (ready == 0) {
                show(Direction::ToPlc, toPlc_.flush(), false);
                show(Direction::FromPlc, fromPlc_.flush(), false);
                continue;
            }
            if (!pass(fds[0], master_, device_, Direction::ToPlc, toPlc_, buffer, sizeof buffer) ||
                !pass(fds[1], device_, master_, Direction::FromPlc, fromPlc_, buffer,
                      sizeof buffer)) {
                return;
            }
        }
    }

    bool pass(const pollfd& polled, int from, int to, Direction direction, FrameSplitter& splitter,
              std::uint8_t* buffer, std::size_t size) {
        if ((polled.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return true;
        }
        const ssize_t n =
            from == device_ && remote_ ? remote_->receive(buffer, size) : read(from, buffer, size);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        }
        if (n <= 0) {
            if (from == device_) {
                return false; // hung up (unplugged) or failed
            }
            // The driver's pseudo-terminal without a reader on its far side
            // reports EIO for a moment; nothing is lost.
            if (n == 0 || errno == EIO) {
                SleepMs(5);
                return true;
            }
            return false;
        }
        const auto length = static_cast<std::size_t>(n);
        if (!(to == device_ && remote_ ? remote_->send(buffer, length)
                                       : WriteAll(to, buffer, length))) {
            return false;
        }
        if (const int tap = tapMaster_.load(); tap >= 0) {
            (void)!write(tap, buffer, length);
        }
        bytes_ += static_cast<std::uint64_t>(n);
        for (const auto& piece : splitter.feed(buffer, length)) {
            if (piece.garbage) {
                if (direction == Direction::FromPlc) {
                    std::lock_guard lock(statsMutex_);
                    stats_.garbage(piece.bytes);
                }
                if (trace_) {
                    trace_(GarbageLine(ClockTime(), piece.bytes));
                }
                continue;
            }
            count(direction, piece.bytes);
            show(direction, piece.bytes, true);
        }
        return true;
    }

    void count(Direction direction, const std::vector<std::uint8_t>& frame) {
        Step step;
        {
            std::lock_guard lock(statsMutex_);
            if (direction == Direction::ToPlc) {
                stats_.request(frame, MonotonicMs());
                lastRequest_ = frame;
                step.request = true;
            } else if (stats_.reply(frame, MonotonicMs())) {
                step.records = journal_.exchange(lastRequest_, frame);
            }
        }
        if (step.request) {
            fromPlc_.expectReplyTo(frame);
            ++requests_;
        }
        std::lock_guard lock(listenerMutex_);
        if (stepListener_ && (step.request || step.records != 0)) {
            stepListener_(step);
        }
    }

    void show(Direction direction, const std::vector<std::uint8_t>& frame, bool complete) {
        if (trace_ && !frame.empty()) {
            trace_(TraceLine(ClockTime(), direction, frame, complete));
        }
    }

    TraceSink trace_;
    FrameSplitter toPlc_{Direction::ToPlc};
    FrameSplitter fromPlc_{Direction::FromPlc};
    mutable std::mutex statsMutex_;
    LineStats stats_;
    JournalReads journal_;
    std::vector<std::uint8_t> lastRequest_;
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<bool> ended_{false};
    std::mutex listenerMutex_;
    std::function<void(const Step&)> stepListener_;
    std::atomic<int> tapMaster_{-1};
    int tapSlave_ = -1; // held open so the tap keeps what crosses until it is read
    std::string tapLink_;
    std::unique_ptr<RemotePort> remote_; // a device server in place of the device
    int device_ = -1;                    // the device, or the server's connection
    int master_ = -1;
    int slave_ = -1; // held open so the driver may close and reopen its side
    int wake_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<Relay> Relay::Start(const std::string& device, const CommSettings& settings,
                                    TraceSink trace, std::string& error) {
    auto relay = std::make_unique<PosixRelay>();
    if (!relay->open(device, settings, std::move(trace), error)) {
        return nullptr;
    }
    return relay;
}

bool RelayAvailable() {
    return true;
}

} // namespace kovra_host
