#include "stored_events.h"

#include <sqlite3.h>

StoredEventCounts CountStoredEvents(const std::string& path) {
    StoredEventCounts counts;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(db, "SELECT gate, COALESCE(plc_time, -1), raw FROM events", -1, &query,
                           nullptr);
        while (query != nullptr && sqlite3_step(query) == SQLITE_ROW) {
            ++counts[{reinterpret_cast<const char*>(sqlite3_column_text(query, 0)),
                      sqlite3_column_int64(query, 1), sqlite3_column_int64(query, 2)}];
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return counts;
}
