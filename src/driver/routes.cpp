#include "gates/routes.h"
#include "contract/gate_records.h"
#include "journal/acquisition.h"
#include "journal/clock_sync.h"
#include "lastevent/last_query.h"

namespace kovra {

RoutedOperation RouteFor(int memoryType) {
    switch (memoryType) {
    case kMemoryJournal:
        return ReadHoroData;
    case kMemoryClock:
        return SyncClocks;
    case kMemoryLastQuery:
        return SampleLastQuery;
    default:
        return nullptr;
    }
}

} // namespace kovra
