// A line of Perax PLCs as the driver sees it: the slave side of a J-bus line
// (Modbus RTU framing), with any number of P200 and P200X stations on it,
// fault injection per station, optional line-rate pacing, and a log of every
// request frame received. It serves a pseudo-terminal it creates or a real
// serial device, on a thread of its own.
//
// The simulator computes its own CRC and decodes requests itself: it is a
// peer of the driver, not a reuse of its code.
#pragma once

#include "plcsim/crc.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace plcsim {

enum class Model { P200, P200X };

// The four memory areas of a station and the J-bus functions that reach them.
enum class Table {
    Bits,       // functions 1 (read) and 5 (write)
    InputBits,  // function 2
    Words,      // holding registers: functions 3, 6 and 16
    InputWords, // function 4
};

constexpr std::size_t kTableSize = 65536;

// J-bus exception codes a station answers with.
constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalAddress = 0x02;
constexpr std::uint8_t kIllegalValue = 0x03;

class Station;

// What a register hook did with an access.
struct HookResult {
    enum class Action {
        Pass,      // not mine: the next hook, then plain memory, serves it
        Handled,   // served (read: the values are the answer; write: memory is
                   // left to the hook)
        Exception, // answer with exceptionCode
    };
    Action action = Action::Pass;
    std::uint8_t exceptionCode = 0;

    static HookResult Pass() { return {}; }
    static HookResult Handled() { return {Action::Handled, 0}; }
    static HookResult Exception(std::uint8_t code) { return {Action::Exception, code}; }
};

// The extension point for PLC behaviour beyond plain memory: journal files
// (file table at 0x0900, selection register 0x0100, header at 0x0102, record
// areas) and the clock (function 16 to registers 1 to 4). A hook sees every
// access to a station's holding registers after the request passed its
// quantity and address checks, before plain memory serves it. Hooks run on
// the simulator's thread with the simulator locked: they may use the station
// they are given, but must not call back into the Simulator.
class RegisterHook {
  public:
    virtual ~RegisterHook() = default;

    // Function 3. `values` arrives filled from plain memory; a hook that
    // handles the read may change any of them.
    virtual HookResult readRegisters(Station& station, std::uint16_t start,
                                     std::span<std::uint16_t> values);

    // Functions 6 (one value) and 16.
    virtual HookResult writeRegisters(Station& station, std::uint8_t function, std::uint16_t start,
                                      std::span<const std::uint16_t> values);
};

class Station {
  public:
    Station(std::uint8_t address, Model model);

    std::uint8_t address() const { return address_; }
    Model model() const { return model_; }

    // Bits hold 0 or 1.
    std::uint16_t get(Table table, std::uint16_t address) const;
    void set(Table table, std::uint16_t address, std::uint16_t value);

    void addHook(std::shared_ptr<RegisterHook> hook) { hooks_.push_back(std::move(hook)); }
    const std::vector<std::shared_ptr<RegisterHook>>& hooks() const { return hooks_; }

  private:
    std::uint8_t address_;
    Model model_;
    std::array<std::vector<std::uint16_t>, 4> tables_; // indexed by Table
    std::vector<std::shared_ptr<RegisterHook>> hooks_;
};

constexpr int kAlways = -1;

// A misbehaviour of a station, applied to its next `times` well-formed
// requests (kAlways: until cleared). A request with a bad CRC, or for another
// station, gets no reply anyway and does not use a fault up.
struct Fault {
    enum class Kind {
        Silence,      // no reply (a write is still carried out)
        Delay,        // the reply after `delay`
        Cut,          // only the first `cutAfter` bytes of the reply
        BadCrc,       // the reply with a corrupted CRC
        WrongStation, // the reply carries `station` instead (with its valid CRC)
        Exception,    // exception `exceptionCode` instead (a write is not carried out)
        Garbage,      // `garbage` bytes, then the reply
        Substitute,   // `garbage` bytes with a valid CRC instead of the reply
                      // (the request is still carried out)
    };
    Kind kind = Kind::Silence;
    int times = kAlways;
    std::chrono::milliseconds delay{0};
    std::size_t cutAfter = 0;
    std::uint8_t station = 0;
    std::uint8_t exceptionCode = 0;
    std::vector<std::uint8_t> garbage;

    static Fault Silent(int times = kAlways);
    static Fault Delayed(std::chrono::milliseconds delay, int times = kAlways);
    static Fault CutAfter(std::size_t bytes, int times = kAlways);
    static Fault CorruptCrc(int times = kAlways);
    static Fault AsStation(std::uint8_t station, int times = kAlways);
    static Fault WithException(std::uint8_t code, int times = kAlways);
    static Fault GarbageFirst(std::vector<std::uint8_t> bytes, int times = kAlways);
    static Fault Replying(std::vector<std::uint8_t> bytes, int times = kAlways);
};

struct LineSettings {
    unsigned baudRate = 9600;
    unsigned dataBits = 8;     // 5 to 8
    char parity = 'N';         // N, E, O, M (mark) or S (space)
    unsigned halfStopBits = 2; // 2 one, 3 one and a half (5 data bits only), 4 two

