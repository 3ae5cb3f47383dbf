#include "gates/gate_records.h"
#include "gates/routes.h"
#include "journal/acquisition.h"
#include "journal/clock_sync.h"
#include "lastevent/last_query.h"

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
