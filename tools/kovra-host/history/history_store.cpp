#include "history/history_store.h"

#include "platform/platform.h"

#include <sqlite3.h>

#include <ctime>
#include <functional>
#include <random>

namespace kovra_host {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS batches (
    id               INTEGER PRIMARY KEY,
    command          TEXT    NOT NULL,
    gate             TEXT    NOT NULL,
    driver_number    INTEGER NOT NULL,
    pid              INTEGER NOT NULL,
    started_at       INTEGER NOT NULL,
    finished_at      INTEGER,
    status           INTEGER,
    positions_file   TEXT,
    positions_before BLOB,
    rewound_at       INTEGER,
    port             TEXT
);
CREATE TABLE IF NOT EXISTS events (
    id           INTEGER PRIMARY KEY,
    batch_id     INTEGER NOT NULL REFERENCES batches(id),
    seq          INTEGER NOT NULL,
    gate         TEXT    NOT NULL,
    value        REAL    NOT NULL,
    raw          INTEGER NOT NULL,
    plc_time     INTEGER,
    collected_at INTEGER NOT NULL,
    undefined    INTEGER NOT NULL DEFAULT 0,
    UNIQUE (batch_id, seq)
);
CREATE INDEX IF NOT EXISTS events_by_gate_and_time ON events(gate, plc_time);
CREATE INDEX IF NOT EXISTS events_by_time ON events(plc_time);
CREATE TABLE IF NOT EXISTS alerts (
    id        INTEGER PRIMARY KEY,
    batch_id  INTEGER NOT NULL REFERENCES batches(id),
    seq       INTEGER NOT NULL,
    name      TEXT    NOT NULL,
    text      TEXT    NOT NULL,
    flags     INTEGER NOT NULL,
    raised_at INTEGER NOT NULL,
    UNIQUE (batch_id, seq)
);
CREATE TABLE IF NOT EXISTS forwarding (
    source_id         TEXT    NOT NULL,
    forwarded_through INTEGER NOT NULL DEFAULT 0
);
)sql";

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// 128 random bits in the form of a UUID (version 4), which a central store
// keeps as one.
std::string RandomSourceId() {
    std::random_device random;
    std::uint8_t bytes[16];
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    std::string id;
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            id += '-';
        }
        id += kDigits[bytes[i] >> 4];
        id += kDigits[bytes[i] & 0x0F];
    }
    return id;
}

class Statement {
  public:
    Statement(sqlite3* db, const char* sql, const std::string& path) : db_(db), path_(path) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            fail();
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& bind(int index, double value) {
        check(sqlite3_bind_double(statement_, index, value));
        return *this;
    }
    Statement& bind(int index, const std::string& value) {
        check(sqlite3_bind_text(statement_, index, value.c_str(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, const std::optional<Bytes>& value) {
        if (!value) {
            check(sqlite3_bind_null(statement_, index));
        } else {
            check(sqlite3_bind_blob(statement_, index, value->data(),
                                    static_cast<int>(value->size()), SQLITE_TRANSIENT));
        }
        return *this;
    }
    Statement& bind(int index, const std::optional<std::int64_t>& value) {
        check(value ? sqlite3_bind_int64(statement_, index, *value)
                    : sqlite3_bind_null(statement_, index));
        return *this;
    }
    Statement& bindNull(int index) {
        check(sqlite3_bind_null(statement_, index));
        return *this;
    }

    // True while a row is there.
    bool step() {
        const int rc = sqlite3_step(statement_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            fail();
        }
        return false;
    }
    void run() {
        step();
        reset();
    }
    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double real(int column) const { return sqlite3_column_double(statement_, column); }
    bool null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::string text(int column) const {
        const auto* text = sqlite3_column_text(statement_, column);
        return text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }
    std::optional<Bytes> blob(int column) const {
        if (null(column)) {
            return std::nullopt;
        }
        const auto* data =
            static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
        const int size = sqlite3_column_bytes(statement_, column);
        return Bytes(data, data + size);
    }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK) {
            fail();
        }
    }
    [[noreturn]] void fail() {
        throw StoreError("history database " + path_ + ": " + sqlite3_errmsg(db_));
    }

    sqlite3* db_;
    const std::string& path_;
    sqlite3_stmt* statement_ = nullptr;
};

// An event's columns from `first` on: gate, value, raw, plc_time,
// collected_at, undefined.
StoredValue ReadValue(const Statement& row, int first) {
    StoredValue value;
    value.gate = row.text(first);
    value.value = row.real(first + 1);
    value.raw = static_cast<std::uint32_t>(row.integer(first + 2));
    if (!row.null(first + 3)) {
        value.plcTime = row.integer(first + 3);
    }
    value.collectedAt = row.integer(first + 4);
    value.undefined = row.integer(first + 5) != 0;
    return value;
}

// An alert's columns from `first` on: name, text, flags, raised_at.
StoredAlert ReadAlert(const Statement& row, int first) {
    return StoredAlert{row.text(first), row.text(first + 1),
                       static_cast<std::uint32_t>(row.integer(first + 2)), row.integer(first + 3)};
}

class SqliteStore final : public HistoryStore {
  public:
    SqliteStore(const std::string& path, bool forWriting) : HistoryStore(path) {
        const int flags =
            forWriting ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
        const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw StoreError("history database " + path + ": " + reason);
        }
        // Long enough for a reader's query, short enough that a database held
        // by another program is reported while the user still waits.
        sqlite3_busy_timeout(db_, 2000);
        sqlite3_extended_result_codes(db_, 1);
        try {
            execute("PRAGMA foreign_keys = ON");
            int version = 0;
            {
                Statement query(db_, "PRAGMA user_version", this->path());
                if (query.step()) {
                    version = static_cast<int>(query.integer(0));
                }
            }
            if (version > kSchemaVersion) {
                throw StoreError("history database " + path + " has schema version " +
                                 std::to_string(version) + ", newer than this program's " +
                                 std::to_string(kSchemaVersion));
            }
            if (version == 0 && !forWriting) {
                throw StoreError("history database " + path + " holds no history yet");
            }
            // A reader leaves an older database as it is.
            undefinedColumn_ = forWriting || version >= 2 ? "undefined" : "0";
            if (forWriting) {
                // A database that cannot take a write must say so before the
                // driver has moved anything.
                if (sqlite3_db_readonly(db_, "main") == 1) {
                    throw StoreError("history database " + path + " is read-only");
                }
                Transaction probe(*this);
            }
            openedVersion_ = version;
            // A reader cannot migrate, and needs not: it reads no column that
            // a later version added without falling back.
            if (forWriting && version < kSchemaVersion) {
                migrate(version);
            }
        } catch (...) {
            sqlite3_close(db_);
            db_ = nullptr;
            throw;
        }
    }
    ~SqliteStore() override { sqlite3_close(db_); }

