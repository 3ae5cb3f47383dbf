#include "plcsim/simulator.h"

#include "plcsim/line_speed.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>

namespace plcsim {

namespace {

constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr std::size_t kFixedRequestLength = 8; // functions 1 to 6
constexpr std::size_t kWriteWordsHeader = 7;   // station, 16, start, count, byte count
constexpr unsigned kMaxReadBits = 2000;
constexpr unsigned kMaxReadWords = 125;
constexpr unsigned kMaxWriteWords = 123;

std::uint16_t WordAt(const std::vector<std::uint8_t>& frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}

void PushWord(std::vector<std::uint8_t>& frame, std::uint16_t value) {
    frame.push_back(static_cast<std::uint8_t>(value >> 8));
    frame.push_back(static_cast<std::uint8_t>(value));
}

// The length of the request at the start of `buffer`, when its header tells it.
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

std::vector<std::uint8_t> ExceptionReply(std::uint8_t station, std::uint8_t function,
                                         std::uint8_t code) {
    std::vector<std::uint8_t> reply{station, static_cast<std::uint8_t>(function | kExceptionFlag),
                                    code};
    AppendCrc(reply);
    return reply;
}

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

bool IsBitTable(Table table) {
    return table == Table::Bits || table == Table::InputBits;
}

// What a station makes of a request: the reply's bytes before the CRC, or
// the exception it answers with instead.
struct Answer {
    std::vector<std::uint8_t> bytes;
    std::uint8_t exception = 0;
};

Answer Refused(std::uint8_t code) {
    return {{}, code};
}

// Offers an access to the station's hooks in turn until one takes it.
HookResult OfferToHooks(Station& station, const std::function<HookResult(RegisterHook&)>& offer) {
    for (const auto& hook : station.hooks()) {
        const HookResult result = offer(*hook);
        if (result.action != HookResult::Action::Pass) {
            return result;
        }
    }
    return HookResult::Pass();
}

// Functions 1 to 4.
Answer ServeRead(Station& station, const std::vector<std::uint8_t>& frame) {
    static constexpr Table kTableOf[] = {Table::Bits, Table::InputBits, Table::Words,
                                         Table::InputWords};
    const Table table = kTableOf[frame[1] - 1];
    const std::uint16_t start = WordAt(frame, 2);
    const unsigned quantity = WordAt(frame, 4);
    const bool bits = IsBitTable(table);
    if (quantity < 1 || quantity > (bits ? kMaxReadBits : kMaxReadWords)) {
        return Refused(kIllegalValue);
    }
    if (start + quantity > kTableSize) {
        return Refused(kIllegalAddress);
    }
    std::vector<std::uint16_t> values(quantity);
    for (unsigned i = 0; i < quantity; ++i) {
        values[i] = station.get(table, static_cast<std::uint16_t>(start + i));
    }
    if (table == Table::Words) {
        const HookResult hooked = OfferToHooks(station, [&](RegisterHook& hook) {
            return hook.readRegisters(station, start, values);
        });
        if (hooked.action == HookResult::Action::Exception) {
            return Refused(hooked.exceptionCode);
        }
    }
    Answer answer{{frame[0], frame[1]}};
    if (bits) {
        std::vector<std::uint8_t> packed((quantity + 7) / 8);
        for (unsigned i = 0; i < quantity; ++i) {
            if (values[i] != 0) {
                packed[i / 8] = static_cast<std::uint8_t>(packed[i / 8] | 1u << (i % 8));
            }
        }
        answer.bytes.push_back(static_cast<std::uint8_t>(packed.size()));
        answer.bytes.insert(answer.bytes.end(), packed.begin(), packed.end());
    } else {
        answer.bytes.push_back(static_cast<std::uint8_t>(2 * quantity));
        for (const std::uint16_t value : values) {
            PushWord(answer.bytes, value);
        }
    }
    return answer;
}

// A write is acknowledged by echoing the request's first six bytes.
Answer Echo(const std::vector<std::uint8_t>& frame) {
    return {{frame.begin(), frame.begin() + 6}};
}

// Function 5.
Answer ServeWriteBit(Station& station, const std::vector<std::uint8_t>& frame) {
    const std::uint16_t value = WordAt(frame, 4);
    if (value != 0x0000 && value != 0xFF00) {
        return Refused(kIllegalValue);
    }
    station.set(Table::Bits, WordAt(frame, 2), value != 0 ? 1 : 0);
    return Echo(frame);
}

// Functions 6 and 16.
Answer ServeWriteWords(Station& station, const std::vector<std::uint8_t>& frame) {
    const std::uint8_t function = frame[1];
    const std::uint16_t start = WordAt(frame, 2);
    std::vector<std::uint16_t> values;
    if (function == 6) {
        values.push_back(WordAt(frame, 4));
    } else {
        const unsigned quantity = WordAt(frame, 4);
        if (quantity < 1 || quantity > kMaxWriteWords || frame[6] != 2 * quantity) {
            return Refused(kIllegalValue);
        }
        if (start + quantity > kTableSize) {
            return Refused(kIllegalAddress);
        }
        for (unsigned i = 0; i < quantity; ++i) {
            values.push_back(WordAt(frame, kWriteWordsHeader + 2 * i));
        }
    }
    const HookResult hooked = OfferToHooks(station, [&](RegisterHook& hook) {
        return hook.writeRegisters(station, function, start, values);
    });
    if (hooked.action == HookResult::Action::Exception) {
        return Refused(hooked.exceptionCode);
    }
    if (hooked.action == HookResult::Action::Pass) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            station.set(Table::Words, static_cast<std::uint16_t>(start + i), values[i]);
        }
    }
    return Echo(frame);
}

