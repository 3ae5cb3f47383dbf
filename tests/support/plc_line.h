// Worlds with a PLC line in them: the simulator on a pseudo-terminal, a raw
// serial end to talk to it frame by frame, and a null-modem cable between two
// pseudo-terminals for peers that open a device path themselves.
#pragma once

#include "plcsim/simulator.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kovra {

// The frame with its CRC appended, low byte first (computed by the simulator's
// own CRC, not the driver's).
std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame);

// A serial device path opened in raw mode, as a master on the line would.
class SerialEnd {
  public:
    explicit SerialEnd(const std::string& path);
    ~SerialEnd();
    SerialEnd(const SerialEnd&) = delete;
    SerialEnd& operator=(const SerialEnd&) = delete;

    void write(const std::vector<std::uint8_t>& bytes) const;
    // Waits up to firstMs for a first byte, then reads until the line stays
    // quiet for quietMs or `limit` bytes came.
    std::vector<std::uint8_t> read(int firstMs, int quietMs = 20, std::size_t limit = 4096) const;
    // Sends a request (CRC appended) and returns what came back.
    std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t>& request,
                                       int firstMs = 200) const;

  private:
    int fd_ = -1;
};

// The simulator serving a fresh pseudo-terminal, running from construction to
// destruction.
class SimulatedLine {
  public:
    SimulatedLine();
    ~SimulatedLine();
    SimulatedLine(const SimulatedLine&) = delete;
    SimulatedLine& operator=(const SimulatedLine&) = delete;

    plcsim::Simulator& plc() { return simulator_; }
    // The device path the driver opens.
    const std::string& path() const { return path_; }

  private:
    plcsim::Simulator simulator_;
    std::string path_;
};

// Two pseudo-terminals whose far ends are joined by a relay thread: what one
// side writes to its device the other reads from its own, like a cable.
class NullModem {
  public:
    NullModem();
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    const std::string& pathA() const { return paths_[0]; }
    const std::string& pathB() const { return paths_[1]; }

  private:
    void relay();

    int masters_[2] = {-1, -1};
    int keepers_[2] = {-1, -1};
    std::string paths_[2];
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace kovra
