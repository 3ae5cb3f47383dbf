#include "history/history_store.h"
#include "schema_one.h"
#include "support/world.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

using namespace kovra;

using namespace kovra_host;

namespace {

StoredValue Event(const std::string& gate, double value, std::uint32_t raw, std::int64_t time) {
    StoredValue stored;
    stored.gate = gate;
    stored.value = value;
    stored.raw = raw;
    stored.plcTime = time;
    stored.collectedAt = 2000000000;
    return stored;
}

BatchStart Collection(const std::string& positionsFile, std::optional<Bytes> before) {
    BatchStart start;
    start.command = "collect";
    start.gate = "05I0000";
    start.driverNumber = 1;
    start.positionsFile = positionsFile;
    start.positionsBefore = std::move(before);
    return start;
}

class HistoryStoreTest : public ::testing::Test {
  protected:
    TempCurrentDirectory dir;
    std::string path = (dir.path() / "history.db").string();
};

} // namespace

TEST_F(HistoryStoreTest, ACollectionKeepsItsValuesAndAlertsInOrderOfPlcTime) {
    {
        auto store = HistoryStore::Open(path, true);
        const auto batch = store->beginGuardedBatch(Collection("/x/KOVRA01H.DAT", Bytes(1536, 0)));
        store->finishBatch(
            batch, 0, {Event("0530010", 12.5, 125, 1700000100), Event("0510003", 1, 1, 1700000050)},
            {StoredAlert{"KOVRA",
                         "KOVRA01 05:'Journal de Bord' overflow probably "
                         "records lost",
                         0x40000000, 1700000200}});
    }
    // A second process sees what the first committed.
    auto store = HistoryStore::Open(path, false);
    const auto rows = store->values({});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].value.gate, "0510003");
    EXPECT_EQ(rows[0].value.plcTime, 1700000050);
    EXPECT_EQ(rows[1].value.gate, "0530010");
    EXPECT_DOUBLE_EQ(rows[1].value.value, 12.5);
    EXPECT_EQ(rows[1].value.raw, 125u);
    const auto alerts = store->alerts({});
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].alert.flags, 0x40000000u);
    EXPECT_NE(alerts[0].alert.text.find("overflow"), std::string::npos);
    EXPECT_TRUE(store->interrupted("/x/KOVRA01H.DAT").empty());
}

TEST_F(HistoryStoreTest, IdenticalEventsOfTwoCollectionsAreBothKept) {
    // A bit that goes 1, 0, 1 within one 2-second stamp gives two identical
    // records; nothing in the store may merge them.
    auto store = HistoryStore::Open(path, true);
    const auto same = Event("0510003", 1, 1, 1700000000);
    store->finishBatch(store->beginGuardedBatch(Collection("/x/KOVRA01H.DAT", std::nullopt)), 0,
                       {same, same}, {});
    store->finishBatch(store->beginGuardedBatch(Collection("/x/KOVRA01H.DAT", std::nullopt)), 0,
                       {same}, {});
    EXPECT_EQ(store->values({}).size(), 3u);
}

TEST_F(HistoryStoreTest, QueriesSelectByGateAndInclusiveTimeRange) {
    auto store = HistoryStore::Open(path, true);
    StoredValue noTime = Event("05HA", 125, 125, 0);
    noTime.plcTime.reset();
    noTime.collectedAt = 1700000150;
    store->recordBatch(Collection("", std::nullopt), 0,
                       {Event("0530010", 1, 1, 1700000000), Event("0530010", 2, 2, 1700000100),
                        Event("0530012", 3, 3, 1700000100), Event("0530010", 4, 4, 1700000200),
                        noTime},
                       {});
    HistoryQuery query;
    query.gates = {"0530010"};
    query.from = 1700000100;
    query.to = 1700000200;
    const auto rows = store->values(query);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].value.raw, 2u);
    EXPECT_EQ(rows[1].value.raw, 4u);

    // A value that came without a PLC time is placed by its collection time.
    HistoryQuery window;
    window.from = 1700000101;
    window.to = 1700000199;
    const auto inWindow = store->values(window);
    ASSERT_EQ(inWindow.size(), 1u);
    EXPECT_EQ(inWindow[0].value.gate, "05HA");
    EXPECT_FALSE(inWindow[0].value.plcTime.has_value());

    HistoryQuery limited;
    limited.limit = 2;
    EXPECT_EQ(store->values(limited).size(), 2u);
}

TEST_F(HistoryStoreTest, AnUnfinishedCollectionIsReportedWithThePositionsItStartedFrom) {
    Bytes before(1536 + 15, 0);
    before[1536] = 0x05;
    {
        auto store = HistoryStore::Open(path, true);
        store->finishBatch(store->beginGuardedBatch(Collection("/x/KOVRA01H.DAT", Bytes(1536, 1))),
                           0, {Event("0530010", 1, 1, 1700000000)}, {});
        store->beginGuardedBatch(Collection("/x/KOVRA01H.DAT", before));
        store->beginGuardedBatch(Collection("/x/KOVRA02H.DAT", std::nullopt));
        // The process ends here without finishing either.
    }
    auto store = HistoryStore::Open(path, true);
    const auto first = store->interrupted("/x/KOVRA01H.DAT");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].positionsBefore, before);
    EXPECT_EQ(first[0].command, "collect");
    const auto second = store->interrupted("/x/KOVRA02H.DAT");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_FALSE(second[0].positionsBefore.has_value()); // the file did not exist yet

    store->markRewound({first[0].id});
    EXPECT_TRUE(store->interrupted("/x/KOVRA01H.DAT").empty());
    EXPECT_EQ(store->values({}).size(), 1u); // nothing of the unfinished one
}