Answer Serve(Station& station, const std::vector<std::uint8_t>& frame) {
    switch (frame[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
        return ServeRead(station, frame);
    case 5:
        return ServeWriteBit(station, frame);
    case 6:
    case 16:
        return ServeWriteWords(station, frame);
    default:
        return Refused(kIllegalFunction);
    }
}

// The fault that applies to this request, used up by one.
std::optional<Fault> TakeFault(std::vector<Fault>& queue) {
    if (queue.empty()) {
        return std::nullopt;
    }
    const Fault fault = queue.front();
    if (queue.front().times != kAlways && --queue.front().times <= 0) {
        queue.erase(queue.begin());
    }
    return fault;
}

void CheckRange(std::uint16_t start, std::size_t count) {
    if (start + count > kTableSize) {
        throw std::out_of_range("range past the end of the table");
    }
}

} // namespace

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

void AppendCrc(std::vector<std::uint8_t>& frame) {
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

HookResult RegisterHook::readRegisters(Station&, std::uint16_t, std::span<std::uint16_t>) {
    return HookResult::Pass();
}

HookResult RegisterHook::writeRegisters(Station&, std::uint8_t, std::uint16_t,
                                        std::span<const std::uint16_t>) {
    return HookResult::Pass();
}

Station::Station(std::uint8_t address, Model model) : address_(address), model_(model) {
    for (auto& table : tables_) {
        table.resize(kTableSize);
    }
}

std::uint16_t Station::get(Table table, std::uint16_t address) const {
    return tables_[static_cast<std::size_t>(table)][address];
}

void Station::set(Table table, std::uint16_t address, std::uint16_t value) {
    tables_[static_cast<std::size_t>(table)][address] = IsBitTable(table) && value != 0 ? 1 : value;
}

Fault Fault::Silent(int times) {
    return Fault{Kind::Silence, times, {}, 0, 0, 0, {}};
}

Fault Fault::Delayed(std::chrono::milliseconds delay, int times) {
    return Fault{Kind::Delay, times, delay, 0, 0, 0, {}};
}

Fault Fault::CutAfter(std::size_t bytes, int times) {
    return Fault{Kind::Cut, times, {}, bytes, 0, 0, {}};
}

Fault Fault::CorruptCrc(int times) {
    return Fault{Kind::BadCrc, times, {}, 0, 0, 0, {}};
}

Fault Fault::AsStation(std::uint8_t station, int times) {
    return Fault{Kind::WrongStation, times, {}, 0, station, 0, {}};
}

Fault Fault::WithException(std::uint8_t code, int times) {
    return Fault{Kind::Exception, times, {}, 0, 0, code, {}};
}

Fault Fault::GarbageFirst(std::vector<std::uint8_t> bytes, int times) {
    return Fault{Kind::Garbage, times, {}, 0, 0, 0, std::move(bytes)};
}

Fault Fault::Replying(std::vector<std::uint8_t> bytes, int times) {
    return Fault{Kind::Substitute, times, {}, 0, 0, 0, std::move(bytes)};
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

void Simulator::addStation(std::uint8_t address, Model model) {
    const std::lock_guard lock(mutex_);
    stations_[address] = std::make_unique<Station>(address, model);
}

bool Simulator::hasStation(std::uint8_t address) const {
    const std::lock_guard lock(mutex_);
    return stations_.contains(address);
}

void Simulator::addHook(std::uint8_t address, std::shared_ptr<RegisterHook> hook) {
    const std::lock_guard lock(mutex_);
    station(address).addHook(std::move(hook));
}

Station& Simulator::station(std::uint8_t address) const {
    const auto found = stations_.find(address);
    if (found == stations_.end()) {
        throw std::out_of_range("no station " + std::to_string(address));
    }
    return *found->second;
}

void Simulator::set(std::uint8_t address, Table table, std::uint16_t start,
                    const std::vector<std::uint16_t>& values) {
    CheckRange(start, values.size());
    const std::lock_guard lock(mutex_);
    Station& target = station(address);
    for (std::size_t i = 0; i < values.size(); ++i) {
        target.set(table, static_cast<std::uint16_t>(start + i), values[i]);
    }
}

std::vector<std::uint16_t> Simulator::get(std::uint8_t address, Table table, std::uint16_t start,
                                          std::size_t count) const {
    CheckRange(start, count);
    const std::lock_guard lock(mutex_);
    const Station& source = station(address);
    std::vector<std::uint16_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = source.get(table, static_cast<std::uint16_t>(start + i));
    }
    return values;
}

std::uint16_t Simulator::get(std::uint8_t address, Table table, std::uint16_t at) const {
    return get(address, table, at, 1)[0];
}

void Simulator::setLong(std::uint8_t address, Table table, std::uint16_t start,
                        std::uint32_t value) {
    set(address, table, start,
        {static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)});
}

