// Gate address strings as the host hands them over, with any host type, count
// and station model. An accepted gate must describe something a transaction
// can carry.
#include "contract/context.h"
#include "contract/gate_records.h"
#include "fuzz_driver.h"
#include "gates/parse.h"
#include "halvopro/halvopro.h"

#include <cstdlib>
#include <cstring>
#include <string>

using namespace kovra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    fuzz::EnterScratchDirectory();
    halvo::ClearRecords();
    static DriverContext context{};
    std::memset(context.stationIsP200X, data[2] & 1, sizeof context.stationIsP200X);

    const std::string address(reinterpret_cast<const char*>(data + 3), size - 3);
    ParseParams params{};
    params.addressString = address.c_str(); // stops at the first NUL, as the host's would
    params.gateType = data[0] % 8;
    params.count = data[1] == 0 ? 1 : data[1];
    if (Parse(context, params) != 0) {
        return 0;
    }
    const std::size_t length = std::strlen(address.c_str());
    const GateAddress& gate = params.gate;
    const bool sane =
        length >= 4 && length <= 8 && gate.station >= 0 && gate.station <= 255 &&
        (gate.width == 1 || gate.width == 16 || gate.width == 32) &&
        (gate.bitNumber == kNoBitNumber || (gate.bitNumber >= 0 && gate.bitNumber <= 15));
    if (!sane) {
        std::abort();
    }
    return 0;
}
