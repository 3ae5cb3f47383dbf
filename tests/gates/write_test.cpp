// Gate writes through VpiMain against the PLC simulator.
#include "gates/gate_world.h"

using namespace kovra;

using plcsim::Fault;
using plcsim::Table;

namespace {

using Strings = std::vector<std::string>;

class GateWrites : public GateTransactions {};

TEST_F(GateWrites, ABitWriteSendsFF00ForAnyNonZeroValueAnd0000ForZero) {
    GateDescriptor bit = gateOf("0110010");
    setSingleValue(1);
    EXPECT_EQ(write(bit), kStatusDone);
    EXPECT_EQ(plc().get(1, Table::Bits, 0x10), 1);
    setSingleValue(0);
    EXPECT_EQ(write(bit), kStatusDone);
    EXPECT_EQ(plc().get(1, Table::Bits, 0x10), 0);
    setSingleValue(0x0100);
    EXPECT_EQ(write(bit), kStatusDone);
    EXPECT_EQ(wire(),
              (Strings{Frame({1, 5, 0x00, 0x10, 0xFF, 0x00}), Frame({1, 5, 0x00, 0x10, 0x00, 0x00}),
                       Frame({1, 5, 0x00, 0x10, 0xFF, 0x00})}));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(context().writeReplyPending, 0);
}

TEST_F(GateWrites, AWordWriteSendsTheValueHighByteFirst) {
    GateDescriptor word = gateOf("0130010");
    setSingleValue(0x1234);
    EXPECT_EQ(write(word), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({1, 6, 0x00, 0x10, 0x12, 0x34})});
    EXPECT_EQ(plc().get(1, Table::Words, 0x10), 0x1234);
}

TEST_F(GateWrites, AnHGateIsWrittenAsARegisterAtItsLetter) {
    GateDescriptor letter = gateOf("05HA");
    setSingleValue(0xBEEF);
    EXPECT_EQ(write(letter), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({5, 6, 0x00, 0x41, 0xBE, 0xEF})});
    EXPECT_EQ(plc().get(5, Table::Words, 0x41), 0xBEEF);
}

TEST_F(GateWrites, ReadOnlyTypesAndBitNumberGatesAreRefusedWithoutAFrame) {
    plc().set(5, Table::Words, 0, {0}); // station 5 is a P200X: F gates parse
    for (const char* address : {"0120010", "0140010", "01C0010", "05F0010"}) {
        GateDescriptor gate = gateOf(address);
        EXPECT_EQ(write(gate), kStatusRefused) << address;
        EXPECT_EQ(messages(), Strings{"KOVRA> SingleWrite() not allowed for types '2', '4', 'C', "
                                      "'F' and 'I'"})
            << address;
    }
    GateDescriptor bitNumber = gateOf("01300103");
    EXPECT_EQ(write(bitNumber), kStatusRefused);
    EXPECT_EQ(messages(), Strings{"KOVRA> SingleWrite() not allowed for spec. dig gates"});
    EXPECT_TRUE(plc().requests().empty());
}

TEST_F(GateWrites, TheFourWordBlockWriteCopiesTheBytesAsTheyStand) {
    const std::uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(values_.data(), bytes, sizeof bytes);
    GateDescriptor block = gateOf("0530001", 4);
    EXPECT_EQ(blockWrite(block), kStatusDone);
    EXPECT_EQ(wire(), Strings{"05 10 00 01 00 04 08 01 02 03 04 05 06 07 08 BF 7E"});
    EXPECT_EQ(plc().get(5, Table::Words, 1, 4),
              (std::vector<std::uint16_t>{0x0102, 0x0304, 0x0506, 0x0708}));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(context().writeReplyPending, 0);
}

TEST_F(GateWrites, OtherBlockWritesAreNotSupported) {
    for (const auto& [address, count] :
         std::vector<std::pair<std::string, int>>{{"0530001", 3}, {"0530001", 5}, {"0540001", 4}}) {
        GateDescriptor block = gateOf(address, count);
        EXPECT_EQ(blockWrite(block), kStatusRefused);
        EXPECT_EQ(messages(), Strings{"KOVRA> BlockWrite() not supported"});
    }
    EXPECT_TRUE(plc().requests().empty());
}

TEST_F(GateWrites, ASilentStationFailsTheWriteAfterFourAttempts) {
    plc().injectFault(1, Fault::Silent());
    GateDescriptor word = gateOf("0130010");
    setSingleValue(7);
    EXPECT_EQ(write(word), kStatusRefused);
    EXPECT_EQ(wire(), Strings(4, Frame({1, 6, 0x00, 0x10, 0x00, 0x07})));
    EXPECT_EQ(messages(kSeverityTrace),
              (Strings{"KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 1",
                       "KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 2",
                       "KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 3",
                       "KOVRA> Receive() timeout 1", "KOVRA> DoWrite() receive error, retry 4",
                       "KOVRA> SingleWrite() exited, rc= 1"}));
    EXPECT_EQ(context().writeReplyPending, 0);
}

