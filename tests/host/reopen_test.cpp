#include "session/reopen.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kovra_host;

TEST(Reopen, ThePausesDoubleFromOneSecondUpToHalfAMinuteUntilThePortIsBack) {
    std::vector<unsigned> pauses;
    unsigned tries = 0;
    const bool back =
        ReopenWithPauses([&] { return ++tries == 7; }, [&](unsigned ms) { pauses.push_back(ms); });
    EXPECT_TRUE(back);
    EXPECT_EQ(pauses, (std::vector<unsigned>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
}
