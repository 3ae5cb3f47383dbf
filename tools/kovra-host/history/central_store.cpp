#include "history/central_store.h"

#include <libpq-fe.h>

#include <cmath>
#include <cstdio>
#include <initializer_list>

namespace kovra_host {
namespace {

// Every table lives in schema kovra, beside whatever else the database holds.
// Times are timestamptz: the history's seconds since 1970 UTC. A batch and
// its events and alerts arrive in one transaction, so the events need no
// foreign key to their batch, which would check every row and cost a third
// of the forward's speed.
constexpr const char* kSchema = R"sql(
CREATE SCHEMA IF NOT EXISTS kovra;
CREATE TABLE kovra.schema_version (
    version integer NOT NULL
);
CREATE TABLE kovra.sources (
    source            uuid        PRIMARY KEY,
    host_name         text        NOT NULL,
    history_file      text        NOT NULL,
    first_forwarded   timestamptz NOT NULL DEFAULT now(),
    last_forwarded    timestamptz,
    forwarded_through bigint      NOT NULL DEFAULT 0
);
CREATE TABLE kovra.batches (
    source        uuid        NOT NULL REFERENCES kovra.sources,
    batch         bigint      NOT NULL,
    command       text        NOT NULL,
    gate          text        NOT NULL,
    driver_number integer     NOT NULL,
    port          text,
    started_at    timestamptz NOT NULL,
    finished_at   timestamptz NOT NULL,
    status        integer     NOT NULL,
    PRIMARY KEY (source, batch)
);
CREATE TABLE kovra.events (
    source       uuid             NOT NULL,
    batch        bigint           NOT NULL,
    seq          integer          NOT NULL,
    gate         text             NOT NULL,
    value        double precision NOT NULL,
    raw          bigint           NOT NULL,
    plc_time     timestamptz,
    collected_at timestamptz      NOT NULL,
    undefined    boolean          NOT NULL,
    PRIMARY KEY (source, batch, seq)
);
CREATE INDEX events_by_plc_time ON kovra.events (plc_time);
CREATE INDEX events_by_gate ON kovra.events (gate, plc_time);
CREATE TABLE kovra.alerts (
    source    uuid        NOT NULL,
    batch     bigint      NOT NULL,
    seq       integer     NOT NULL,
    name      text        NOT NULL,
    text      text        NOT NULL,
    flags     bigint      NOT NULL,
    raised_at timestamptz NOT NULL,
    PRIMARY KEY (source, batch, seq)
);
CREATE INDEX alerts_by_time ON kovra.alerts (raised_at);
)sql";

// A chunk arrives by COPY in these, then goes on with ON CONFLICT DO NOTHING.
constexpr const char* kIncoming = R"sql(
CREATE TEMPORARY TABLE incoming_batches (
    batch bigint, command text, gate text, driver_number integer, port text,
    started_at bigint, finished_at bigint, status integer
) ON COMMIT DELETE ROWS;
CREATE TEMPORARY TABLE incoming_events (
    batch bigint, seq integer, gate text, value double precision, raw bigint,
    plc_time bigint, collected_at bigint, undefined boolean
) ON COMMIT DELETE ROWS;
CREATE TEMPORARY TABLE incoming_alerts (
    batch bigint, seq integer, name text, text text, flags bigint, raised_at bigint
) ON COMMIT DELETE ROWS;
)sql";

// Serialises the creation of the schema by two first forwards at once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(4729385102)";

// libpq's messages run over several lines; the first one says it.
std::string FirstLine(const char* message) {
    std::string text = message != nullptr ? message : "";
    if (const auto end = text.find('\n'); end != std::string::npos) {
        text.resize(end);
    }
    return text.empty() ? "no reason given" : text;
}

// A field of PostgreSQL's COPY text format.
void AppendField(std::string& row, const std::string& text) {
    for (const char c : text) {
        switch (c) {
        case '\\':
            row += "\\\\";
            break;
        case '\t':
            row += "\\t";
            break;
        case '\n':
            row += "\\n";
            break;
        case '\r':
            row += "\\r";
            break;
        default:
            row += c;
        }
    }
}

