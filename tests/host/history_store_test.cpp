#include "history/history_store.h"
#include "support/world.h"

#include <gtest/gtest.h>

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
