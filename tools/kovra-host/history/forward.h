// Forwarding the history to the central store, each batch exactly once.
//
// The history's own rule holds on the way: nothing is unique but (batch,
// seq), so the central store keys every event and alert by (source, batch,
// seq), the source being the history database's random id. Only batches that
// are settled are sent: finished ones, and past those that never will be
// (rewound, or left by a process that is gone). One central transaction
// stores a chunk of batches and moves the source's mark there; only after it
// has committed is the same mark recorded in the history. A crash between the
// two commits sends that chunk again, and the keys absorb it.
#pragma once

#include "history/central_store.h"
#include "history/history_store.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kovra_host {

struct ForwardReport {
    std::size_t batches = 0; // settled batches sent, whether new to the server or not
    std::size_t records = 0; // their events and alerts
    CentralCounts added;     // what the server did not hold yet
    std::int64_t through = 0;
    // The batch from which the history is sent again because the server
    // holds less of it than the history recorded (a database restored or new).
    std::optional<std::int64_t> resentFrom;
};

class Forwarder {
  public:
    Forwarder(HistoryStore& history, std::string target);
    ~Forwarder();

    // Connects when not connected, then sends every settled batch not sent
    // yet, chunk by chunk. Throws CentralError, after which the connection
    // is dropped and the next call connects again; the chunks committed
    // before stay sent.
    ForwardReport sendPending();
    const std::string& target() const { return target_; }

  private:
    HistoryStore& history_;
    std::string target_;
    std::string source_;
    std::unique_ptr<CentralStore> central_;
    std::int64_t mark_ = 0;
};

// The summary line of one forward.
std::string DescribeForward(const ForwardReport& report, const std::string& target);

} // namespace kovra_host
