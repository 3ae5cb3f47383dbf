#include "driver/routes.h"

#include "contract/gate_records.h"
#include "gates/routes.h"
#include "journal/acquisition.h"
#include "journal/clock_sync.h"
#include "lastevent/last_query.h"

namespace kovra {
namespace {

constexpr Route kRoutes[] = {
    {kMemoryJournal, ReadHoroData},
    {kMemoryClock, SyncClocks},
    {kMemoryLastQuery, SampleLastQuery},
};

} // namespace

void InstallDriverRoutes() {
    InstallRoutes(kRoutes);
}

} // namespace kovra
