// What every harness needs: a scratch current directory of the process's own,
// and a driver instance (driver number 1) cold-started on the scripted line
// with the stand-in host library.
#pragma once

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/records.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kovra::fuzz {

// Makes a fresh temporary directory the current one, once per process; it is
// removed at exit. Also silences the host library's echo.
void EnterScratchDirectory();

// Writes (or, with empty contents and remove set, deletes) a file of the
// scratch directory.
void WriteFile(const char* name, const std::uint8_t* data, std::size_t size);
void RemoveFile(const char* name);

class FuzzDriver {
  public:
    FuzzDriver();
    ~FuzzDriver(); // closes the port, the last-event file and the table
    FuzzDriver(const FuzzDriver&) = delete;
    FuzzDriver& operator=(const FuzzDriver&) = delete;

    int coldStart(bool portEnabled = true);
    int call(std::uint32_t functionCode, void* operationData);
    // Parses the gate as the host would; false when the driver refuses it.
    bool parse(const std::string& address, std::int32_t count, std::int32_t hostType,
               GateDescriptor& descriptor);
    DriverContext& context() { return *context_; }

  private:
    std::unique_ptr<DriverContext> context_;
};

// True when some message of the host log contains the text.
bool LoggedContaining(const std::string& text);

} // namespace kovra::fuzz
