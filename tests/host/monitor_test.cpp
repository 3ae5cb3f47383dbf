// The listening monitor: a capture cut into frames, paired and flagged.
#include "line/monitor.h"

#include "link/crc.h"

#include <gtest/gtest.h>

using namespace kovra_host;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes WithCrc(Bytes frame) {
    const std::uint16_t crc = kovra::Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

const Bytes kRead01 = WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01});
const Bytes kReply01 = WithCrc({0x01, 0x03, 0x02, 0x00, 0x2A});

struct Burst {
    double at;
    Bytes bytes;
};

struct Seen {
    std::vector<Transaction> transactions;
    LineMonitor monitor{9600, 10, 200};
};

// Feeds each burst, then lets time run on in 1 ms steps until the next one.
void Capture(Seen& seen, const std::vector<Burst>& bursts) {
    double now = 0;
    for (const auto& burst : bursts) {
        for (; now < burst.at; now += 0.001) {
            const auto out = seen.monitor.idle(now);
            seen.transactions.insert(seen.transactions.end(), out.begin(), out.end());
        }
        const auto out = seen.monitor.feed(burst.at, burst.bytes.data(), burst.bytes.size());
        seen.transactions.insert(seen.transactions.end(), out.begin(), out.end());
    }
    const auto out = seen.monitor.finish(now + 1);
    seen.transactions.insert(seen.transactions.end(), out.begin(), out.end());
}

} // namespace

TEST(LineMonitor, EachKindOfTransactionIsToldAndFlagged) {
    Bytes damaged = kReply01;
    damaged[4] ^= 0x01;
    Bytes garbageThenRead = {0xFF, 0x00};
    garbageThenRead.insert(garbageThenRead.end(), kRead01.begin(), kRead01.end());
    struct Case {
        const char* what;
        std::vector<Burst> bursts;
        LineFlag flag;
        bool replied;
    };
    const Case cases[] = {
        {"a reply", {{0.0, kRead01}, {0.02, kReply01}}, LineFlag::None, true},
        {"a write echoed",
         {{0.0, WithCrc({0x01, 0x06, 0x00, 0x12, 0xFF, 0x12})},
          {0.02, WithCrc({0x01, 0x06, 0x00, 0x12, 0xFF, 0x12})}},
         LineFlag::None,
         true},
        {"an exception",
         {{0.0, kRead01}, {0.02, WithCrc({0x01, 0x83, 0x02})}},
         LineFlag::Exception,
         true},
        {"a CRC error", {{0.0, kRead01}, {0.02, damaged}}, LineFlag::CrcError, true},
        {"another station",
         {{0.0, kRead01}, {0.02, WithCrc({0x05, 0x03, 0x02, 0x00, 0x2A})}},
         LineFlag::OtherStation,
         true},
        {"no reply", {{0.0, kRead01}, {0.5, kRead01}, {0.52, kReply01}}, LineFlag::NoReply, false},
        {"a retry within the timeout",
         {{0.0, kRead01}, {0.1, kRead01}, {0.12, kReply01}},
         LineFlag::NoReply,
         false},
    };
    for (const auto& c : cases) {
        Seen seen;
        Capture(seen, c.bursts);
        ASSERT_FALSE(seen.transactions.empty()) << c.what;
        const Transaction& first = seen.transactions.front();
        EXPECT_EQ(first.flag, c.flag) << c.what;
        EXPECT_EQ(first.request->bytes, c.bursts[0].bytes) << c.what;
        EXPECT_EQ(first.reply.has_value(), c.replied) << c.what;
        if (c.replied) {
            EXPECT_NEAR(first.replyMs(), 20.0, 0.001) << c.what;
            EXPECT_EQ(first.reply->bytes, c.bursts[1].bytes) << c.what;
        }
    }

    // Garbage before a request is set aside a byte at a time until a frame fits.
    Seen seen;
    Capture(seen, {{0.0, garbageThenRead}, {0.02, kReply01}});
    ASSERT_EQ(seen.transactions.size(), 2u);
    EXPECT_EQ(seen.transactions[0].flag, LineFlag::Garbage);
    EXPECT_EQ(seen.transactions[0].garbage, (Bytes{0xFF, 0x00}));
    EXPECT_EQ(seen.transactions[1].request->bytes, kRead01);
    EXPECT_EQ(seen.transactions[1].flag, LineFlag::None);
}

TEST(LineMonitor, StationStatisticsAndLineLoadSumUpTheCapture) {
    Seen seen;
    Capture(seen, {{0.0, kRead01},
                   {0.010, kReply01},
                   {0.100, kRead01},
                   {0.130, kReply01},
                   {0.200, kRead01},
                   {0.220, kReply01},
                   {0.300, WithCrc({0x02, 0x03, 0x00, 0x40, 0x00, 0x01})}});
    const auto& stations = seen.monitor.stations();
    ASSERT_EQ(stations.size(), 2u);
    EXPECT_EQ(stations.at(1).requests, 3u);
    EXPECT_EQ(stations.at(1).replies, 3u);
    EXPECT_EQ(stations.at(2).requests, 1u);
    EXPECT_EQ(stations.at(2).errors.at(LineFlag::NoReply), 1u);
    // 4 requests of 8 bytes and 3 replies of 7: 53 bytes of 10 bits at 9600
    // baud over 1 second.
    EXPECT_EQ(seen.monitor.bytes(), 53u);
    const std::string summary = MonitorSummary(seen.monitor, 1.0, 9600, 10);
    EXPECT_NE(summary.find("station 01: 3 requests, 3 replies; reply time min 10 ms, median 20 "
                           "ms, max 30 ms\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("station 02: 1 request, 0 replies; errors: no reply 1\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("line: 53 bytes in 1.0 s at 9600 baud, 10 bits a character: 5.5% load"),
              std::string::npos)
        << summary;
}