std::string Number(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "Infinity" : "-Infinity";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

class Row {
  public:
    Row& add(const std::string& text) {
        separate();
        AppendField(row_, text);
        return *this;
    }
    Row& add(std::int64_t number) {
        separate();
        row_ += std::to_string(number);
        return *this;
    }
    Row& add(const std::optional<std::int64_t>& number) {
        return number ? add(*number) : addNull();
    }
    Row& addNumber(double value) {
        separate();
        row_ += Number(value);
        return *this;
    }
    Row& addNull() {
        separate();
        row_ += "\\N";
        return *this;
    }
    Row& addBool(bool value) {
        separate();
        row_ += value ? "t" : "f";
        return *this;
    }
    void end(std::string& into) {
        into += row_;
        into += '\n';
        row_.clear();
        first_ = true;
    }

  private:
    void separate() {
        if (!first_) {
            row_ += '\t';
        }
        first_ = false;
    }
    std::string row_;
    bool first_ = true;
};

// A chunk in COPY's text format, one text a table.
struct CopyText {
    std::string batches;
    std::string events;
    std::string alerts;
};

CopyText CopyRows(const ForwardChunk& chunk) {
    CopyText text;
    Row row;
    for (const auto& batch : chunk.batches) {
        row.add(batch.id)
            .add(batch.command)
            .add(batch.gate)
            .add(static_cast<std::int64_t>(batch.driverNumber));
        (batch.port.empty() ? row.addNull() : row.add(batch.port))
            .add(batch.startedAt)
            .add(batch.finishedAt)
            .add(static_cast<std::int64_t>(batch.status))
            .end(text.batches);
        std::int64_t seq = 0;
        for (const auto& value : batch.values) {
            row.add(batch.id)
                .add(++seq)
                .add(value.gate)
                .addNumber(value.value)
                .add(static_cast<std::int64_t>(value.raw))
                .add(value.plcTime)
                .add(value.collectedAt)
                .addBool(value.undefined)
                .end(text.events);
        }
        seq = 0;
        for (const auto& alert : batch.alerts) {
            row.add(batch.id)
                .add(++seq)
                .add(alert.name)
                .add(alert.text)
                .add(static_cast<std::int64_t>(alert.flags))
                .add(alert.raisedAt)
                .end(text.alerts);
        }
    }
    return text;
}

// What a chunk's transaction does, for its error messages.
std::string Describe(const ForwardChunk& chunk) {
    if (chunk.batches.empty()) {
        return "moving the mark to batch " + std::to_string(chunk.through);
    }
    const std::string first = std::to_string(chunk.batches.front().id);
    return chunk.batches.size() == 1
               ? "sending batch " + first
               : "sending batches " + first + " to " + std::to_string(chunk.batches.back().id);
}

class Result {
  public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return result_; }
    ExecStatusType status() const { return PQresultStatus(result_); }
    bool null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
    std::string text(int row, int column) const { return PQgetvalue(result_, row, column); }
    std::size_t affected() const {
        const char* count = PQcmdTuples(result_);
        return count != nullptr && *count != '\0' ? std::stoull(count) : 0;
    }

  private:
    PGresult* result_;
};

class PostgresStore final : public CentralStore {
  public:
    explicit PostgresStore(const std::string& target) : target_(target) {
        // The target's own settings come after these defaults and win.
        const char* const keywords[] = {"connect_timeout", "fallback_application_name", "dbname",
                                        nullptr};
        const char* const values[] = {"10", "kovra-host", target.c_str(), nullptr};
        connection_ = PQconnectdbParams(keywords, values, 1);
        if (PQstatus(connection_) != CONNECTION_OK) {
            const std::string reason = FirstLine(PQerrorMessage(connection_));
            const bool refused =
                PQconnectionUsedPassword(connection_) || PQconnectionNeedsPassword(connection_);
            PQfinish(connection_);
            connection_ = nullptr;
            if (refused) {
                throw CentralError("PostgreSQL at " + target + " refused the login: " + reason,
                                   true);
            }
            throw CentralError("PostgreSQL at " + target + " cannot be reached: " + reason, false);
        }
        try {
            prepareSchema();
            execute(kIncoming, "preparing the transfer");
        } catch (...) {
            PQfinish(connection_);
            throw;
        }
    }
    ~PostgresStore() override { PQfinish(connection_); }

    std::int64_t registerSource(const CentralSource& source) override {
        const char* const values[] = {source.id.c_str(), source.hostName.c_str(),
                                      source.historyFile.c_str()};
        Result result(PQexecParams(connection_,
                                   "INSERT INTO kovra.sources (source, host_name, history_file) "
                                   "VALUES ($1, $2, $3) ON CONFLICT (source) DO UPDATE SET "
                                   "host_name = EXCLUDED.host_name, "
                                   "history_file = EXCLUDED.history_file "
                                   "RETURNING forwarded_through",
                                   3, nullptr, values, nullptr, nullptr, 0));
        check(result, PGRES_TUPLES_OK, "registering this history");
        return std::stoll(result.text(0, 0));
    }

    CentralCounts send(const std::string& sourceId, const ForwardChunk& chunk) override {
        const CopyText rows = CopyRows(chunk);
        const std::string what = Describe(chunk);
        CentralCounts counts;
        try {
            execute("BEGIN", what);
            copy("incoming_batches", rows.batches, what);
            copy("incoming_events", rows.events, what);
            copy("incoming_alerts", rows.alerts, what);
            const char* const source = sourceId.c_str();
            counts.batches = run("INSERT INTO kovra.batches SELECT $1, batch, command, gate, "
                                 "driver_number, port, to_timestamp(started_at), "
                                 "to_timestamp(finished_at), status FROM incoming_batches "
                                 "ON CONFLICT DO NOTHING",
                                 {source}, what);
            counts.events = run("INSERT INTO kovra.events SELECT $1, batch, seq, gate, value, "
                                "raw, to_timestamp(plc_time), to_timestamp(collected_at), "
                                "undefined FROM incoming_events ON CONFLICT DO NOTHING",
                                {source}, what);
            counts.alerts = run("INSERT INTO kovra.alerts SELECT $1, batch, seq, name, text, "
                                "flags, to_timestamp(raised_at) FROM incoming_alerts "
                                "ON CONFLICT DO NOTHING",
                                {source}, what);
            const std::string through = std::to_string(chunk.through);
            // Never backwards: another forward of the same history may have
            // gone further meanwhile.
            run("UPDATE kovra.sources SET forwarded_through = GREATEST(forwarded_through, "
                "$2::bigint), last_forwarded = now() WHERE source = $1",
                {source, through.c_str()}, what);
            execute("COMMIT", what);
        } catch (const CentralError&) {
            if (PQstatus(connection_) == CONNECTION_OK) {
                PQclear(PQexec(connection_, "ROLLBACK"));
            }
            throw;
        }
        return counts;
    }

