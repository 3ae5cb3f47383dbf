#include "driver_client.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

namespace wintest {

DriverClient::DriverClient(const char* library, std::int32_t driverNumber)
    : driverNumber_(driverNumber) {
    HMODULE module = LoadLibraryA(library);
    module_ = module;
    if (module != nullptr) {
        vpiMain_ = reinterpret_cast<VpiMainFunction>(
            reinterpret_cast<void*>(GetProcAddress(module, "VpiMain")));
    }
}

bool DriverClient::exports(const char* name) const {
    return module_ != nullptr && GetProcAddress(static_cast<HMODULE>(module_), name) != nullptr;
}

int DriverClient::call(std::uint32_t functionCode, void* operationData) {
    if (context_.empty() && functionCode != kGetDriverInfo) {
        driverInfo();
    }
    VpiRequest request{};
    request.context =
        context_.empty() ? nullptr : reinterpret_cast<DriverContext*>(context_.data());
    request.functionCode = functionCode;
    request.driverNumber = driverNumber_;
    request.reserved = 0xDEADBEEF; // never read by the driver
    request.operationData = operationData;
    return vpiMain_(&request);
}

DriverInfo DriverClient::driverInfo() {
    DriverInfo info{};
    VpiRequest request{};
    request.functionCode = kGetDriverInfo;
    request.driverNumber = driverNumber_;
    request.operationData = &info;
    if (vpiMain_(&request) == kStatusDone && context_.empty() && info.contextSize > 0) {
        // Filled with a pattern: the driver must not rely on a zeroed block.
        context_.assign(static_cast<std::size_t>(info.contextSize), 0xA5);
    }
    return info;
}

int DriverClient::coldStart(const char* portName, const CommSettings& settings, bool enabled) {
    PortParams params{};
    std::strncpy(params.portName, portName, sizeof params.portName - 1);
    params.portEnabled = enabled ? 1 : 0;
    params.reserved = 0xDEADBEEF;
    params.settings = settings;
    return call(kColdStart, &params);
}

int DriverClient::changeParams(const char* portName, std::int32_t timeoutTicks,
                               const CommSettings& settings) {
    PortChange change{};
    std::strncpy(change.portName, portName, sizeof change.portName - 1);
    change.timeoutTicks = timeoutTicks;
    change.settings = settings;
    return call(kChangeVpiParams, &change);
}

int DriverClient::singleParse(HostGate& gate, std::int32_t gateType) {
    ParseParams params{};
    params.addressString = gate.address.c_str();
    params.gateType = gateType;
    params.count = 1;
    const int status = call(kSingleParse, &params);
    gate.parsed = params.gate;
    gate.count = 1;
    return status;
}

int DriverClient::blockParse(HostGate& gate, std::int32_t count) {
    ParseParams params{};
    params.addressString = gate.address.c_str();
    params.count = count;
    const int status = call(kBlockParse, &params);
    gate.parsed = params.gate;
    gate.count = count;
    return status;
}

int DriverClient::transfer(std::uint32_t functionCode, const HostGate& gate,
                           std::vector<std::uint8_t>& values) {
    GateDescriptor descriptor{};
    descriptor.gate = gate.parsed;
    descriptor.count = gate.count;
    descriptor.values = values.data();
    return call(functionCode, &descriptor);
}

int DriverClient::singleRead(const HostGate& gate, std::vector<std::uint8_t>& values) {
    return transfer(kSingleRead, gate, values);
}

int DriverClient::blockRead(const HostGate& gate, std::vector<std::uint8_t>& values) {
    return transfer(kBlockRead, gate, values);
}

int DriverClient::singleWrite(const HostGate& gate, std::vector<std::uint8_t>& values) {
    return transfer(kSingleWrite, gate, values);
}

int DriverClient::blockWrite(const HostGate& gate, std::vector<std::uint8_t>& values) {
    return transfer(kBlockWrite, gate, values);
}

std::uint16_t SingleWord(const std::vector<std::uint8_t>& values) {
    std::uint16_t value = 0;
    std::memcpy(&value, values.data() + 2, sizeof value);
    return value;
}

std::uint32_t SingleLong(const std::vector<std::uint8_t>& values) {
    std::uint32_t value = 0;
    std::memcpy(&value, values.data(), sizeof value);
    return value;
}

std::vector<std::uint8_t> WordArea(std::uint16_t value) {
    std::vector<std::uint8_t> area(4, 0);
    std::memcpy(area.data() + 2, &value, sizeof value);
    return area;
}

std::uint16_t BlockWord(const std::vector<std::uint8_t>& values, std::size_t i) {
    std::uint16_t value = 0;
    std::memcpy(&value, values.data() + 2 * i, sizeof value);
    return value;
}

std::uint32_t BlockLong(const std::vector<std::uint8_t>& values, std::size_t i) {
    std::uint32_t value = 0;
    std::memcpy(&value, values.data() + 4 * i, sizeof value);
    return value;
}

} // namespace wintest
