// The host side of the driver interface, as Halvo plays it: load KOVRA.dll at
// run time, find VpiMain by name, allocate the context that GetDriverInfo
// asks for, and send requests with the host's records.
#pragma once

#include "contract/gate_records.h"
#include "contract/records.h"

#include <cstdint>
#include <string>
#include <vector>

namespace wintest {

// The host side of the binary contract speaks its names as they stand.
using namespace kovra;

using VpiMainFunction = int(__cdecl*)(VpiRequest*);

// A gate as the host keeps it after a successful parse.
struct HostGate {
    std::string address;
    GateAddress parsed{};
    std::int32_t count = 1;
};

class DriverClient {
  public:
    // Loads the library from the program's search path; check loaded().
    explicit DriverClient(const char* library, std::int32_t driverNumber = 1);
    DriverClient(const DriverClient&) = delete;
    DriverClient& operator=(const DriverClient&) = delete;

    bool loaded() const { return vpiMain_ != nullptr; }
    // Whether the library exports a function of this exact name.
    bool exports(const char* name) const;

    // One request; the context is allocated from GetDriverInfo on first use.
    int call(std::uint32_t functionCode, void* operationData);

    DriverInfo driverInfo();
    int coldStart(const char* portName, const CommSettings& settings, bool enabled = true);
    int changeParams(const char* portName, std::int32_t timeoutTicks, const CommSettings& settings);

    int singleParse(HostGate& gate, std::int32_t gateType);
    int blockParse(HostGate& gate, std::int32_t count);
    // The value area is handed over as it stands and comes back as the driver left it.
    int singleRead(const HostGate& gate, std::vector<std::uint8_t>& values);
    int blockRead(const HostGate& gate, std::vector<std::uint8_t>& values);
    int singleWrite(const HostGate& gate, std::vector<std::uint8_t>& values);
    int blockWrite(const HostGate& gate, std::vector<std::uint8_t>& values);

    const std::vector<std::uint8_t>& context() const { return context_; }

  private:
    int transfer(std::uint32_t functionCode, const HostGate& gate,
                 std::vector<std::uint8_t>& values);

    // Never unloaded, as in the host: the driver keeps its last-event file open
    // for the life of the process.
    void* module_ = nullptr;
    VpiMainFunction vpiMain_ = nullptr;
    std::int32_t driverNumber_;
    std::vector<std::uint8_t> context_;
};

// The 16-bit value of a single-layout value area (bytes 2 and 3).
std::uint16_t SingleWord(const std::vector<std::uint8_t>& values);
// The 32-bit value of a single-layout value area (bytes 0 to 3).
std::uint32_t SingleLong(const std::vector<std::uint8_t>& values);
// A single-layout value area holding a 16-bit value.
std::vector<std::uint8_t> WordArea(std::uint16_t value);
// Element i of a block of 16-bit or 32-bit values.
std::uint16_t BlockWord(const std::vector<std::uint8_t>& values, std::size_t i);
std::uint32_t BlockLong(const std::vector<std::uint8_t>& values, std::size_t i);

} // namespace wintest