  private:
    void prepareSchema() {
        execute("BEGIN", "checking the schema");
        Result lock(PQexec(connection_, kSchemaLock));
        check(lock, PGRES_TUPLES_OK, "checking the schema");
        Result found(PQexec(connection_, "SELECT to_regclass('kovra.schema_version') IS NOT NULL"));
        check(found, PGRES_TUPLES_OK, "checking the schema");
        if (found.text(0, 0) == "t") {
            Result version(PQexec(connection_, "SELECT max(version) FROM kovra.schema_version"));
            check(version, PGRES_TUPLES_OK, "checking the schema");
            const std::string held = version.null(0, 0) ? "none" : version.text(0, 0);
            if (held != std::to_string(kSchemaVersion)) {
                throw CentralError("database " + std::string(PQdb(connection_)) +
                                       " holds kovra's tables in schema version " + held +
                                       ", while this kovra-host writes version " +
                                       std::to_string(kSchemaVersion),
                                   true);
            }
        } else {
            execute(kSchema, "creating the schema");
            execute("INSERT INTO kovra.schema_version VALUES (" + std::to_string(kSchemaVersion) +
                        ")",
                    "creating the schema");
        }
        execute("COMMIT", "checking the schema");
    }

    void execute(const std::string& sql, const std::string& what) {
        Result result(PQexec(connection_, sql.c_str()));
        check(result, PGRES_COMMAND_OK, what);
    }

    // A statement with parameters; returns the count of rows it touched.
    std::size_t run(const char* sql, std::initializer_list<const char*> values,
                    const std::string& what) {
        Result result(PQexecParams(connection_, sql, static_cast<int>(values.size()), nullptr,
                                   values.begin(), nullptr, nullptr, 0));
        check(result, PGRES_COMMAND_OK, what);
        return result.affected();
    }

    void copy(const char* table, const std::string& rows, const std::string& what) {
        {
            Result start(
                PQexec(connection_, ("COPY " + std::string(table) + " FROM STDIN").c_str()));
            check(start, PGRES_COPY_IN, what);
        }
        if ((!rows.empty() &&
             PQputCopyData(connection_, rows.data(), static_cast<int>(rows.size())) != 1) ||
            PQputCopyEnd(connection_, nullptr) != 1) {
            fail(what);
        }
        Result done(PQgetResult(connection_));
        check(done, PGRES_COMMAND_OK, what);
        // The result that ends the command.
        while (PGresult* more = PQgetResult(connection_)) {
            PQclear(more);
        }
    }

    void check(const Result& result, ExecStatusType expected, const std::string& what) {
        if (result.status() != expected) {
            fail(what, result.get());
        }
    }

    [[noreturn]] void fail(const std::string& what, PGresult* result = nullptr) {
        const std::string reason =
            FirstLine(result != nullptr && *PQresultErrorMessage(result) != '\0'
                          ? PQresultErrorMessage(result)
                          : PQerrorMessage(connection_));
        if (PQstatus(connection_) != CONNECTION_OK) {
            throw CentralError("the connection to PostgreSQL at " + target_ + " was lost while " +
                                   what + ": " + reason,
                               false);
        }
        throw CentralError("PostgreSQL at " + target_ + ": error while " + what + ": " + reason,
                           false);
    }

    std::string target_;
    PGconn* connection_ = nullptr;
};

} // namespace

std::optional<std::string> CentralStore::CheckTarget(const std::string& target) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(target.c_str(), &error);
    if (options == nullptr) {
        const std::string reason = FirstLine(error);
        PQfreemem(error);
        return "'" + target + "' is no PostgreSQL connection string or URI: " + reason;
    }
    bool password = false;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (std::string(option->keyword) == "password" && option->val != nullptr) {
            password = true;
        }
    }
    PQconninfoFree(options);
    if (password) {
        return "the connection string holds a password, which others can read on a command line; "
               "give it in PGPASSWORD or ~/.pgpass";
    }
    return std::nullopt;
}

std::unique_ptr<CentralStore> CentralStore::Connect(const std::string& target) {
    return std::make_unique<PostgresStore>(target);
}

} // namespace kovra_host
