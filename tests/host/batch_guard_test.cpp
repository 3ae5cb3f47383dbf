#include "history/batch_guard.h"
#include "support/world.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>

using namespace kovra;
using namespace kovra_host;

namespace {

StoredValue Event(const std::string& gate, std::uint32_t raw, std::int64_t time) {
    StoredValue stored;
    stored.gate = gate;
    stored.value = raw;
    stored.raw = raw;
    stored.plcTime = time;
    return stored;
}

void Execute(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

} // namespace

// A store that takes the batch but refuses its values: the values must not
// count as stored anywhere, so the next start collects them again, once.
TEST(BatchGuard, AStoreThatFailsOnlyOnTheInsertsLeavesTheBatchToBeRewoundAndCollectedOnce) {
    TempCurrentDirectory dir;
    const std::string history = (dir.path() / "history.db").string();
    const std::string positions = (dir.path() / "KOVRA01H.DAT").string();
    dir.writeFile("KOVRA01H.DAT", "before");
    Console console(stderr);
    const std::vector<StoredValue> events = {Event("0530010", 7, 100), Event("0530010", 7, 100)};
    {
        auto store = HistoryStore::Open(history, true);
        Execute(history, "CREATE TRIGGER refuse BEFORE INSERT ON events "
                         "BEGIN SELECT RAISE(ABORT, 'disk full'); END;");
        BatchGuard guard(*store, positions, 1, "/dev/ttyS0");
        const auto batch = guard.begin("collect", "05I0000", true);
        dir.writeFile("KOVRA01H.DAT", "after"); // the driver moved its positions
        bool halted = false;
        const auto error = guard.finish(batch, 0, events, {}, std::nullopt, [&] { halted = true; });
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(error->find("disk full"), std::string::npos) << *error;
        EXPECT_TRUE(halted);
        EXPECT_EQ(dir.readFile("KOVRA01H.DAT"), "before");
        EXPECT_TRUE(store->values({}).empty());
        EXPECT_EQ(store->interrupted(positions).size(), 1u) << "the batch was marked finished";
    }
    Execute(history, "DROP TRIGGER refuse;");
    auto store = HistoryStore::Open(history, true);
    BatchGuard guard(*store, positions, 1, "/dev/ttyS0");
    dir.writeFile("KOVRA01H.DAT", "after"); // whatever the file holds, the batch's bytes win
    guard.rewindInterrupted(console);
    EXPECT_EQ(dir.readFile("KOVRA01H.DAT"), "before");
    EXPECT_TRUE(store->interrupted(positions).empty());
    const auto batch = guard.begin("collect", "05I0000", true);
    EXPECT_FALSE(guard.finish(batch, 0, events, {}, std::nullopt, [] { FAIL(); }));
    EXPECT_EQ(store->values({}).size(), events.size());
}