    std::int64_t beginGuardedBatch(const BatchStart& start) override {
        Transaction transaction(*this);
        const std::int64_t id = insertBatch(start);
        transaction.commit();
        return id;
    }

    void finishBatch(std::int64_t batch, int status, const std::vector<StoredValue>& values,
                     const std::vector<StoredAlert>& alerts) override {
        Transaction transaction(*this);
        insertRecords(batch, values, alerts);
        markFinished(batch, status);
        transaction.commit();
    }

    std::int64_t recordBatch(const BatchStart& start, int status,
                             const std::vector<StoredValue>& values,
                             const std::vector<StoredAlert>& alerts) override {
        Transaction transaction(*this);
        const std::int64_t id = insertBatch(start);
        insertRecords(id, values, alerts);
        markFinished(id, status);
        transaction.commit();
        return id;
    }

    std::vector<InterruptedBatch> interrupted(const std::string& positionsFile) override {
        Statement query(db_,
                        "SELECT id, started_at, pid, command, gate, positions_before FROM batches "
                        "WHERE positions_file = ? AND finished_at IS NULL AND rewound_at IS NULL "
                        "ORDER BY id",
                        path());
        query.bind(1, positionsFile);
        std::vector<InterruptedBatch> batches;
        while (query.step()) {
            InterruptedBatch batch;
            batch.id = query.integer(0);
            batch.startedAt = query.integer(1);
            batch.pid = static_cast<int>(query.integer(2));
            batch.command = query.text(3);
            batch.gate = query.text(4);
            batch.positionsBefore = query.blob(5);
            batches.push_back(std::move(batch));
        }
        return batches;
    }

    void markRewound(const std::vector<std::int64_t>& batches) override {
        Transaction transaction(*this);
        Statement mark(db_, "UPDATE batches SET rewound_at = ? WHERE id = ?", path());
        for (const std::int64_t id : batches) {
            mark.bind(1, Now()).bind(2, id).run();
        }
        transaction.commit();
    }

    std::vector<HistoryRow> values(const HistoryQuery& query) override {
        std::string sql = "SELECT batch_id, gate, value, raw, plc_time, collected_at, " +
                          undefinedColumn_ +
                          " FROM events"
                          " WHERE 1";
        auto rows = select<HistoryRow>(sql, query, "COALESCE(plc_time, collected_at)",
                                       [](Statement& select) {
                                           HistoryRow row;
                                           row.batch = select.integer(0);
                                           row.value = ReadValue(select, 1);
                                           return row;
                                       });
        if (query.last && rows.size() > static_cast<std::size_t>(*query.last)) {
            rows.erase(rows.begin(), rows.end() - *query.last);
        }
        return rows;
    }

