#include "line/frames.h"
#include "line/line_stats.h"
#include "link/crc.h"
#include "output/format.h"

#include <gtest/gtest.h>

#include <optional>

using namespace kovra;

using namespace kovra_host;

namespace {

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame) {
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

} // namespace

TEST(Trace, RequestsAndRepliesAreCutByTheLengthsJbusImplies) {
    FrameSplitter requests(Direction::ToPlc);
    const auto read = WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01});
    const auto clock = WithCrc(
        {0x05, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08, 0x1C, 0x05, 0x7D, 0x0D, 0x2D, 0x1E, 0x00, 0x03});
    std::vector<std::uint8_t> stream = read;
    stream.insert(stream.end(), clock.begin(), clock.end());
    // Bytes arrive in pieces that do not follow the frames.
    auto first = requests.feed(stream.data(), 5);
    EXPECT_TRUE(first.empty());
    auto rest = requests.feed(stream.data() + 5, stream.size() - 5);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].bytes, read);
    EXPECT_EQ(rest[1].bytes, clock);
    EXPECT_FALSE(requests.pending());

    FrameSplitter replies(Direction::FromPlc);
    const auto data = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    const auto refusal = WithCrc({0x01, 0x83, 0x02});
    stream = data;
    stream.insert(stream.end(), refusal.begin(), refusal.end());
    stream.push_back(0x01); // a reply cut short
    const auto frames = replies.feed(stream.data(), stream.size());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].bytes, refusal);
    EXPECT_TRUE(replies.pending());
    EXPECT_EQ(replies.flush(), std::vector<std::uint8_t>{0x01});
}

TEST(Trace, EachFrameIsToldInWords) {
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01})),
              "station 01: read 1 word at 0x0010");
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, WithCrc({0x01, 0x03, 0x02, 0x12, 0x34})),
              "station 01: reply, 2 data bytes: 0x1234");
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x02, 0x03, 0x09, 0x00, 0x00, 0x78})),
              "station 02: read 120 words at 0x0900 (journal file table)");
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x02, 0x06, 0x01, 0x00, 0x00, 0x01})),
              "station 02: write word 0x0100 = 0x0001 (select journal file $0001)");
    EXPECT_EQ(DescribeFrame(Direction::ToPlc, WithCrc({0x01, 0x05, 0x00, 0x03, 0xFF, 0x00})),
              "station 01: write bit 0x0003 = 1");
    EXPECT_EQ(
        DescribeFrame(Direction::ToPlc, WithCrc({0x05, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08, 0x1C,
                                                 0x05, 0x7D, 0x0D, 0x2D, 0x1E, 0x00, 0x03})),
        "station 05: write 4 words at 0x0001 (set clock to 2025-05-28 13:45:30)");
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, WithCrc({0x01, 0x83, 0x02})),
              "station 01: exception 02 to function 03 (illegal data address)");
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, WithCrc({0x01, 0x06, 0x00, 0x10, 0x00, 0x07})),
              "station 01: write acknowledged");
}

TEST(Trace, ABadCrcAndACutFrameAreMarked) {
    auto frame = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    frame.back() ^= 0xFF;
    EXPECT_EQ(DescribeFrame(Direction::FromPlc, frame),
              "station 01: reply, 2 data bytes: 0x1234 [CRC error]");
    EXPECT_EQ(TraceLine("13:45:30.125", Direction::FromPlc, {0x01, 0x03, 0x02, 0x12}, false),
              "13:45:30.125 <- 01 03 02 12  station 01: reply, 2 data bytes [incomplete]");
}

// After noise the reply side slides a byte at a time to the reply that the
// request calls for; what it slid over is garbage, shown as such.
TEST(Trace, TheReplySideResynchronisesAfterGarbage) {
    const auto request = WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01});
    const auto reply = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    auto badCrc = reply;
    badCrc.back() ^= 0xFF;
    const auto refusal = WithCrc({0x01, 0x83, 0x02});
    const auto otherStation = WithCrc({0x07, 0x03, 0x02, 0x12, 0x34});
    struct Case {
        std::vector<std::uint8_t> noise;
        std::vector<std::uint8_t> frame;
    };
    const Case cases[] = {
        {{0xFF, 0x00}, reply},
        {{0x00}, reply},
        {{0x01, 0x01, 0x06}, reply}, // noise that begins with the station
        {{0xFF}, badCrc},            // the request's station and function: a reply all the same
        {{0xFF, 0x00}, refusal},
        {{}, otherStation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(HexBytes(c.noise.data(), c.noise.size()));
        FrameSplitter replies(Direction::FromPlc);
        replies.expectReplyTo(request);
        std::vector<std::uint8_t> stream = c.noise;
        stream.insert(stream.end(), c.frame.begin(), c.frame.end());
        // One byte at a time, as a slow line brings them.
        std::vector<Piece> pieces;
        for (const auto byte : stream) {
            for (auto& piece : replies.feed(&byte, 1)) {
                pieces.push_back(std::move(piece));
            }
        }
        std::vector<std::uint8_t> garbage;
        std::vector<std::vector<std::uint8_t>> frames;
        for (const auto& piece : pieces) {
            if (piece.garbage) {
                garbage.insert(garbage.end(), piece.bytes.begin(), piece.bytes.end());
            } else {
                frames.push_back(piece.bytes);
            }
        }
        EXPECT_EQ(garbage, c.noise);
        EXPECT_EQ(frames, std::vector<std::vector<std::uint8_t>>{c.frame});
        EXPECT_FALSE(replies.pending());
    }
    EXPECT_EQ(GarbageLine("13:45:30.125", {0xFF, 0x00}),
              "13:45:30.125 <- FF 00  garbage, 2 bytes skipped");
}