void Simulator::setFloat(std::uint8_t address, Table table, std::uint16_t start, float value) {
    std::uint32_t pattern = 0;
    std::memcpy(&pattern, &value, sizeof pattern);
    setLong(address, table, start, pattern);
}

void Simulator::withStation(std::uint8_t address, const std::function<void(Station&)>& action) {
    const std::lock_guard lock(mutex_);
    action(station(address));
}

void Simulator::injectFault(std::uint8_t address, Fault fault) {
    const std::lock_guard lock(mutex_);
    faults_[address].push_back(std::move(fault));
}

void Simulator::clearFaults(std::uint8_t address) {
    const std::lock_guard lock(mutex_);
    faults_.erase(address);
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
                if (buffer.empty()) {
                    begin = std::chrono::steady_clock::now();
                }
                buffer.insert(buffer.end(), chunk, chunk + n);
            } else if (!waitOrStop(std::chrono::milliseconds(20))) {
                return;
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            // Nobody on the other end for now: wait for the driver to reopen.
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

Simulator::Reply Simulator::answer(const std::vector<std::uint8_t>& frame) {
    const std::uint8_t address = frame[0];
    const std::uint8_t function = frame[1];
    const auto found = stations_.find(address);
    if (found == stations_.end()) {
        return {}; // another station's request: not ours to answer
    }
    // A frame of a known function that silence cut short is not a request.
    const auto expected = RequestLength(frame);
    if ((function >= 1 && function <= 6) || function == 16) {
        if (!expected || *expected != frame.size()) {
            return {};
        }
    }

    const std::optional<Fault> fault = TakeFault(faults_[address]);
    // An exception fault stands in for the request: a write is not carried out.
    const Answer served = fault && fault->kind == Fault::Kind::Exception
                              ? Refused(fault->exceptionCode)
                              : Serve(*found->second, frame);
    Reply reply;
    if (served.exception != 0) {
        reply.bytes = ExceptionReply(address, function, served.exception);
    } else {
        reply.bytes = served.bytes;
        AppendCrc(reply.bytes);
    }
    if (fault) {
        ApplyFault(*fault, reply);
    }
    return reply;
}

void Simulator::ApplyFault(const Fault& fault, Reply& reply) {
    switch (fault.kind) {
    case Fault::Kind::Silence:
        reply.bytes.clear();
        break;
    case Fault::Kind::Delay:
        reply.delay = fault.delay;
        break;
    case Fault::Kind::Cut:
        reply.bytes.resize(std::min(fault.cutAfter, reply.bytes.size()));
        break;
    case Fault::Kind::BadCrc:
        reply.bytes.back() ^= 0x5A;
        break;
    case Fault::Kind::WrongStation:
        reply.bytes.resize(reply.bytes.size() - 2);
        reply.bytes[0] = fault.station;
        AppendCrc(reply.bytes);
        break;
    case Fault::Kind::Garbage:
        reply.bytes.insert(reply.bytes.begin(), fault.garbage.begin(), fault.garbage.end());
        break;
    case Fault::Kind::Substitute:
        reply.bytes = fault.garbage;
        AppendCrc(reply.bytes);
        break;
    case Fault::Kind::Exception:
        break;
    }
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

} // namespace plcsim
