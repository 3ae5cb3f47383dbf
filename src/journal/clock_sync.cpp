#include "journal/clock_sync.h"

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/host_library.h"
#include "contract/records.h"
#include "gates/write.h"

namespace kovra {

namespace {

// Registers 1 to 4 hold the PLC clock; one block write sets them together so
// that the PLC never runs on half a new setting.
constexpr std::int32_t kClockRegister = 1;
constexpr std::int32_t kClockRegisterCount = 4;

} // namespace

void FillClockFrame(const std::tm& local, std::uint8_t* frame) {
    frame[0] = static_cast<std::uint8_t>(local.tm_mday);
    frame[1] = static_cast<std::uint8_t>(local.tm_mon + 1);
    frame[2] = static_cast<std::uint8_t>(local.tm_year); // years since 1900, low 8 bits
    frame[3] = static_cast<std::uint8_t>(local.tm_hour);
    frame[4] = static_cast<std::uint8_t>(local.tm_min);
    frame[5] = static_cast<std::uint8_t>(local.tm_sec);
    frame[6] = 0;
    frame[7] = static_cast<std::uint8_t>(local.tm_wday);
}

int SyncClocks(VpiRequest& request) {
    const DriverContext& context = ContextOf(request);
    const std::int32_t station = DescriptorOf(request).gate.station;
    if (context.stationIsP200X[static_cast<std::uint8_t>(station)] != 1) {
        err(kSeverityTrace, "KOVRA> SyncClocks() only supported on P200-X");
        return kStatusRefused;
    }

    // Read once: the retries of the write resend this same setting.
    const std::time_t now = std::time(nullptr);
    const std::tm local = *std::localtime(&now);
    std::uint8_t frame[kClockFrameSize];
    FillClockFrame(local, frame);

    GateDescriptor descriptor =
        RegisterDescriptor(station, kClockRegister, kClockRegisterCount, frame);
    int result;
    {
        LentDescriptor lent(request, descriptor);
        result = BlockWrite(request);
    }
    if (result != kStatusDone) {
        err(kSeverityError, "KOVRA> SyncClocks() plc %02x failed, rc %u",
            static_cast<unsigned>(station), static_cast<unsigned>(result));
    }
    return result;
}

} // namespace kovra
