// The initialisation file, read by a real cold start in a scratch directory.
// Whatever it holds, the start succeeds and leaves settings the line can use.
#include "fuzz_driver.h"
#include "scripted_port.h"

#include <cstdlib>

using namespace kovra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::EnterScratchDirectory();
    fuzz::RemoveFile("KOVRA01H.DAT");
    fuzz::WriteFile("KOVRA01.INT", data, size);
    fuzz::SetResponder(nullptr);
    fuzz::FuzzDriver driver;
    const int status = driver.coldStart();
    const DriverContext& context = driver.context();
    if (status != kStatusDone || context.timeoutTicks <= 0 || context.alertMode < 0 ||
        context.alertMode > 4 || context.rtsCtsSwitching > 1 || context.clockSync > 1) {
        std::abort();
    }
    return 0;
}
