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

// Loads the file into the table. Entries whose key is not above the one
// before them are left out (a cut insertion leaves a copy of a moved entry,
// and the first copy is the one written before it moved); the file is then
// rewritten to the table so that its slots match the table's indices again.
int OpenLastHoro(VpiRequest& request);
// Writes table entries from `index` through to the file: one entry, or every
// entry up to the end when `shifted` says an insertion moved them. 0 written
// and flushed, 1 failure (logged with the file and the reason).
int WriteFileLastHoro(VpiRequest& request, std::uint16_t index, std::uint8_t shifted);

// --- The decisions of a write, from plain values ---

// What the file holds around a change at a table index: whether the slot
// before it holds the key of the table's entry before it (true at index 0),
// and whether the slot at the index holds the key of the entry at the index,
// or of the entry after it.
struct SlotKeys {
    bool previous = false;
    bool entry = false;
    bool next = false;
};
enum class EntryWrite : std::uint8_t {
    InPlace,   // the entry alone, over the same key
    FromIndex, // one slot more at the end, the entries from the index moved back
    Whole,     // the file lags the table: every slot, from the back
};
// How a change at table `index` reaches a file holding `held` whole entries,
// the table holding `count` after the change.
EntryWrite PlanEntryWrite(std::size_t held, std::size_t count, std::size_t index, bool shifted,
                          SlotKeys keys);

// The slots of a load: entries kept in file order while their keys ascend.
struct KeptEntries {
    std::size_t count = 0;      // entries kept, moved to the front
    std::size_t firstMoved = 0; // the first kept entry that is not at its own slot
};
KeptEntries KeepAscendingKeys(std::uint8_t* entries, std::size_t count);

} // namespace kovra