    std::vector<AlertRow> alerts(const HistoryQuery& query) override {
        std::string sql = "SELECT batch_id, name, text, flags, raised_at FROM alerts WHERE 1";
        HistoryQuery timeOnly = query;
        timeOnly.gates.clear();
        return select<AlertRow>(sql, timeOnly, "raised_at", [](Statement& select) {
            AlertRow row;
            row.batch = select.integer(0);
            row.alert = ReadAlert(select, 1);
            return row;
        });
    }

    std::string sourceId() override {
        Transaction transaction(*this);
        {
            Statement select(db_, "SELECT source_id FROM forwarding", path());
            if (select.step()) {
                return select.text(0);
            }
        }
        const std::string id = RandomSourceId();
        Statement insert(db_, "INSERT INTO forwarding (source_id) VALUES (?)", path());
        insert.bind(1, id).run();
        transaction.commit();
        return id;
    }

    std::int64_t forwardedThrough() override {
        Statement select(db_, "SELECT forwarded_through FROM forwarding", path());
        return select.step() ? select.integer(0) : 0;
    }

    void recordForwarded(std::int64_t through) override {
        Transaction transaction(*this);
        Statement update(db_, "UPDATE forwarding SET forwarded_through = ?", path());
        update.bind(1, through).run();
        transaction.commit();
    }

    ForwardChunk forwardChunk(std::int64_t after, std::size_t maxRecords) override {
        ForwardChunk chunk;
        chunk.through = after;
        // One read transaction: the batches and their records as of one moment.
        execute("BEGIN");
        struct End {
            sqlite3* db;
            ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
        } end{db_};
        // Columns as ReadForwardBatch takes them.
        Statement batches(db_,
                          "SELECT id, command, gate, driver_number, port, started_at, "
                          "finished_at, status, rewound_at, pid FROM batches WHERE id > ? "
                          "ORDER BY id",
                          path());
        Statement events(db_,
                         "SELECT gate, value, raw, plc_time, collected_at, undefined FROM events "
                         "WHERE batch_id = ? ORDER BY seq",
                         path());
        Statement alerts(db_,
                         "SELECT name, text, flags, raised_at FROM alerts WHERE batch_id = ? "
                         "ORDER BY seq",
                         path());
        batches.bind(1, after);
        std::size_t records = 0;
        while (records < maxRecords && batches.step()) {
            const bool finished = !batches.null(6);
            const bool rewound = !batches.null(8);
            if (!finished && !rewound) {
                // Still being collected, unless its process is gone: then it
                // is rewound by the next collection and never finished.
                const int pid = static_cast<int>(batches.integer(9));
                if (pid == CurrentProcessId() || HostProcessMayBeAlive(pid)) {
                    break;
                }
                chunk.through = batches.integer(0);
                continue;
            }
            chunk.through = batches.integer(0);
            if (rewound) {
                continue;
            }
            ForwardBatch batch = ReadForwardBatch(batches, events, alerts);
            records += batch.values.size() + batch.alerts.size();
            chunk.batches.push_back(std::move(batch));
        }
        return chunk;
    }

    int openedVersion() const override { return openedVersion_; }

  private:
    // From `version` (0 for a new database) to this program's schema.
    void migrate(int version) {
        Transaction transaction(*this);
        if (version == 1) {
            execute("ALTER TABLE events ADD COLUMN undefined INTEGER NOT NULL DEFAULT 0");
        }
        if (version == 1 || version == 2) {
            execute("ALTER TABLE batches ADD COLUMN port TEXT");
        }
        execute(kSchema);
        execute("PRAGMA user_version = " + std::to_string(kSchemaVersion));
        transaction.commit();
    }

    // A settled batch from its row, with its events and alerts in sequence.
    static ForwardBatch ReadForwardBatch(const Statement& row, Statement& events,
                                         Statement& alerts) {
        ForwardBatch batch;
        batch.id = row.integer(0);
        batch.command = row.text(1);
        batch.gate = row.text(2);
        batch.driverNumber = static_cast<int>(row.integer(3));
        batch.port = row.text(4);
        batch.startedAt = row.integer(5);
        batch.finishedAt = row.integer(6);
        batch.status = static_cast<int>(row.integer(7));
        events.bind(1, batch.id);
        while (events.step()) {
            batch.values.push_back(ReadValue(events, 0));
        }
        events.reset();
        alerts.bind(1, batch.id);
        while (alerts.step()) {
            batch.alerts.push_back(ReadAlert(alerts, 0));
        }
        alerts.reset();
        return batch;
    }

