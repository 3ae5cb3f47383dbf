// J-bus replies to every kind of read and write the driver makes: the fuzzed
// bytes are what the PLC answers, one reply per request. Whatever they are,
// a transaction reports success only when a reply came back that is a whole
// frame from the station asked, for the function asked, with its CRC right.
#include "fuzz_driver.h"
#include "halvopro/halvopro.h"
#include "link/crc.h"
#include "scripted_port.h"

#include <array>
#include <cstdlib>
#include <string>

using namespace kovra;

namespace {

struct Operation {
    const char* address;
    std::int32_t count;
    std::int32_t hostType;
    std::uint32_t functionCode;
};

constexpr Operation kOperations[] = {
    {"0110010", 1, 6, kSingleRead},  {"0110010", 1920, 6, kBlockRead},
    {"0120010", 1, 6, kSingleRead},  {"0120010", 100, 6, kBlockRead},
    {"0130010", 1, 0, kSingleRead},  {"0130010", 120, 0, kBlockRead},
    {"01300105", 1, 6, kSingleRead}, {"0140010", 1, 0, kSingleRead},
    {"0140010", 120, 0, kBlockRead}, {"01C0010", 1, 4, kSingleRead},
    {"01C0010", 60, 4, kBlockRead},  {"01F0010", 1, 3, kSingleRead},
    {"01F0010", 60, 3, kBlockRead},  {"0110010", 1, 6, kSingleWrite},
    {"0130010", 1, 0, kSingleWrite}, {"0130001", 4, 0, kBlockWrite},
    {"01S0000", 1, 6, kSingleWrite},
};
constexpr std::size_t kOperationCount = sizeof kOperations / sizeof kOperations[0];

// Would the driver's reading of this reply to this request make a good frame?
bool WholeGoodFrame(const fuzz::Bytes& request, const fuzz::Bytes& reply) {
    if (reply.size() < 5 || reply[0] != request[0] || reply[1] != request[1]) {
        return false;
    }
    const bool write = request[1] == 5 || request[1] == 6 || request[1] == 16;
    const std::size_t length = write ? 8 : 5 + std::size_t{reply[2]};
    if (reply.size() < length) {
        return false;
    }
    const std::uint16_t crc = Crc16(reply.data(), length - 2);
    return reply[length - 2] == (crc & 0xFF) && reply[length - 1] == (crc >> 8);
}

} // namespace

// The input: the operation, the station's model, then the replies.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    fuzz::EnterScratchDirectory();
    static fuzz::FuzzDriver* driver = [] {
        auto* started = new fuzz::FuzzDriver;
        if (started->coldStart() != kStatusDone) {
            std::abort();
        }
        return started;
    }();
    halvo::ClearRecords();
    DriverContext& context = driver->context();
    // Parsed as for a P200X, which takes every gate of the table; then read or
    // written on either model.
    context.stationIsP200X[1] = 1;
    const Operation& operation = kOperations[data[0] % kOperationCount];
    GateDescriptor descriptor{};
    if (!driver->parse(operation.address, operation.count, operation.hostType, descriptor)) {
        std::abort(); // the table above holds only gates the driver accepts
    }
    context.stationIsP200X[1] = data[1] & 1;
    std::array<std::uint8_t, 1024> values{};
    values.fill(0x5A);
    descriptor.values = values.data();

    bool goodReply = false;
    fuzz::SetResponder([script = fuzz::ScriptedReplies(data + 2, size - 2),
                        &goodReply](const fuzz::Bytes& request) {
        fuzz::Bytes reply = script(request);
        goodReply = goodReply || WholeGoodFrame(request, reply);
        return reply;
    });
    const int status = driver->call(operation.functionCode, &descriptor);
    fuzz::SetResponder(nullptr);
    if (status < kStatusDone || status > kStatusUnavailable ||
        (status == kStatusDone && !goodReply)) {
        std::abort();
    }
    return 0;
}
