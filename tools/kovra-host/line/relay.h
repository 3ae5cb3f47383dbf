// A pseudo-terminal between the driver and the real serial device, run on a
// thread of its own. The driver opens the pseudo-terminal; the relay copies
// every byte both ways and, for --trace, cuts the traffic into J-bus frames
// and prints each with its time and meaning. It also lets the driver reach a
// device whose name is longer than the 11 characters the driver's port record
// holds, or one behind a device server (tcp://, rfc2217://). POSIX only:
// elsewhere Start() says so.
#pragma once

#include "contract/records.h"
#include "line/journal_reads.h"
#include "line/line_stats.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kovra_host {

// The host side of the binary contract speaks its names as they stand.
using namespace kovra;

class Relay {
  public:
    using TraceSink = std::function<void(const std::string& line)>;

    // Opens the device for exclusive use with the line settings; trace may be
    // empty. On failure returns null with the reason.
    static std::unique_ptr<Relay> Start(const std::string& device, const CommSettings& settings,
                                        TraceSink trace, std::string& error);
    virtual ~Relay() = default;
    // The pseudo-terminal the driver opens instead of the device.
    virtual const std::string& driverPath() const = 0;

    // What crossed the line so far: the requests (frames to the PLCs) and
    // the bytes both ways.
    struct Traffic {
        std::uint64_t requests = 0;
        std::uint64_t bytes = 0;
        Traffic& operator+=(const Traffic& more) {
            requests += more.requests;
            bytes += more.bytes;
            return *this;
        }
    };
    virtual Traffic traffic() const = 0;
    // Whether the relay ended with its device, or with its device server's
    // connection.
    virtual bool ended() const = 0;
    // Mirrors every byte that crosses, both ways in the order they pass, on
    // a pseudo-terminal of its own, made reachable as `link` (a symbolic
    // link, removed with the relay): a tap for a monitor. Bytes that the tap's
    // reader does not take in time are dropped, never the line's.
    virtual bool offerTap(const std::string& link, std::string& error) = 0;
    // Frame by frame, by station: requests, good replies, faults, reply times.
    virtual LineFigures figures() const = 0;
    // What one frame that crossed the line did for a collection's progress.
    struct Step {
        bool request = false; // a request went out
        unsigned records = 0; // journal records that a good reply brought
    };
    // Called on the relay's thread for every request and every reply that
    // brought journal records; null for none.
    virtual void onStep(std::function<void(const Step&)> listener) = 0;
    // The latest read of a station's journal or memo file that crossed the
    // line, or null.
    virtual std::optional<FileRead> fileRead(int station, std::uint16_t file) const = 0;
};

bool RelayAvailable();

} // namespace kovra_host
