#include "driver/driver_info.h"

#include "contract/context.h"
#include "contract/records.h"

// Box drawn with code page 437: 0xC9/0xBB/0xC8/0xBC corners, 0xCD double
// horizontal line, 0xBA double vertical line.
#define KOVRA_RULE64                                                                               \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"                             \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"                             \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"                             \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"

namespace kovra {

const char kBanner[] = "\r\xC9" KOVRA_RULE64 "\xBB\n"
                       "\xBA"
                       "  KOVRA :  PERAX   P200, P200X or ARLEQUIN      (32-bit driver) "
                       "\xBA\n"
                       "\xC8" KOVRA_RULE64 "\xBC\r";

static_assert(sizeof(kBanner) == 203, "the banner has 202 characters");

namespace {
constexpr char kDriverName[] = "Perax P200";
constexpr CommSettings kDefaultSettings{9600, 8, 0, 0};
} // namespace

int GetDriverInfo(VpiRequest& request) {
    auto& info = *static_cast<DriverInfo*>(request.operationData);
    info.driverId = 70;
    info.driverName = kDriverName;
    info.banner = kBanner;
    info.contextSize = static_cast<std::int32_t>(sizeof(DriverContext));
    info.infoA = 4;
    info.defaultSettings = kDefaultSettings;
    info.infoB = 1;
    return kStatusDone;
}

} // namespace kovra