    // Rolls back unless committed, so an exception leaves nothing half-written.
    class Transaction {
      public:
        explicit Transaction(SqliteStore& store) : store_(store) {
            store_.execute("BEGIN IMMEDIATE");
        }
        ~Transaction() {
            if (!committed_) {
                sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
            }
        }
        void commit() {
            store_.execute("COMMIT");
            committed_ = true;
        }

      private:
        SqliteStore& store_;
        bool committed_ = false;
    };

    void execute(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw StoreError("history database " + path() + ": " + reason);
        }
    }

    std::int64_t insertBatch(const BatchStart& start) {
        Statement insert(db_,
                         "INSERT INTO batches (command, gate, driver_number, pid, started_at, "
                         "positions_file, positions_before, port) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                         path());
        insert.bind(1, start.command)
            .bind(2, start.gate)
            .bind(3, static_cast<std::int64_t>(start.driverNumber))
            .bind(4, static_cast<std::int64_t>(CurrentProcessId()))
            .bind(5, Now());
        if (start.positionsFile.empty()) {
            insert.bindNull(6).bindNull(7);
        } else {
            insert.bind(6, start.positionsFile).bind(7, start.positionsBefore);
        }
        if (start.port.empty()) {
            insert.bindNull(8);
        } else {
            insert.bind(8, start.port);
        }
        insert.run();
        return sqlite3_last_insert_rowid(db_);
    }

    void markFinished(std::int64_t batch, int status) {
        Statement finish(db_, "UPDATE batches SET finished_at = ?, status = ? WHERE id = ?",
                         path());
        finish.bind(1, Now()).bind(2, static_cast<std::int64_t>(status)).bind(3, batch).run();
    }

    // The rows of a query narrowed by the filter, read one by one.
    template <typename Row>
    std::vector<Row> select(std::string sql, const HistoryQuery& query, const char* time,
                            const std::function<Row(Statement&)>& read) {
        appendSelection(sql, query, time);
        Statement statement(db_, sql.c_str(), path());
        bindFilter(statement, query);
        std::vector<Row> rows;
        while (statement.step()) {
            rows.push_back(read(statement));
        }
        return rows;
    }

    void insertRecords(std::int64_t batch, const std::vector<StoredValue>& values,
                       const std::vector<StoredAlert>& alerts) {
        Statement event(db_,
                        "INSERT INTO events (batch_id, seq, gate, value, raw, plc_time, "
                        "collected_at, undefined) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                        path());
        std::int64_t seq = 0;
        for (const auto& value : values) {
            event.bind(1, batch)
                .bind(2, ++seq)
                .bind(3, value.gate)
                .bind(4, value.value)
                .bind(5, static_cast<std::int64_t>(value.raw))
                .bind(6, value.plcTime)
                .bind(7, value.collectedAt)
                .bind(8, static_cast<std::int64_t>(value.undefined ? 1 : 0))
                .run();
        }
        Statement alert(db_,
                        "INSERT INTO alerts (batch_id, seq, name, text, flags, raised_at) "
                        "VALUES (?, ?, ?, ?, ?, ?)",
                        path());
        seq = 0;
        for (const auto& raised : alerts) {
            alert.bind(1, batch)
                .bind(2, ++seq)
                .bind(3, raised.name)
                .bind(4, raised.text)
                .bind(5, static_cast<std::int64_t>(raised.flags))
                .bind(6, raised.raisedAt)
                .run();
        }
    }

    // The query's filters, then its order (by time, then arrival) and limit.
    static void appendSelection(std::string& sql, const HistoryQuery& query,
                                const std::string& time) {
        if (!query.gates.empty()) {
            sql += " AND gate IN (";
            for (std::size_t i = 0; i < query.gates.size(); ++i) {
                sql += i == 0 ? "?" : ", ?";
            }
            sql += ")";
        }
        if (query.from) {
            sql += " AND " + time + " >= ?";
        }
        if (query.to) {
            sql += " AND " + time + " <= ?";
        }
        sql += " ORDER BY " + time + ", id";
        if (query.limit) {
            sql += " LIMIT " + std::to_string(*query.limit);
        }
    }

    static void bindFilter(Statement& statement, const HistoryQuery& query) {
        int index = 0;
        for (const auto& gate : query.gates) {
            statement.bind(++index, gate);
        }
        if (query.from) {
            statement.bind(++index, *query.from);
        }
        if (query.to) {
            statement.bind(++index, *query.to);
        }
    }

    sqlite3* db_ = nullptr;
    std::string undefinedColumn_;
    int openedVersion_ = 0;
};

} // namespace

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, bool forWriting) {
    return std::make_unique<SqliteStore>(path, forWriting);
}

bool HistoryAvailable() {
    return true;
}

} // namespace kovra_host
