// The history's exactly-once protocol (see history_store.h) in one place:
// before a request that may move the driver's positions, an unfinished batch
// holding the last-event file's bytes; after it, the values stored and the
// batch finished in one transaction, unless the driver said it could not save
// its positions or the store failed: then the file goes back as it was and the
// driver gets no further request; and at start, a batch left unfinished by a
// process that is gone rewound. The driver session only brackets its call.
#pragma once

#include "history/history_store.h"
#include "output/console.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kovra_host {

class BatchGuard {
  public:
    // Each batch is kept with the driver number and the port it came from.
    BatchGuard(HistoryStore& store, std::string positionsFile, int driverNumber, std::string port);

    // Puts the last-event file back as it was before the oldest batch that a
    // process now gone left unfinished, and says so on the console. Throws
    // Failure while another kovra-host may still be collecting into the file.
    void rewindInterrupted(Console& console);

    struct Batch {
        BatchStart start;
        bool guarded = false; // it may move the positions
        std::int64_t id = 0;
    };
    // Step 1: `guarded` for a request that may move the positions.
    Batch begin(const std::string& command, const std::string& gate, bool guarded);

    // Step 2: what the request put. `unsaved` is the driver's word that it
    // could not save its positions; `halt` stops the driver before its
    // positions go back. Returns why the values are not stored, if they are not.
    std::optional<std::string> finish(const Batch& batch, int status,
                                      const std::vector<StoredValue>& values,
                                      const std::vector<StoredAlert>& alerts,
                                      const std::optional<std::string>& unsaved,
                                      const std::function<void()>& halt);

  private:
    HistoryStore& store_;
    std::string positionsFile_; // absolute
    int driverNumber_;
    std::string port_;
};

} // namespace kovra_host
