// J-bus frames over a real pseudo-terminal: the test plays the PLC station on
// the master side and reads what the driver put on the wire.
#include "link/crc.h"
#include "link/frame_length.h"
#include "link/jbus.h"
#include "link/serial_port.h"
#include "support/world.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

using namespace kovra;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes WithCrc(Bytes frame) {
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

class JbusExchange : public HostLibraryTest {
  protected:
    JbusExchange() : context_(std::make_unique<DriverContext>()) {
        std::memset(context_.get(), 0, sizeof(DriverContext));
        const int code = OpenPort(pty_.slavePath().c_str(), CommSettings{9600, 8, 0, 0},
                                  kLineControlDtrRtsOn, &context_->portHandle);
        EXPECT_EQ(code, kSerialOk);
        context_->timeoutTicks = 8;
        SetReplyTimeout(context_->portHandle, 8); // 80 ms: a silent station is quick
    }
    ~JbusExchange() override {
        if (context_->portHandle != nullptr) {
            ClosePortHandle(context_->portHandle);
        }
    }

    int send(Bytes request) {
        std::uint8_t frame[kTxFrameSize] = {};
        std::memcpy(frame, request.data(), request.size());
        return Send(*context_, frame, request.size());
    }

    int receive() {
        received_ = 0;
        return Receive(*context_, context_->rxFrame, received_);
    }

    std::string reply() const { return Hex({context_->rxFrame, context_->rxFrame + received_}); }

    // Lets bytes written at the far end reach the driver's input queue.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    PtyPair pty_;
    std::unique_ptr<DriverContext> context_;
    std::size_t received_ = 0;
};

// --- Sending ---

TEST_F(JbusExchange, ARequestGoesOutWithItsCrcLowByteFirst) {
    context_->interFrameGap = 0;
    std::uint8_t frame[kTxFrameSize] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(Send(*context_, frame, 6), 0);
    EXPECT_EQ(Hex(pty_.read(100)), "01 03 00 00 00 01 84 0A");
    EXPECT_EQ(frame[6], 0x84);
    EXPECT_EQ(frame[7], 0x0A);
    EXPECT_TRUE(messages().empty());
}

TEST_F(JbusExchange, AWriteOfSeveralWordsIsSentWhole) {
    context_->interFrameGap = 0;
    const Bytes request = {0x07, 0x10, 0x00, 0x20, 0x00, 0x02, 0x04, 0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(send(request), 0);
    EXPECT_EQ(Hex(pty_.read(100)), Hex(WithCrc(request)));
}

TEST_F(JbusExchange, StaleInputIsDiscardedBeforeARequest) {
    context_->interFrameGap = 0;
    pty_.write({0xDE, 0xAD, 0xBE, 0xEF, 0x01}); // the tail of a late reply
    settle();
    ASSERT_EQ(send({0x01, 0x03, 0x00, 0x10, 0x00, 0x01}), 0);
    pty_.read(100);
    pty_.write(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}));
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(reply(), Hex(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34})));
}

