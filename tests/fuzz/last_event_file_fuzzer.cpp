// The last-event file as a cold start finds it. Once loaded, positions put
// into the table are read back, and a restart loads exactly the table and the
// stamps the first instance held.
#include "contract/context.h"
#include "fuzz_driver.h"
#include "lastevent/table.h"
#include "scripted_port.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace kovra;

namespace {

bool Sorted(const DriverContext& context) {
    for (std::size_t i = 1; i < context.lastEventCount; ++i) {
        if (CompareLastHoroKey(context.lastEvents + (i - 1) * kLastEventEntrySize,
                               context.lastEvents + i * kLastEventEntrySize) >= 0) {
            return false;
        }
    }
    return true;
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

// The input: the file's bytes; its last bytes also choose the positions put.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::EnterScratchDirectory();
    fuzz::WriteFile("KOVRA01H.DAT", data, size);
    fuzz::SetResponder(nullptr);

    std::vector<std::uint8_t> table;
    std::vector<std::uint8_t> stamps;
    {
        fuzz::FuzzDriver driver;
        if (driver.coldStart() != kStatusDone) {
            return 0;
        }
        DriverContext& context = driver.context();
        // The request that puts names the driver's file (KOVRA01H.DAT).
        VpiRequest request{&context, 0, 1, 0, nullptr};
        // Whatever the file held, the load leaves keys in ascending order.
        Check(Sorted(context));
        // Up to four positions, from the input's tail: station, file, record.
        for (std::size_t at = size; at >= 5 && size - at < 20; at -= 5) {
            const std::uint8_t* put = data + at - 5;
            const std::uint8_t station = put[0];
            const std::uint16_t file = static_cast<std::uint16_t>(put[1] << 8 | put[2]);
            const std::uint16_t record = static_cast<std::uint16_t>(put[3] << 8 | put[4]);
            std::uint8_t copy[kRecordCopySize];
            for (std::size_t i = 0; i < kRecordCopySize; ++i) {
                copy[i] = put[i % 5];
            }
            if (PutLastHoro(request, station, file, record, copy) != 0) {
                return 0;
            }
            std::uint8_t back[kRecordCopySize] = {};
            Check(GetLastHoro(context, station, file, back) == record);
            Check(record == 0 || std::memcmp(back, copy, IdentifyingLength(file)) == 0);
        }
        table.assign(context.lastEvents,
                     context.lastEvents + context.lastEventCount * kLastEventEntrySize);
        stamps.assign(context.lastQueryStamps, context.lastQueryStamps + kLastQueryAreaSize);
    }
    fuzz::FuzzDriver restarted;
    Check(restarted.coldStart() == kStatusDone);
    const DriverContext& context = restarted.context();
    Check(context.lastEventCount * kLastEventEntrySize == table.size());
    Check(std::equal(table.begin(), table.end(), context.lastEvents));
    Check(std::equal(stamps.begin(), stamps.end(), context.lastQueryStamps));
    return 0;
}
