// The host's history in SQLite: every value that the driver forces into the
// host's log and every alert it raises, grouped in batches, one per driver
// request that may put values (a journal collection, a read of an H gate, ...).
//
// Exactly once, without a content key. The driver passes each journal record
// once: it remembers per PLC file the last record passed on, in its
// last-event file KOVRAnnH.DAT, and advances that position as it goes. The
// store cannot tell a repeated record by its content: a bit that goes 0, 1, 0,
// 1 within one 2-second time stamp gives two identical (gate, time, raw)
// records, both real. So nothing is unique but (batch, sequence), and the
// store keeps itself in step with the driver's positions instead:
//  1. before a request that may move the positions (a gate of memory type I),
//     a batch row holding the bytes of KOVRAnnH.DAT is committed, unfinished;
//  2. after the request, one transaction stores the batch's values and
//     alerts and marks the batch finished;
//  3. a batch found unfinished later, whose process is gone, was interrupted
//     between the two: its values were never stored, while the driver may have
//     moved its positions past them. KOVRAnnH.DAT is put back as it was before
//     that batch (before the driver is started), so the next collection passes
//     the same records again, and the batch is marked rewound.
// A crash therefore costs neither a record nor a duplicate, unless the PLC
// overwrites the records in its ring before the next collection, which the
// driver then reports as lost records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovra_host {

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct StoredValue {
    std::string gate;
    double value = 0.0;
    std::uint32_t raw = 0;
    std::optional<std::int64_t> plcTime; // nothing when the driver gave no time (0)
    std::int64_t collectedAt = 0;        // seconds since 1970 UTC
    bool undefined = false;              // a journal record whose address has no gate
};

struct StoredAlert {
    std::string name;
    std::string text;
    std::uint32_t flags = 0;
    std::int64_t raisedAt = 0;
};

using Bytes = std::vector<std::uint8_t>;

struct BatchStart {
    std::string command;
    std::string gate;
    int driverNumber = 1;
    std::string port;
    // The last-event file this batch guards (absolute path), empty for none,
    // and its bytes before the request (nothing when it did not exist).
    std::string positionsFile;
    std::optional<Bytes> positionsBefore;
};

struct InterruptedBatch {
    std::int64_t id = 0;
    std::int64_t startedAt = 0;
    int pid = 0;
    std::string command;
    std::string gate;
    std::optional<Bytes> positionsBefore;
};

// Forwarding to a central store: the batches settled after a mark.
struct ForwardBatch {
    std::int64_t id = 0;
    std::string command;
    std::string gate;
    int driverNumber = 1;
    std::string port; // empty when the history did not keep it (schema 1 and 2)
    std::int64_t startedAt = 0;
    std::int64_t finishedAt = 0;
    int status = 0;
    std::vector<StoredValue> values; // in sequence, the first being 1
    std::vector<StoredAlert> alerts; // likewise
};

struct ForwardChunk {
    std::vector<ForwardBatch> batches; // the finished ones, to send
    // The new mark: every batch up to it is finished or will never be.
    std::int64_t through = 0;
};

struct HistoryQuery {
    std::vector<std::string> gates;   // empty: every gate
    std::optional<std::int64_t> from; // inclusive, seconds since 1970 UTC
    std::optional<std::int64_t> to;   // inclusive
    std::optional<int> limit;
    std::optional<int> last; // only the newest N, still oldest first
};

struct HistoryRow {
    std::int64_t batch = 0;
    StoredValue value;
};

struct AlertRow {
    std::int64_t batch = 0;
    StoredAlert alert;
};

class HistoryStore {
  public:
    // The layout this program writes, in PRAGMA user_version.
    static constexpr int kSchemaVersion = 3;

    // Opens the database; for writing, creates it and its tables and proves
    // that it takes a write. Throws StoreError naming the file and the reason.
    static std::unique_ptr<HistoryStore> Open(const std::string& path, bool forWriting);
    virtual ~HistoryStore() = default;

    const std::string& path() const { return path_; }

    // Step 1: commits an unfinished batch that guards the positions file.
    virtual std::int64_t beginGuardedBatch(const BatchStart& start) = 0;
    // Step 2: the batch's values and alerts and its end, in one transaction.
    virtual void finishBatch(std::int64_t batch, int status, const std::vector<StoredValue>& values,
                             const std::vector<StoredAlert>& alerts) = 0;
    // A request that guards nothing: batch, values and alerts in one transaction.
    virtual std::int64_t recordBatch(const BatchStart& start, int status,
                                     const std::vector<StoredValue>& values,
                                     const std::vector<StoredAlert>& alerts) = 0;

    // Unfinished, not yet rewound batches guarding the file, oldest first.
    virtual std::vector<InterruptedBatch> interrupted(const std::string& positionsFile) = 0;
    virtual void markRewound(const std::vector<std::int64_t>& batches) = 0;

    // Values by PLC time (or, for values without one, collection time), then
    // by arrival; alerts by time.
    virtual std::vector<HistoryRow> values(const HistoryQuery& query) = 0;
    virtual std::vector<AlertRow> alerts(const HistoryQuery& query) = 0;

    // Forwarding. The source id names this database in a central store:
    // drawn at random on first use, then kept.
    virtual std::string sourceId() = 0;
    // The last batch that a central store has confirmed, and a new one once
    // it has committed more.
    virtual std::int64_t forwardedThrough() = 0;
    virtual void recordForwarded(std::int64_t through) = 0;
    // The batches after `after`, oldest first, up to one still being
    // collected: whole batches while they hold fewer than `maxRecords` values
    // and alerts together.
    virtual ForwardChunk forwardChunk(std::int64_t after, std::size_t maxRecords) = 0;
    // The schema version the database had when it was opened.
    virtual int openedVersion() const = 0;

  protected:
    explicit HistoryStore(std::string path) : path_(std::move(path)) {}

  private:
    std::string path_;
};

// True when this build keeps a history (it is built with SQLite).
bool HistoryAvailable();

} // namespace kovra_host