TEST_F(GateWrites, AnExceptionEndsTheWriteAfterOneAttempt) {
    plc().injectFault(1, Fault::WithException(0x02, 1));
    GateDescriptor bit = gateOf("0110010");
    setSingleValue(1);
    EXPECT_EQ(write(bit), kStatusRefused);
    EXPECT_EQ(wire().size(), 1u);
    EXPECT_EQ(messages(), (Strings{"KOVRA> DoWrite() plc sent 0x80 error code 02h",
                                   "KOVRA> SingleWrite() exited, rc= 1"}));
    EXPECT_EQ(context().writeReplyPending, 0);
    EXPECT_EQ(plc().get(1, Table::Bits, 0x10), 0);
}

TEST_F(GateWrites, ACrcErrorInTheEchoIsRetried) {
    plc().injectFault(5, Fault::CorruptCrc(1));
    GateDescriptor word = gateOf("0530002");
    setSingleValue(0x0A0B);
    EXPECT_EQ(write(word), kStatusDone);
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(messages(), Strings{"KOVRA> DoWrite() error in crc, retry 1"});
    EXPECT_EQ(plc().get(5, Table::Words, 2), 0x0A0B);
}

TEST_F(GateWrites, NoiseThatLooksLikeAnExceptionIsACrcErrorAndRetried) {
    plc().injectFault(1, Fault::GarbageFirst({1, 0x86, 0x02, 0x00, 0x00}, 1));
    GateDescriptor word = gateOf("0130004");
    setSingleValue(0x0102);
    EXPECT_EQ(write(word), kStatusDone);
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(messages(), Strings{"KOVRA> DoWrite() error in crc, retry 1"});
    EXPECT_EQ(plc().get(1, Table::Words, 4), 0x0102);
}

TEST_F(GateWrites, AnEchoThatDoesNotMatchTheRequestIsRefusedAndRetried) {
    struct Case {
        std::string gate;
        Fault fault;
        std::string message;
    };
    // Word writes of 0x1234 to 0130010 and bit writes of 1 to 0110010.
    const Case cases[] = {
        {"0130010", Fault::AsStation(7), "KOVRA> DoWrite() wrong station 07 of rcv. mess., retry "},
        {"0130010", Fault::Replying({1, 3, 0x00, 0x10, 0x12, 0x34}),
         "KOVRA> DoWrite() wrong function 03 of rcv. mess., retry "},
        {"0130010", Fault::Replying({1, 6, 0x00, 0x11, 0x12, 0x34}),
         "KOVRA> DoWrite() wrong address 0011 of rcv. mess., retry "},
        {"0130010", Fault::Replying({1, 6, 0x00, 0x10, 0x12, 0x00}),
         "KOVRA> DoWrite() wrong value 1200 of rcv. mess., retry "},
        {"0110010", Fault::Replying({1, 5, 0x00, 0x10, 0x00, 0x00}),
         "KOVRA> DoWrite() wrong value 0000 of rcv. mess., retry "},
    };
    for (const Case& c : cases) {
        plc().clearFaults(1);
        plc().injectFault(1, c.fault);
        GateDescriptor gate = gateOf(c.gate);
        setSingleValue(gate.gate.width == 1 ? 1 : 0x1234);
        EXPECT_EQ(write(gate), kStatusRefused) << c.message;
        EXPECT_EQ(wire().size(), 4u) << c.message;
        Strings expected;
        for (int attempt = 1; attempt <= 4; ++attempt) {
            expected.push_back(c.message + std::to_string(attempt));
        }
        expected.push_back("KOVRA> SingleWrite() exited, rc= 1");
        EXPECT_EQ(messages(), expected);
    }
    // A block write's echo carries its quantity; one wrong echo costs one attempt.
    plc().clearFaults(1);
    plc().injectFault(5, Fault::Replying({5, 16, 0x00, 0x01, 0x00, 0x03}, 1));
    GateDescriptor block = gateOf("0530001", 4);
    EXPECT_EQ(blockWrite(block), kStatusDone);
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(messages(), Strings{"KOVRA> DoWrite() wrong quantity 3 of rcv. mess., retry 1"});
    EXPECT_EQ(context().writeReplyPending, 0);
}

TEST_F(GateWrites, AnEchoCutShortIsAReceiveError) {
    plc().injectFault(1, Fault::CutAfter(5, 1));
    GateDescriptor word = gateOf("0130002");
    setSingleValue(3);
    EXPECT_EQ(write(word), kStatusDone);
    EXPECT_EQ(messages(), (Strings{"KOVRA> Receive() wrong length last data part message",
                                   "KOVRA> DoWrite() receive error, retry 1"}));
}

} // namespace