// Every request is counted with how it was answered: good, or why not.
TEST(LineStats, EachRequestIsCountedByHowItWasAnswered) {
    const auto read = WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01});
    const auto write = WithCrc({0x02, 0x06, 0x00, 0x10, 0x00, 0x07});
    const auto good = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    auto badCrc = good;
    badCrc.back() ^= 0xFF;
    LineStats stats;
    std::int64_t now = 0;
    const auto exchange = [&](const std::vector<std::uint8_t>& request,
                              const std::vector<std::uint8_t>& reply, int ms) {
        stats.request(request, now);
        now += ms;
        if (!reply.empty()) {
            stats.reply(reply, now);
        }
    };
    exchange(read, good, 12);
    exchange(read, {}, 0); // silence, counted when the next request comes
    exchange(read, badCrc, 5);
    exchange(read, WithCrc({0x09, 0x03, 0x02, 0x12, 0x34}), 5);
    exchange(read, WithCrc({0x01, 0x83, 0x02}), 5);
    exchange(read, WithCrc({0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78}), 5); // too long
    exchange(read, good, 30);
    exchange(read, good, 20);
    exchange(write, write, 9);
    exchange(write, WithCrc({0x02, 0x06, 0x00, 0x10, 0x00, 0x08}), 9); // echo differs
    exchange(write, {}, 0);                                            // the last: unanswered
    const LineFigures figures = stats.figures();
    ASSERT_EQ(figures.size(), 2u);
    const StationFigures& one = figures.at(0x01);
    EXPECT_EQ(one.frames, 8u);
    EXPECT_EQ(one.good, 3u);
    EXPECT_EQ(one.faults, (std::array<unsigned, kReplyFaultCount>{1, 1, 1, 1, 1}));
    EXPECT_EQ(one.replyMs.count(), 3u);
    EXPECT_EQ(one.replyMs.min(), 12u);
    EXPECT_EQ(one.replyMs.median(), 20u);
    EXPECT_EQ(one.replyMs.max(), 30u);
    const StationFigures& two = figures.at(0x02);
    EXPECT_EQ(two.frames, 3u);
    EXPECT_EQ(two.good, 1u);
    EXPECT_EQ(two.faults, (std::array<unsigned, kReplyFaultCount>{1, 0, 0, 1, 0}));
    const StationFigures total = Total(figures);
    EXPECT_EQ(total.frames, 11u);
    EXPECT_EQ(total.failed(), 7u);
}

// The driver takes noise before a reply for the reply's start: that attempt
// failed, whatever clean frame the trace finds after the noise, and for the
// reason the driver saw first (the station byte before the CRC).
TEST(LineStats, NoiseBeforeAReplyFailsTheAttempt) {
    using Bytes = std::vector<std::uint8_t>;
    const auto read = WithCrc({0x01, 0x03, 0x00, 0x10, 0x00, 0x01});
    const auto good = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    const auto refusal = WithCrc({0x01, 0x83, 0x02});
    struct Case {
        const char* what;
        Bytes before; // noise while nothing is awaited
        Bytes noise;  // between the request and its reply
        Bytes reply;
        std::optional<ReplyFault> fault;
    };
    const Case cases[] = {
        {"a clean reply", {}, {}, good, std::nullopt},
        {"noise before the request", {0xFF, 0x00}, {}, good, std::nullopt},
        {"FF 00, then the reply", {}, {0xFF, 0x00}, good, ReplyFault::WrongStation},
        {"the station byte twice", {}, {0x01}, good, ReplyFault::Crc},
        {"noise longer than the reply", {}, Bytes(9, 0x55), good, ReplyFault::WrongStation},
        {"noise, then a refusal", {}, {0xFF, 0x00}, refusal, ReplyFault::WrongStation},
        {"noise and no reply", {}, {0xFF, 0x00}, {}, ReplyFault::Silence},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LineStats stats;
        stats.garbage(c.before);
        stats.request(read, 0);
        stats.garbage(c.noise);
        if (!c.reply.empty()) {
            stats.reply(c.reply, 7);
        }
        const StationFigures one = stats.figures().at(0x01);
        std::array<unsigned, kReplyFaultCount> faults{};
        if (c.fault) {
            ++faults[static_cast<std::size_t>(*c.fault)];
        }
        EXPECT_EQ(one.frames, 1u);
        EXPECT_EQ(one.good, c.fault ? 0u : 1u);
        EXPECT_EQ(one.faults, faults);
    }
}
