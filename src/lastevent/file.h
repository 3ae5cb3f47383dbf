#pragma once

#include "contract/driver_files.h"

#include <cstddef>
#include <cstdint>

namespace kovra {

struct DriverContext;
struct VpiRequest;

// Logs a failed access to the request's last-event file: what failed, the
// file and the system's reason for `error` (an errno value).
void ReportFileFailure(const VpiRequest& request, const char* what, int error);

// Writes `size` bytes at `offset` of the request's last-event file and flushes
// them. 0 written, 1 failure, logged as "<caller> <seekName>", "<caller>
// fwrite()" or "<caller> fflush()" with the file and the reason.
int WriteAt(VpiRequest& request, const char* caller, const char* seekName, long offset,
            const void* bytes, std::size_t size);

int OpenLastHoro(VpiRequest& request);
// Writes table entries from `index` through to the file: one entry, or every
// entry up to the end when `shifted` says an insertion moved them. 0 written
// and flushed, 1 failure (logged with the file and the reason).
int WriteFileLastHoro(VpiRequest& request, std::uint16_t index, std::uint8_t shifted);

} // namespace kovra