TEST_F(HistoryStoreTest, AFileThatIsNoDatabaseIsRefusedWithItsName) {
    dir.writeFile("history.db", std::string(4096, 'x'));
    try {
        HistoryStore::Open(path, true);
        FAIL() << "a garbage file was accepted";
    } catch (const StoreError& error) {
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("not a database"), std::string::npos)
            << error.what();
    }
}

TEST_F(HistoryStoreTest, APlaceThatCannotHoldADatabaseIsRefusedOnOpening) {
    std::filesystem::create_directory(path);
    EXPECT_THROW(HistoryStore::Open(path, true), StoreError);
    EXPECT_THROW(HistoryStore::Open((dir.path() / "missing" / "h.db").string(), true), StoreError);
    // Reading never creates one.
    EXPECT_THROW(HistoryStore::Open((dir.path() / "none.db").string(), false), StoreError);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "none.db"));
}

TEST_F(HistoryStoreTest, ATransactionThatFailsStoresNoneOfItsValues) {
    auto store = HistoryStore::Open(path, true);
    const auto batch = store->beginGuardedBatch(Collection("/x/KOVRA01H.DAT", std::nullopt));
    // A batch that does not exist breaks the foreign key of the values.
    EXPECT_THROW(store->finishBatch(batch + 100, 0, {Event("0530010", 1, 1, 1)}, {}), StoreError);
    EXPECT_TRUE(store->values({}).empty());
    ASSERT_EQ(store->interrupted("/x/KOVRA01H.DAT").size(), 1u);
}

TEST_F(HistoryStoreTest, AnOlderHistoryIsReadAsItIsAndMigratedWhenWritten) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, kSchemaOneHistory, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    {
        auto reader = HistoryStore::Open(path, false);
        EXPECT_EQ(reader->openedVersion(), 1);
        const auto rows = reader->values({});
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_FALSE(rows[0].value.undefined);
    }
    auto writer = HistoryStore::Open(path, true);
    EXPECT_EQ(writer->openedVersion(), 1);
    const auto chunk = writer->forwardChunk(0, 100);
    ASSERT_EQ(chunk.batches.size(), 1u);
    EXPECT_EQ(chunk.batches[0].port, "");
    EXPECT_EQ(chunk.batches[0].values.size(), 2u);
    EXPECT_EQ(chunk.batches[0].alerts.size(), 1u);
    EXPECT_EQ(HistoryStore::Open(path, false)->openedVersion(), 3);
}

TEST_F(HistoryStoreTest, AForwardChunkHoldsWholeSettledBatchesUpToOneStillBeingCollected) {
    auto store = HistoryStore::Open(path, true);
    const std::string source = store->sourceId();
    EXPECT_EQ(source.size(), 36u);
    BatchStart read = Collection("", std::nullopt);
    read.port = "/dev/ttyUSB0";
    const auto pair = [](std::int64_t time) {
        return std::vector<StoredValue>{Event("0530010", 1, 1, time), Event("0530010", 1, 1, time)};
    };
    store->recordBatch(read, 0, pair(1), {});                                  // 1
    const auto running = store->beginGuardedBatch(Collection("/x/A.DAT", {})); // 2
    store->recordBatch(read, 0, pair(3), {});                                  // 3
    const auto died = store->beginGuardedBatch(Collection("/x/B.DAT", {}));    // 4
    const auto rewound = store->beginGuardedBatch(Collection("/x/C.DAT", {})); // 5
    store->recordBatch(read, 0, pair(6), {});                                  // 6
    store->markRewound({rewound});
    {
        // Batch 4's process is gone: it is never finished.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const std::string sql =
            "UPDATE batches SET pid = 2147483000 WHERE id = " + std::to_string(died);
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    const auto ids = [](const ForwardChunk& chunk) {
        std::vector<std::int64_t> found;
        for (const auto& batch : chunk.batches) {
            found.push_back(batch.id);
        }
        return found;
    };
    struct Case {
        std::int64_t after;
        std::size_t maxRecords;
        std::vector<std::int64_t> batches;
        std::int64_t through;
    };
    // Batch 2 is still being collected by this very process.
    for (const Case& c : {Case{0, 100, {1}, 1}, Case{1, 100, {}, 1}}) {
        const auto chunk = store->forwardChunk(c.after, c.maxRecords);
        EXPECT_EQ(ids(chunk), c.batches) << "after " << c.after;
        EXPECT_EQ(chunk.through, c.through) << "after " << c.after;
    }
    store->finishBatch(running, 0, pair(2), {});
    for (const Case& c : {Case{1, 100, {2, 3, 6}, 6}, Case{1, 3, {2, 3}, 3}, Case{1, 1, {2}, 2},
                          Case{3, 1, {6}, 6}, Case{6, 100, {}, 6}}) {
        const auto chunk = store->forwardChunk(c.after, c.maxRecords);
        EXPECT_EQ(ids(chunk), c.batches) << "after " << c.after << ", " << c.maxRecords;
        EXPECT_EQ(chunk.through, c.through) << "after " << c.after << ", " << c.maxRecords;
    }
    const auto chunk = store->forwardChunk(2, 100);
    EXPECT_EQ(chunk.batches[0].port, "/dev/ttyUSB0");
    EXPECT_EQ(chunk.batches[0].values.size(), 2u);

    store->recordForwarded(3);
    store.reset();
    store = HistoryStore::Open(path, true);
    EXPECT_EQ(store->sourceId(), source);
    EXPECT_EQ(store->forwardedThrough(), 3);
}
