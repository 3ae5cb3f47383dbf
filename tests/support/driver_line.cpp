#include "support/driver_line.h"

#include "driver/stopping.h"
#include "link/serial_port.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kovra {

DriverOnLine::DriverOnLine() : context_(std::make_unique<DriverContext>()) {}

DriverOnLine::~DriverOnLine() {
    if (context_->portHandle != nullptr) {
        call(kClosePort, nullptr);
    }
    ReleaseLastEvents(*context_);
}

int DriverOnLine::startDriver(const std::string& devicePath, const std::string& initFile,
                              bool portEnabled) {
    if (!initFile.empty()) {
        directory_.writeFile("KOVRA01.INT", initFile);
    }
    const std::string link = "./plc";
    std::filesystem::create_symlink(devicePath, directory_.path() / "plc");
    PortParams params{};
    std::strncpy(params.portName, link.c_str(), sizeof params.portName - 1);
    params.portEnabled = portEnabled ? 1 : 0;
    params.settings = CommSettings{9600, 8, 0, 0};
    return call(kColdStart, &params);
}

void DriverOnLine::setReplyTimeout(unsigned ticks) {
    context_->timeoutTicks = static_cast<std::int32_t>(ticks);
    SetReplyTimeout(context_->portHandle, ticks);
}

int DriverOnLine::call(std::uint32_t functionCode, void* operationData) {
    VpiRequest request{context_.get(), functionCode, 1, 0, operationData};
    return VpiMain(&request);
}

GateDescriptor DriverOnLine::gate(const std::string& address, std::int32_t count, void* values) {
    address_ = address;
    ParseParams params{};
    params.addressString = address_.c_str();
    params.count = count;
    const char type = address.size() > 2 ? address[2] : '3';
    const bool bitNumber = address.size() == 8;
    params.gateType = (type == '1' || type == '2' || type == 'I' || type == 'S' || bitNumber) ? 6
                      : type == 'C'                                                           ? 4
                      : type == 'F'                                                           ? 3
                                                                                              : 0;
    const int status = call(count == 1 ? kSingleParse : kBlockParse, &params);
    EXPECT_EQ(status, kStatusDone) << "parsing " << address;
    GateDescriptor descriptor{};
    descriptor.gate = params.gate;
    descriptor.count = count;
    descriptor.values = values;
    return descriptor;
}

} // namespace kovra
