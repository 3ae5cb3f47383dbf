#include "last_event_world.h"

#include <algorithm>
#include <random>

using namespace kovra;

namespace {

int CompareInts(const void* key, const void* element) {
    const int a = *static_cast<const int*>(key);
    const int b = *static_cast<const int*>(element);
    return a < b ? -1 : (a > b ? 1 : 0);
}

TEST(SearchSorted, FindsTheKeyOrWhereItBelongsInArraysOfEverySize) {
    std::mt19937 random(1234);
    for (int n = 0; n <= 40; ++n) {
        std::vector<int> values;
        std::uniform_int_distribution<int> step(1, 5);
        int next = 10;
        for (int i = 0; i < n; ++i) {
            values.push_back(next);
            next += step(random);
        }
        for (int key = 0; key <= next + 2; ++key) {
            const auto expected =
                std::lower_bound(values.begin(), values.end(), key) - values.begin();
            EXPECT_EQ(SearchSorted(&key, values.data(), values.size(), sizeof(int), CompareInts),
                      expected)
                << "n " << n << " key " << key;
        }
    }
}

TEST(CompareLastHoroKey, OrdersByStationThenByUnsignedFileNumber) {
    const Bytes station1File0500 = Entry(1, 0x0500, 0);
    const Bytes station2File1 = Entry(2, 1, 0);
    EXPECT_EQ(CompareLastHoroKey(station1File0500.data(), station2File1.data()), -1);
    EXPECT_EQ(CompareLastHoroKey(station2File1.data(), station1File0500.data()), 1);

    const Bytes highFile = Entry(0xF0, 0x8001, 0);
    const Bytes lowFile = Entry(0xF0, 0x0002, 0);
    EXPECT_EQ(CompareLastHoroKey(highFile.data(), lowFile.data()), 1);
    EXPECT_EQ(CompareLastHoroKey(lowFile.data(), highFile.data()), -1);

    const Bytes sameKeyOtherRecord = Entry(0xF0, 0x8001, 77, Bytes(10, 0xFF));
    EXPECT_EQ(CompareLastHoroKey(highFile.data(), sameKeyOtherRecord.data()), 0);
}

class LastEventTable : public LastEventTest {
  protected:
    LastEventTable() { EXPECT_EQ(OpenLastHoro(instance.request()), 0); }

    Bytes tableBytes() {
        return Bytes(instance.context().lastEvents,
                     instance.context().lastEvents + instance.context().lastEventCount * 15);
    }

    Instance instance;
};

TEST_F(LastEventTable, AnUnknownFileHasNoPositionAndTheBufferStaysUntouched) {
    std::uint8_t copy[10];
    std::fill(std::begin(copy), std::end(copy), 0xCC);

    EXPECT_EQ(GetLastHoro(instance.context(), 1, 1, copy), 0);
    ASSERT_EQ(PutLastHoro(instance.request(), 1, 2, 3, Bytes(10, 1).data()), 0);
    EXPECT_EQ(GetLastHoro(instance.context(), 1, 1, copy), 0);
    EXPECT_EQ(GetLastHoro(instance.context(), 2, 2, copy), 0);

    EXPECT_EQ(Bytes(copy, copy + 10), Bytes(10, 0xCC));
}

TEST_F(LastEventTable, TheJournalKeepsTenBytesOfItsRecordAndAMemoFileEight) {
    const Bytes record{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B};
    ASSERT_EQ(PutLastHoro(instance.request(), 5, 1, 40, record.data()), 0);
    ASSERT_EQ(PutLastHoro(instance.request(), 5, 0x0123, 41, record.data()), 0);

    std::uint8_t copy[10];
    EXPECT_EQ(GetLastHoro(instance.context(), 5, 1, copy), 40);
    EXPECT_EQ(Bytes(copy, copy + 10), Bytes(record.begin(), record.begin() + 10));
    EXPECT_EQ(GetLastHoro(instance.context(), 5, 0x0123, copy), 41);
    EXPECT_EQ(Bytes(copy, copy + 8), Bytes(record.begin(), record.begin() + 8));
}

TEST_F(LastEventTable, AnEmptiedFileIsNotedWithoutARecord) {
    ASSERT_EQ(PutLastHoro(instance.request(), 5, 1, 40, Bytes(10, 9).data()), 0);

    EXPECT_EQ(PutLastHoro(instance.request(), 5, 1, 0, nullptr), 0);

    std::uint8_t copy[10] = {};
    EXPECT_EQ(GetLastHoro(instance.context(), 5, 1, copy), 0);
    EXPECT_EQ(instance.context().lastEventCount, 1);
    const Bytes file = fileBytes();
    EXPECT_EQ(Bytes(file.begin() + 1536, file.end()), Entry(5, 1, 0));
}

TEST_F(LastEventTable, KeysStoredInAnyOrderStaySortedPastTheFirst128) {
    std::vector<std::pair<std::uint8_t, std::uint16_t>> keys;
    for (int station = 0; station < 20; ++station) {
        for (std::uint16_t file :
             {std::uint16_t{1}, std::uint16_t{0x0100}, std::uint16_t{0x0AF0}, std::uint16_t{0x8000},
              std::uint16_t{0x0002}, std::uint16_t{0xFFFF}, std::uint16_t{0x0300}}) {
            keys.emplace_back(static_cast<std::uint8_t>(station * 13), file);
        }
    }
    ASSERT_GT(keys.size(), 128u);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(99));

    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(PutLastHoro(instance.request(), keys[i].first, keys[i].second,
                              static_cast<std::uint16_t>(i + 1), nullptr),
                  0);
        EXPECT_EQ(instance.context().lastEventCapacity, i < 128 ? 128 : 256);
    }

    std::vector<std::size_t> order(keys.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    Bytes expected(1536, 0);
    for (const std::size_t i : order) {
        const Bytes entry = Entry(keys[i].first, keys[i].second, static_cast<std::uint16_t>(i + 1));
        expected.insert(expected.end(), entry.begin(), entry.end());
    }
    EXPECT_EQ(fileBytes(), expected);
    EXPECT_EQ(tableBytes(), Bytes(expected.begin() + 1536, expected.end()));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::uint8_t copy[10];
        EXPECT_EQ(GetLastHoro(instance.context(), keys[i].first, keys[i].second, copy), i + 1);
    }
    EXPECT_EQ(messages().size(), 1u); // the creation message only: no write warned
}

} // namespace
