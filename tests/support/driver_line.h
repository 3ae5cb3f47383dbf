// A driver instance (driver number 1) cold-started through VpiMain on a
// serial line, in a temporary current directory, with the stand-in host
// library. The port is closed at the end with ClosePort, never EndVpi, whose
// stopping flag would silence every later test in the process.
#pragma once

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/records.h"
#include "support/world.h"

#include <memory>
#include <string>

namespace kovra {

class DriverOnLine : public HostLibraryTest {
  protected:
    DriverOnLine();
    ~DriverOnLine() override;

    // Writes KOVRA01.INT (when initFile is not empty) and cold-starts on the
    // device; the port name is a short link in the current directory, since
    // the host's record holds at most 11 characters. Returns ColdStart's status.
    int startDriver(const std::string& devicePath, const std::string& initFile,
                    bool portEnabled = true);
    // Sets the port's reply timeout below the initialisation file's 100 ms
    // floor, to keep silent-PLC cases short.
    void setReplyTimeout(unsigned ticks);

    int call(std::uint32_t functionCode, void* operationData);
    // Parses the gate as the host would (SingleParse for count 1, BlockParse
    // otherwise, with the host type its memory type calls for); the descriptor
    // points at `values`. Parse failures fail the test.
    GateDescriptor gate(const std::string& address, std::int32_t count, void* values);

    DriverContext& context() { return *context_; }

  private:
    TempCurrentDirectory directory_;
    std::unique_ptr<DriverContext> context_;
    std::string address_; // keeps the parsed string alive while parsing
};

} // namespace kovra
