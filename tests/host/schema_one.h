// A history as the first kovra-host with one left it (schema version 1: no
// mark of undefined gates, no port, no forwarding): one finished collection
// of two identical events and an alert.
#pragma once

constexpr const char* kSchemaOneHistory = R"sql(
    CREATE TABLE batches (id INTEGER PRIMARY KEY, command TEXT NOT NULL, gate TEXT NOT NULL,
        driver_number INTEGER NOT NULL, pid INTEGER NOT NULL, started_at INTEGER NOT NULL,
        finished_at INTEGER, status INTEGER, positions_file TEXT, positions_before BLOB,
        rewound_at INTEGER);
    CREATE TABLE events (id INTEGER PRIMARY KEY, batch_id INTEGER NOT NULL, seq INTEGER NOT NULL,
        gate TEXT NOT NULL, value REAL NOT NULL, raw INTEGER NOT NULL, plc_time INTEGER,
        collected_at INTEGER NOT NULL, UNIQUE (batch_id, seq));
    CREATE TABLE alerts (id INTEGER PRIMARY KEY, batch_id INTEGER NOT NULL, seq INTEGER NOT NULL,
        name TEXT NOT NULL, text TEXT NOT NULL, flags INTEGER NOT NULL,
        raised_at INTEGER NOT NULL, UNIQUE (batch_id, seq));
    INSERT INTO batches VALUES (1, 'collect', '01I0000', 1, 1, 1700000000, 1700000003, 0,
        '/x/KOVRA01H.DAT', NULL, NULL);
    INSERT INTO events VALUES (1, 1, 1, '0130020', 4, 4, 1700000000, 1700000002);
    INSERT INTO events VALUES (2, 1, 2, '0130020', 4, 4, 1700000000, 1700000002);
    INSERT INTO alerts VALUES (1, 1, 1, 'KOVRA', 'records lost', 1073741824, 1700000003);
    PRAGMA user_version = 1;
)sql";
