#include "line/reply_times.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace kovra_host;

namespace {

ReplyTimes Of(const std::vector<unsigned>& times) {
    ReplyTimes kept;
    for (const unsigned ms : times) {
        kept.add(ms);
    }
    return kept;
}

} // namespace

// Min, median and max as a sorted list gives them; of an even count the
// median is the lower middle time.
TEST(ReplyTimes, KeepExactMinMedianAndMax) {
    struct Case {
        std::vector<unsigned> times;
        unsigned min, median, max;
    };
    const Case cases[] = {
        {{7}, 7, 7, 7},
        {{16, 0}, 0, 0, 16},
        {{12, 30, 20}, 12, 20, 30},
        {{5, 5, 5, 9}, 5, 5, 9},
        {{9, 1, 1, 9}, 1, 1, 9},
        {{3, 8, 8, 8, 8, 2}, 2, 8, 8},
        {{1000, 0, 999, 1, 500, 500}, 0, 500, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.times));
        const ReplyTimes kept = Of(c.times);
        EXPECT_EQ(kept.count(), c.times.size());
        EXPECT_EQ(kept.min(), c.min);
        EXPECT_EQ(kept.median(), c.median);
        EXPECT_EQ(kept.max(), c.max);
    }
}

// Times kept in parts and merged give what one keeper of them all gives, and
// what sorting them all gives.
TEST(ReplyTimes, MergedPartsAgreeWithSortingTheWhole) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 200; ++round) {
        std::vector<unsigned> times(1 + random() % 60);
        for (unsigned& ms : times) {
            ms = random() % 40;
        }
        const std::size_t cut = random() % times.size();
        ReplyTimes merged = Of({times.begin(), times.begin() + static_cast<std::ptrdiff_t>(cut)});
        merged.merge(Of({times.begin() + static_cast<std::ptrdiff_t>(cut), times.end()}));
        std::sort(times.begin(), times.end());
        SCOPED_TRACE(::testing::PrintToString(times));
        EXPECT_EQ(merged.count(), times.size());
        EXPECT_EQ(merged.min(), times.front());
        EXPECT_EQ(merged.median(), times[(times.size() - 1) / 2]);
        EXPECT_EQ(merged.max(), times.back());
    }
}
