// Start, restart, stop and re-plumbing of one driver instance.
#include "driver/lifecycle.h"

#include "contract/host_library.h"
#include "contract/records.h"
#include "driver/init_file.h"
#include "driver/stopping.h"
#include "lastevent/file.h"
#include "lastevent/table.h"
#include "link/serial_port.h"

#include <cstdlib>
#include <cstring>

namespace kovra {

namespace {

constexpr std::int32_t kDefaultTimeoutTicks = 100; // 1000 ms
constexpr std::uint16_t kDefaultInterFrameGap = 10;
constexpr std::int32_t kDefaultAlertMode = 2;
// The longest reply timeout every port can wait: its milliseconds must fit the
// signed 32-bit wait of the system calls, beyond which they wrap or wait for
// ever.
constexpr std::int32_t kMaxTimeoutTicks = 0x7FFFFFFF / 10;

void CopyPortName(char (&target)[kPortNameSize], const char* source) {
    const std::size_t length = strnlen(source, kPortNameSize - 1);
    std::memcpy(target, source, length);
    target[length] = '\0';
}

// Closes the open port, if any: 0, or 2 when the system refuses (then nothing
// changes).
int CloseOpenPort(DriverContext& context) {
    if (context.portHandle == nullptr) {
        return kStatusDone;
    }
    if (ClosePortHandle(context.portHandle) != kSerialOk) {
        return kStatusUnavailable;
    }
    context.portHandle = nullptr;
    context.portEnabled = 0;
    return kStatusDone;
}

// Allocates the last-event table and loads the last-event file: 0, 1 the file
// failed (the table stays), 2 no memory for the table.
int SetUpLastEvents(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    // malloc, not new: the last-event table grows with realloc.
    auto* table =
        static_cast<std::uint8_t*>(std::malloc(kInitialLastEventCapacity * kLastEventEntrySize));
    if (table == nullptr) {
        err(kSeverityFatal, "KOVRA> ColdStart() FATAL ERROR allocating last horo buffer");
        return kStatusUnavailable;
    }
    context.lastEvents = table;
    context.lastEventCapacity = kInitialLastEventCapacity;
    context.lastEventCount = 0;

    if (OpenLastHoro(request) != 0) {
        err(kSeverityError, "KOVRA> ColdStart() unrecoverable error opening");
        err(kSeverityError, "KOVRA>    last horo file, delete KOVRAxxH.DAT");
        err(kSeverityError, "KOVRA>    and restart Halvo");
        return kStatusRefused;
    }
    return kStatusDone;
}

// Takes a newly opened port into use. An instance started without a port has
// no last-event table yet: it is set up now, as a cold start with a port would
// have, so that positions are kept from the first collection on. Only an
// instance without a table gets one: reloading the file over a table in use
// would drop positions that never reached the file.
int UsePort(VpiRequest& request, PortHandle handle) {
    DriverContext& context = ContextOf(request);
    context.portHandle = handle;
    context.portEnabled = 1;
    return context.lastEvents == nullptr ? SetUpLastEvents(request) : kStatusDone;
}

} // namespace

PortHandle OpenConfiguredPort(DriverContext& context) {
    PortHandle handle = nullptr;
    if (OpenPort(context.portName, context.portSettings, context.lineControl, &handle) !=
        kSerialOk) {
        return nullptr;
    }
    return handle;
}

int ColdStart(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    const auto& params = *static_cast<const PortParams*>(request.operationData);

    err(kSeverityTrace, "KOVRA> version compiled on %s at time %s", __DATE__, __TIME__);

    context.rtsCtsSwitching = 0;
    context.clockSync = 0;
    context.interFrameGap = kDefaultInterFrameGap;
    context.alertMode = kDefaultAlertMode;
    std::memset(context.stationIsP200X, 0, sizeof context.stationIsP200X);
    context.writeReplyPending = 0;
    context.portEnabled = params.portEnabled;
    context.timeoutTicks = kDefaultTimeoutTicks;
    context.portHandle = nullptr;
    // Without a port the name and settings are not taken from the host, but a
    // later ReopenPort opens whatever they hold: no device rather than garbage.
    context.portName[0] = '\0';
    context.portSettings = CommSettings{};
    context.lineControl = kLineControlDtrRtsOn;
    // The host hands over raw memory: no garbage pointer may pass for a table
    // or a stream when the port stays disabled or fails to open.
    context.lastEvents = nullptr;
    context.lastEventFile = nullptr;
    context.lastEventCount = 0;
    context.lastEventCapacity = 0;
    // H gates serve the stamps before any file is loaded, if ever.
    std::memset(context.lastQueryStamps, 0, sizeof context.lastQueryStamps);

    ReadIntFile(request);

    if (context.portEnabled == 0) {
        return kStatusDone;
    }

    CopyPortName(context.portName, params.portName);
    context.portSettings = params.settings;
    context.lineControl = kLineControlDtrRtsOn;

    PortHandle handle = OpenConfiguredPort(context);
    if (handle == nullptr) {
        err(kSeverityError, "KOVRA> ColdStart() error opening COM port");
        return kStatusUnavailable;
    }
    context.portHandle = handle;
    (void)SetReplyTimeout(handle, static_cast<unsigned>(context.timeoutTicks));

    return SetUpLastEvents(request);
}

int WarmStart(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    if (context.portEnabled != 0 && context.portHandle != nullptr) {
        (void)FlushInput(context.portHandle);
    }
    err(kSeverityTrace, "KOVRA> WarmStart()");
    return kStatusDone;
}

int EndVpi(VpiRequest& request) {
    // First, so that no request of any instance runs once the host is leaving.
    stopping = 1;
    const int status = ClosePort(request);
    if (status != kStatusDone) {
        err(kSeverityError, "KOVRA> EndVpi() error closing COM port");
    }
    return status;
}

int ClosePort(VpiRequest& request) {
    return CloseOpenPort(ContextOf(request));
}

int ReopenPort(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    // The device is opened for exclusive use: an open handle has to go before
    // the same device can be opened again with the stored settings.
    if (CloseOpenPort(context) != kStatusDone) {
        return kStatusUnavailable;
    }
    PortHandle handle = OpenConfiguredPort(context);
    if (handle == nullptr) {
        return kStatusUnavailable;
    }
    return UsePort(request, handle);
}

int ChangeVpiParams(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    const auto& change = *static_cast<const PortChange*>(request.operationData);

    if (change.timeoutTicks < -1 || change.timeoutTicks > kMaxTimeoutTicks) {
        err(kSeverityError,
            "KOVRA> ChangeVpiParams() timeoutTicks %d illegal value, timeout unchanged",
            static_cast<int>(change.timeoutTicks));
    } else if (change.timeoutTicks != 0 && change.timeoutTicks != -1) {
        context.timeoutTicks = change.timeoutTicks;
    }
    // Closed whether or not the name changes: the same device cannot be opened
    // twice, and the new settings and timeout only take effect on a new open.
    (void)CloseOpenPort(context);
    CopyPortName(context.portName, change.portName);
    if (static_cast<std::int16_t>(change.settings.baudRate) != 0) {
        context.portSettings = change.settings;
    }

    PortHandle handle = OpenConfiguredPort(context);
    if (handle == nullptr) {
        err(kSeverityError, "KOVRA> ChangeVpiParams() open new COM port failed");
        return kStatusUnavailable;
    }
    (void)SetReplyTimeout(handle, static_cast<unsigned>(context.timeoutTicks));
    return UsePort(request, handle);
}

} // namespace kovra
