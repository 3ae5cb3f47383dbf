#include "line/descriptor.h"
#include "line/remote_port.h"
#include "line/rfc2217.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace kovra_host {
namespace {

using Clock = std::chrono::steady_clock;

// A server that neither accepts nor refuses within this is given up on.
constexpr int kConnectMs = 5000;
// The time a device server has to confirm the line settings.
constexpr int kSettingsMs = 3000;
// A server gone without a word (cable, power) is noticed within a minute:
// the first probe after 20 s of silence, then 4 more 8 s apart.
constexpr int kKeepIdleS = 20;
constexpr int kKeepIntervalS = 8;
constexpr int kKeepProbes = 4;

void SetOption(int fd, int level, int name, int value) {
    (void)setsockopt(fd, level, name, &value, sizeof value);
}

// A non-blocking socket connected to the first address that takes it.
int ConnectSocket(const RemoteAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int failed =
            getaddrinfo(address.host.c_str(), address.service.c_str(), &hints, &found);
        failed != 0) {
        error = gai_strerror(failed);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    candidate->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        int result = connect(fd, candidate->ai_addr, candidate->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            result = poll(&pfd, 1, kConnectMs);
            int failure = ETIMEDOUT;
            socklen_t length = sizeof failure;
            if (result == 1) {
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
            }
            errno = failure;
            result = failure == 0 ? 0 : -1;
        }
        if (result == 0) {
            break;
        }
        error = std::strerror(errno);
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        // Requests are small and the driver waits for each reply: no batching.
        SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleS);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalS);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepProbes);
    }
    return fd;
}

class SocketPort final : public RemotePort {
  public:
    SocketPort(int fd, const kovra::CommSettings& settings, bool telnet)
        : fd_(fd), telnet_(telnet), reader_(settings) {}
    ~SocketPort() override { close(fd_); }

    int fd() const override { return fd_; }

    ssize_t receive(std::uint8_t* bytes, std::size_t size) override {
        const ssize_t n = read(fd_, bytes, size);
        // A device server that coalesces small writes (Nagle) holds the rest of
        // a reply until this side acknowledges its first piece; a delayed
        // acknowledgement (up to 40 ms) would outlast a short reply timeout.
        SetOption(fd_, IPPROTO_TCP, TCP_QUICKACK, 1);
        if (n <= 0 || !telnet_) {
            return n;
        }
        std::vector<std::uint8_t> answers;
        const std::size_t kept = reader_.feed(bytes, static_cast<std::size_t>(n), answers);
        if (!answers.empty() && !WriteAll(fd_, answers.data(), answers.size())) {
            return -1;
        }
        if (kept == 0) {
            errno = EAGAIN;
            return -1;
        }
        return static_cast<ssize_t>(kept);
    }

    bool send(const std::uint8_t* bytes, std::size_t count) override {
        if (!telnet_) {
            return WriteAll(fd_, bytes, count);
        }
        std::vector<std::uint8_t> escaped;
        telnet::AppendEscaped(escaped, bytes, count);
        return WriteAll(fd_, escaped.data(), escaped.size());
    }

    std::string confirmed() const override {
        return telnet_ ? telnet::DescribeConfirmed(reader_.confirmed()) : "";
    }

    // Offers the options and waits until the server has answered every
    // setting; what comes from the line meanwhile answers no request.
    bool negotiate(std::string& error) {
        const auto offers = telnet::Offers();
        if (!WriteAll(fd_, offers.data(), offers.size())) {
            error = std::strerror(errno);
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(kSettingsMs);
        std::uint8_t buffer[256];
        while (reader_.confirmed().size() < 4) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) == 0) {
                error = "the server did not confirm the line settings (RFC 2217 COM-PORT-OPTION)";
                return false;
            }
            const ssize_t n = receive(buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                error = n == 0 ? "the server closed the connection" : std::strerror(errno);
                return false;
            }
        }
        return true;
    }

  private:
    int fd_;
    bool telnet_;
    telnet::Reader reader_;
};

} // namespace

std::unique_ptr<RemotePort> RemotePort::Connect(const std::string& port,
                                                const kovra::CommSettings& settings,
                                                std::string& error) {
    const auto address = ParseRemotePort(port);
    if (!address) {
        error = "give a device server as tcp://HOST:PORT or rfc2217://HOST:PORT";
        return nullptr;
    }
    const int fd = ConnectSocket(*address, error);
    if (fd < 0) {
        return nullptr;
    }
    auto remote = std::make_unique<SocketPort>(fd, settings, address->rfc2217);
    if (address->rfc2217 && !remote->negotiate(error)) {
        return nullptr;
    }
    return remote;
}

} // namespace kovra_host