TEST_F(JbusExchange, TheInterFrameGapIsSpentBeforeTheFrame) {
    context_->interFrameGap = 60;
    const auto start = Clock::now();
    EXPECT_EQ(send({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), 0);
    EXPECT_GE(MillisecondsSince(start), 60);
}

TEST_F(JbusExchange, AGapOfZeroDoesNotSleep) {
    context_->interFrameGap = 0;
    // A hundred requests would cost at least a second with the default 10 ms
    // gap; without a gap they take a small fraction of that.
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(send({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), 0);
    }
    EXPECT_LT(MillisecondsSince(start), 500);
    EXPECT_EQ(pty_.read(100).size(), 800u);
}

TEST_F(JbusExchange, WithoutRtsSwitchingTheModemLinesAreNotTouched) {
    context_->interFrameGap = 0;
    context_->rtsCtsSwitching = 0;
    EXPECT_EQ(send({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), 0);
    // A pseudo-terminal refuses RTS: any attempt would have been logged.
    EXPECT_TRUE(messages().empty());
}

TEST_F(JbusExchange, ARefusedRtsSwitchIsLoggedTwiceButTheFrameStillLeaves) {
    context_->interFrameGap = 0;
    context_->rtsCtsSwitching = 1;
    EXPECT_EQ(send({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), 0);
    EXPECT_EQ(Hex(pty_.read(100)), "01 03 00 00 00 01 84 0A");
    const std::vector<std::string> expected(2, "KOVRA> Send() EscapeCommFunction() failed");
    EXPECT_EQ(messages(kSeverityTrace), expected);
    EXPECT_EQ(messages().size(), 2u);
}

TEST_F(JbusExchange, AFrameThatCannotBeWrittenIsReportedAsTwo) {
    context_->interFrameGap = 0;
    auto gone = std::make_unique<PtyPair>();
    PortHandle handle = nullptr;
    ASSERT_EQ(OpenPort(gone->slavePath().c_str(), CommSettings{9600, 8, 0, 0}, kLineControlDtrRtsOn,
                       &handle),
              kSerialOk);
    gone.reset(); // the line hangs up
    std::swap(handle, context_->portHandle);
    EXPECT_EQ(send({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), 2);
    std::swap(handle, context_->portHandle);
    ClosePortHandle(handle);
    EXPECT_EQ(messages(kSeverityTrace),
              std::vector<std::string>{"KOVRA> Send() Unable to send message."});
}

// --- Receiving ---

TEST_F(JbusExchange, AReadReplyIsHeaderCountDataAndCrc) {
    const Bytes frame = WithCrc({0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78});
    pty_.write(frame);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(received_, 9u);
    EXPECT_EQ(reply(), Hex(frame));
    EXPECT_TRUE(messages().empty());
}

TEST_F(JbusExchange, AReplyWithByteCountZeroIsFiveBytes) {
    const Bytes frame = WithCrc({0x01, 0x01, 0x00});
    pty_.write(frame);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(received_, 5u);
    EXPECT_EQ(reply(), Hex(frame));
}

TEST_F(JbusExchange, TheLargestReadReplyFitsWhole) {
    Bytes data = {0x01, 0x03, 0xFF};
    for (int i = 0; i < 255; ++i) {
        data.push_back(static_cast<std::uint8_t>(i));
    }
    const Bytes frame = WithCrc(data);
    pty_.write(frame);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(received_, 260u);
    EXPECT_EQ(reply(), Hex(frame));
}

TEST_F(JbusExchange, AReplyArrivingInPiecesWithinTheTimeoutIsAssembled) {
    const Bytes frame = WithCrc({0x02, 0x03, 0x02, 0xAB, 0xCD});
    std::thread station([this, &frame] {
        pty_.write({frame.begin(), frame.begin() + 1});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty_.write({frame.begin() + 1, frame.begin() + 4});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty_.write({frame.begin() + 4, frame.end()});
    });
    const int status = receive();
    station.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(reply(), Hex(frame));
}

TEST_F(JbusExchange, AnExceptionReplyIsFiveBytes) {
    const Bytes frame = WithCrc({0x01, 0x83, 0x02});
    pty_.write(frame);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(received_, 5u);
    EXPECT_EQ(reply(), Hex(frame));
}

TEST_F(JbusExchange, AnExceptionToAWriteIsFiveBytesNotAnEcho) {
    context_->writeReplyPending = 1;
    const Bytes frame = WithCrc({0x01, 0x86, 0x03});
    pty_.write(frame);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(received_, 5u);
    EXPECT_EQ(reply(), Hex(frame));
    EXPECT_TRUE(messages().empty());
}

TEST_F(JbusExchange, AWriteEchoIsEightBytesWhateverItsThirdByte) {
    context_->writeReplyPending = 1;
    // Read as a byte count, 0x00 would end the frame after five bytes.
    const Bytes frame = WithCrc({0x01, 0x06, 0x00, 0x10, 0x12, 0x34});
    pty_.write(frame);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(received_, 8u);
    EXPECT_EQ(reply(), Hex(frame));
}

TEST_F(JbusExchange, ASilentStationCostsOneTimeout) {
    const auto start = Clock::now();
    EXPECT_EQ(receive(), 2);
    EXPECT_GE(MillisecondsSince(start), 75);
    EXPECT_EQ(received_, 0u);
    EXPECT_EQ(messages(kSeverityTrace), std::vector<std::string>{"KOVRA> Receive() timeout 1"});
    EXPECT_EQ(messages().size(), 1u);
}

TEST_F(JbusExchange, AStationThatSendsOnlyItsStationByteGivesAWrongLengthHeader) {
    pty_.write({0x01});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(received_, 1u);
    EXPECT_EQ(messages(kSeverityTrace),
              std::vector<std::string>{"KOVRA> Receive() wrong length reading header"});
}

TEST_F(JbusExchange, AHeaderWithoutByteCountIsADataPartError) {
    pty_.write({0x01, 0x03});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(received_, 2u);
    EXPECT_EQ(messages(kSeverityTrace),
              std::vector<std::string>{"KOVRA> Receive() error reading data part message"});
}

TEST_F(JbusExchange, AByteCountAnnouncingMoreThanArrivesIsAWrongLengthLastPart) {
    pty_.write({0x01, 0x03, 0x04, 0x12, 0x34}); // four data bytes and the CRC announced
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(received_, 5u);
    EXPECT_EQ(messages(kSeverityTrace),
              std::vector<std::string>{"KOVRA> Receive() wrong length last data part message"});
}

TEST_F(JbusExchange, AByteCountFollowedByNothingIsATimeoutOfTheLastPart) {
    pty_.write({0x01, 0x03, 0x04});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(received_, 3u);
    EXPECT_EQ(messages(kSeverityTrace),
              std::vector<std::string>{"KOVRA> Receive() reading timeout last data part message"});
}

TEST_F(JbusExchange, ACutExceptionReplyIsReportedByItsSecondPart) {
    pty_.write({0x01, 0x83, 0x02});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(received_, 3u);
    pty_.write({0x01, 0x83});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(received_, 2u);
    EXPECT_EQ(messages(kSeverityTrace),
              (std::vector<std::string>{"KOVRA> Receive() wrong length 2nd part message",
                                        "KOVRA> Receive() timeout 2nd part message"}));
}

TEST_F(JbusExchange, ACutWriteEchoIsReportedByItsLastPart) {
    context_->writeReplyPending = 1;
    pty_.write({0x01, 0x06, 0x00, 0x10});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(received_, 4u);
    pty_.write({0x01, 0x06});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(
        messages(kSeverityTrace),
        (std::vector<std::string>{"KOVRA> Receive() wrong length last data part message",
                                  "KOVRA> Receive() reading timeout last data part message"}));
}

TEST_F(JbusExchange, TheCrcIsLeftToTheCaller) {
    const Bytes frame = {0x01, 0x03, 0x02, 0x12, 0x34, 0x00, 0x00};
    pty_.write(frame);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(reply(), Hex(frame));
    EXPECT_FALSE(FrameCrcMatches(context_->rxFrame, received_));
}

TEST_F(JbusExchange, BytesWaitingBeyondAReplyAreNeitherPartOfItNorOfTheNext) {
    const Bytes frame = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
    Bytes line = frame;
    line.insert(line.end(), 400, 0xEE); // noise behind the reply
    std::memset(context_->rxFrame, 0x5A, sizeof context_->rxFrame);
    pty_.write(line);
    settle();
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(reply(), Hex(frame));
    EXPECT_EQ(context_->rxFrame[kMaxReplyLength], 0x5A); // no read past the largest reply
    context_->interFrameGap = 0;
    ASSERT_EQ(send({0x01, 0x03, 0x00, 0x10, 0x00, 0x01}), 0);
    pty_.read(100);
    const Bytes next = WithCrc({0x01, 0x03, 0x02, 0x56, 0x78});
    pty_.write(next);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(reply(), Hex(next));
    EXPECT_TRUE(messages().empty());
}

// A count byte garbled from 04 to 02 ends the frame early; the rest of the
// reply, already waiting or still coming in bursts as USB adapters deliver
// it, must go to the flush before the next attempt, not to its reply.
TEST_F(JbusExchange, TheTailOfABrokenReplyIsFlushedAndTheNextAttemptSucceeds) {
    context_->interFrameGap = 0;
    const Bytes request = {0x01, 0x03, 0x00, 0x10, 0x00, 0x02};
    const Bytes good = WithCrc({0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78});
    Bytes broken(good.begin(), good.begin() + 8); // the first burst
    broken[2] = 0x02;
    std::thread station([this, &good, &broken] {
        pty_.read(500, 8);
        pty_.write(broken);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty_.write({good.begin() + 8, good.end()});
        pty_.read(500, 8);
        pty_.write(good);
    });
    ASSERT_EQ(send(request), 0);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(received_, 7u);
    EXPECT_FALSE(FrameCrcMatches(context_->rxFrame, received_));
    ASSERT_EQ(send(request), 0);
    EXPECT_EQ(receive(), 0);
    station.join();
    EXPECT_EQ(reply(), Hex(good));
}

// --- Frame lengths ---

TEST(JbusFrameLength, FollowsFromTheBytesKnownSoFar) {
    struct Case {
        Bytes head;
        bool writeEcho;
        std::size_t request;
        std::size_t reply;
    };
    const Case cases[] = {
        {{0x01}, false, 0, 0},                              // no function yet
        {{0x01, 0x03}, false, 8, 0},                        // a read reply needs its byte count
        {{0x01, 0x03, 0x04}, false, 8, 9},                  // 5 + byte count
        {{0x01, 0x01, 0xFF}, false, 8, 260},                // the largest reply
        {{0x01, 0x83}, false, 0, 5},                        // an exception
        {{0x01, 0x86}, true, 0, 5},                         // an exception comes before the echo
        {{0x01, 0x06, 0x40}, true, 8, 8},                   // an echo whatever its third byte
        {{0x01, 0x10, 0x00, 0x01, 0x00, 0x04}, true, 0, 8}, // a request's byte count is byte 6
        {{0x01, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08}, true, 17, 8},
        {{0x01, 0x0F, 0x00, 0x01, 0x00, 0x10, 0x02}, true, 11, 8},
        {{0x01, 0x07, 0x00}, false, 0, 5}, // an unknown function
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RequestLength(c.head.data(), c.head.size()), c.request) << Hex(c.head);
        EXPECT_EQ(ReplyLength(c.head.data(), c.head.size(), c.writeEcho), c.reply) << Hex(c.head);
    }
}

} // namespace
