// The single export: dispatch of the host's requests by function code.
#include "contract/records.h"
#include "driver/driver_info.h"
#include "driver/lifecycle.h"
#include "driver/routes.h"
#include "driver/stopping.h"
#include "gates/parse.h"
#include "gates/read.h"
#include "gates/write.h"

#include <array>

namespace kovra {
namespace {

using Handler = int (*)(VpiRequest& request);

// One slot per function code 1 to 16; an empty slot answers 2.
constexpr std::array<Handler, kLastFunctionCode + 1> kHandlers = [] {
    std::array<Handler, kLastFunctionCode + 1> table{};
    table[kColdStart] = ColdStart;
    table[kWarmStart] = WarmStart;
    table[kSingleParse] = SingleParse;
    table[kBlockParse] = BlockParse;
    table[kSingleRead] = SingleRead;
    table[kBlockRead] = BlockRead;
    table[kSingleWrite] = SingleWrite;
    table[kBlockWrite] = BlockWrite;
    table[kEndVpi] = EndVpi;
    table[kClosePort] = ClosePort;
    table[kReopenPort] = ReopenPort;
    table[kGetDriverInfo] = GetDriverInfo;
    table[kChangeVpiParams] = ChangeVpiParams;
    return table;
}();

} // namespace
} // namespace kovra

extern "C" KOVRA_EXPORT int KOVRA_CALL VpiMain(kovra::VpiRequest* request) {
    using namespace kovra;
    static const bool routed = (InstallDriverRoutes(), true);
    (void)routed;
    if (stopping != 0) {
        return kStatusDone;
    }
    const std::uint32_t code = request->functionCode;
    if (code == 0 || code > kLastFunctionCode || kHandlers[code] == nullptr) {
        return kStatusUnavailable;
    }
    return kHandlers[code](*request);
}

std::int32_t kovra::stopping = 0;
