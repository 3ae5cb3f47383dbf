#include "fuzz_driver.h"

#include "driver/stopping.h"
#include "halvopro/halvopro.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kovra::fuzz {

namespace {

std::filesystem::path& ScratchDirectory() {
    static std::filesystem::path path;
    return path;
}

void RemoveScratchDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
    std::filesystem::remove_all(ScratchDirectory(), ignored);
}

} // namespace

void EnterScratchDirectory() {
    if (!ScratchDirectory().empty()) {
        return;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "kovra-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    ScratchDirectory() = pattern;
    std::filesystem::current_path(ScratchDirectory());
    std::atexit(RemoveScratchDirectory);
    halvo::SetLogSink(nullptr);
}

void WriteFile(const char* name, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(name, "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        std::perror(name);
        std::abort();
    }
}

void RemoveFile(const char* name) {
    std::remove(name);
}

FuzzDriver::FuzzDriver() : context_(std::make_unique<DriverContext>()) {
    halvo::Reset();
    halvo::SetLogSink(nullptr);
}

FuzzDriver::~FuzzDriver() {
    if (context_->portHandle != nullptr) {
        call(kClosePort, nullptr);
    }
    if (context_->lastEventFile != nullptr) {
        std::fclose(context_->lastEventFile);
    }
    std::free(context_->lastEvents);
}

int FuzzDriver::coldStart(bool portEnabled) {
    PortParams params{};
    std::strncpy(params.portName, "PLC", sizeof params.portName - 1);
    params.portEnabled = portEnabled ? 1 : 0;
    params.settings = CommSettings{9600, 8, 0, 0};
    return call(kColdStart, &params);
}

int FuzzDriver::call(std::uint32_t functionCode, void* operationData) {
    VpiRequest request{context_.get(), functionCode, 1, 0, operationData};
    return VpiMain(&request);
}

bool FuzzDriver::parse(const std::string& address, std::int32_t count, std::int32_t hostType,
                       GateDescriptor& descriptor) {
    ParseParams params{};
    params.addressString = address.c_str();
    params.count = count;
    params.gateType = hostType;
    if (call(count == 1 ? kSingleParse : kBlockParse, &params) != kStatusDone) {
        return false;
    }
    descriptor.gate = params.gate;
    descriptor.count = count;
    return true;
}

bool LoggedContaining(const std::string& text) {
    for (const auto& entry : halvo::Log()) {
        if (entry.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace kovra::fuzz
