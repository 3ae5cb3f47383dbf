// The plant's central store: one PostgreSQL database into which the history
// of every line is forwarded. Events and alerts are keyed by (source, batch,
// seq), where the source is a history database's own random id: a chunk sent
// twice is absorbed by the keys, while two identical events of one batch stay
// two rows, as in the history.
#pragma once

#include "history/history_store.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace kovra_host {

class CentralError : public std::runtime_error {
  public:
    // `lasting`: trying again does not help (a refused login, a schema of
    // another version); otherwise the server may come back.
    CentralError(const std::string& reason, bool lasting)
        : std::runtime_error(reason), lasting_(lasting) {}
    bool lasting() const { return lasting_; }

  private:
    bool lasting_;
};

struct CentralSource {
    std::string id;
    std::string hostName;
    std::string historyFile;
};

// What a chunk added: the rows the server did not hold yet.
struct CentralCounts {
    std::size_t batches = 0;
    std::size_t events = 0;
    std::size_t alerts = 0;
};

class CentralStore {
  public:
    // The version of the tables in schema kovra that this program writes.
    static constexpr int kSchemaVersion = 1;

    // What is wrong with a connection string given on the command line: it
    // does not parse, or it holds a password (which belongs in the
    // environment or ~/.pgpass); nothing when it will do.
    static std::optional<std::string> CheckTarget(const std::string& target);
    // Connects, creates the schema when the database has none and refuses one
    // of another version. Throws CentralError.
    static std::unique_ptr<CentralStore> Connect(const std::string& target);
    virtual ~CentralStore() = default;

    // Enters the source or updates its names; returns the last batch the
    // server holds of it (0 for none).
    virtual std::int64_t registerSource(const CentralSource& source) = 0;
    // One transaction: the chunk's batches, events and alerts, and the
    // source's mark moved to chunk.through. Throws CentralError; then
    // nothing of the chunk was committed.
    virtual CentralCounts send(const std::string& sourceId, const ForwardChunk& chunk) = 0;
};

} // namespace kovra_host