    // Start bit, data, parity and stop bits, in half bits: 20 at 8N1.
    unsigned halfBitsPerCharacter() const {
        return 2 * (1 + dataBits + (parity == 'N' ? 0 : 1)) + halfStopBits;
    }
};

// One request frame as it came off the line, and what went back.
struct Exchange {
    std::chrono::steady_clock::time_point begin; // when its first byte arrived
    std::chrono::steady_clock::time_point time;  // when the frame was complete
    std::vector<std::uint8_t> request;           // raw, CRC included
    bool crcOk = false;
    std::vector<std::uint8_t> reply; // bytes sent, faults applied; empty when none
    // When the reply was written, once it was; a listener, called as the
    // request is logged, sees it unset.
    std::optional<std::chrono::steady_clock::time_point> replied;
};

class Simulator {
  public:
    Simulator();
    ~Simulator(); // stops the thread and closes what the simulator opened
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Stations. Adding an existing address replaces that station.
    void addStation(std::uint8_t address, Model model);
    bool hasStation(std::uint8_t address) const;
    void addHook(std::uint8_t station, std::shared_ptr<RegisterHook> hook);

    // Memory; bits as 0 or 1. Throws std::out_of_range for an unknown station
    // or a range past the end of the table.
    void set(std::uint8_t station, Table table, std::uint16_t start,
             const std::vector<std::uint16_t>& values);
    std::vector<std::uint16_t> get(std::uint8_t station, Table table, std::uint16_t start,
                                   std::size_t count) const;
    std::uint16_t get(std::uint8_t station, Table table, std::uint16_t address) const;
    // A 32-bit value in two consecutive words, high word first, as the PLC
    // keeps counters and floats.
    void setLong(std::uint8_t station, Table table, std::uint16_t start, std::uint32_t value);
    void setFloat(std::uint8_t station, Table table, std::uint16_t start, float value);
    // Anything else, with the simulator locked.
    void withStation(std::uint8_t station, const std::function<void(Station&)>& action);

    // Faults queue per station: the first one applies until used up.
    void injectFault(std::uint8_t station, Fault fault);
    void clearFaults(std::uint8_t station);

    // Line behaviour.
    void setLine(const LineSettings& line);
    LineSettings line() const;
    // Pace the line: each reply is held until the request and the reply would
    // have crossed the wire at the line's rate (halfBitsPerCharacter() / (2 ×
    // baudRate) seconds a byte), counted from the request's first byte, and then sent
    // at once. A delay fault adds its delay on top.
    void setPacing(bool paced);
    // Silence that ends a frame whose length is not known from its header.
    void setSilence(std::chrono::milliseconds silence);

    // Transport, chosen once before start(). Throw std::runtime_error on failure.
    std::string openPseudoTerminal(); // returns the slave's path, for the driver
    void openDevice(const std::string& path);

    void start();
    void stop(); // idempotent
    bool running() const { return thread_.joinable(); }

    // The request log.
    std::vector<Exchange> exchanges() const;
    std::vector<std::vector<std::uint8_t>> requests() const;
    void clearLog();
    // True once the log holds at least `count` exchanges.
    bool waitForExchanges(std::size_t count, std::chrono::milliseconds timeout) const;
    // Called on the simulator's thread for each exchange, as it is logged.
    void onExchange(std::function<void(const Exchange&)> listener);
    // Called on the simulator's thread with a line naming the line's device
    // when it hangs up or fails to read; once, until bytes arrive again.
    void onLineLost(std::function<void(const std::string&)> listener);

  private:
    struct Reply {
        std::vector<std::uint8_t> bytes;
        std::chrono::milliseconds delay{0};
    };

    void run();
    void handleFrame(std::vector<std::uint8_t> frame, std::chrono::steady_clock::time_point begin);
    Reply answer(const std::vector<std::uint8_t>& frame); // locked
    static void ApplyFault(const Fault& fault, Reply& reply);
    void transmit(const std::vector<std::uint8_t>& bytes);
    bool waitOrStop(std::chrono::steady_clock::duration duration) const;
    Station& station(std::uint8_t address) const; // locked
    void closeTransport();
    void lineLost(const std::string& why);

    mutable std::mutex mutex_;
    mutable std::condition_variable logged_;
    std::map<std::uint8_t, std::unique_ptr<Station>> stations_;
    std::map<std::uint8_t, std::vector<Fault>> faults_;
    std::vector<Exchange> log_;
    std::function<void(const Exchange&)> listener_;
    std::function<void(const std::string&)> lostListener_;
    LineSettings line_;
    bool paced_ = false;
    std::chrono::milliseconds silence_{20};

    int fd_ = -1;
    int slaveKeeper_ = -1; // keeps a pseudo-terminal alive while the driver reopens it
    std::string device_;
    bool lost_ = false; // said, until bytes arrive again
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace plcsim
