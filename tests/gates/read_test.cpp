// Gate reads through VpiMain against the PLC simulator: the frames on the
// wire, the value area, the status and the host's log.
#include "gates/gate_world.h"

using namespace kovra;

using plcsim::Fault;
using plcsim::Table;

namespace {

using Strings = std::vector<std::string>;

class GateReads : public GateTransactions {};

TEST_F(GateReads, AWordGateSendsItsRequestAndStoresTheWordInBytes2And3) {
    plc().set(1, Table::Words, 0x10, {0x1234});
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusDone);
    // The CRC written out, as the line carries it: low byte first.
    EXPECT_EQ(wire(), Strings{"01 03 00 10 00 01 85 CF"});
    EXPECT_EQ(singleValue(), 0x1234);
    EXPECT_EQ(values_[0], 0xEE);
    EXPECT_EQ(values_[1], 0xEE);
    EXPECT_TRUE(messages().empty());
}

TEST_F(GateReads, BitsAndInputBitsReadAsZeroOrOne) {
    plc().set(1, Table::Bits, 0x10, {1});
    plc().set(1, Table::InputBits, 0x5, {0, 1});
    GateDescriptor bit = gateOf("0110010");
    EXPECT_EQ(read(bit), kStatusDone);
    EXPECT_EQ(singleValue(), 1);
    GateDescriptor input = gateOf("0120006");
    EXPECT_EQ(read(input), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({1, 2, 0x00, 0x06, 0x00, 0x01})});
    EXPECT_EQ(singleValue(), 1);
    GateDescriptor clear = gateOf("0120005");
    EXPECT_EQ(read(clear), kStatusDone);
    EXPECT_EQ(singleValue(), 0);
}

TEST_F(GateReads, InputWordsUseFunction4) {
    plc().set(5, Table::InputWords, 0xABCD, {0xFEDC});
    GateDescriptor gate = gateOf("054ABCD");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({5, 4, 0xAB, 0xCD, 0x00, 0x01})});
    EXPECT_EQ(singleValue(), 0xFEDC);
}

TEST_F(GateReads, ACounterKeeps24BitsFromTwoRegistersAtTheEvenAddress) {
    plc().set(1, Table::Words, 0x10, {0x1234, 0x5678});
    GateDescriptor gate = gateOf("01C0010");
    EXPECT_EQ(gate.gate.address, 8);
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({1, 3, 0x00, 0x10, 0x00, 0x02})});
    EXPECT_EQ(longAt(0), 0x345678u);
}

TEST_F(GateReads, AFloatArrivesBitForBit) {
    plc().setFloat(5, Table::Words, 0x20, 10.0f);
    GateDescriptor gate = gateOf("05F0020");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({5, 3, 0x00, 0x20, 0x00, 0x02})});
    EXPECT_EQ(longAt(0), 0x41200000u);
    // A signalling NaN pattern is not touched by any conversion either.
    plc().setLong(5, Table::Words, 0x20, 0x7F800001u);
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(longAt(0), 0x7F800001u);
}

TEST_F(GateReads, ABitNumberGateReadsOneBitOfItsWord) {
    plc().set(1, Table::Words, 0x10, {0x0008});
    GateDescriptor gate = gateOf("01300103");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({1, 3, 0x00, 0x10, 0x00, 0x01})});
    EXPECT_EQ(singleValue(), 1);
    plc().set(1, Table::Words, 0x10, {0x0007});
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(singleValue(), 0);
    plc().set(1, Table::Words, 0x10, {0x8000});
    GateDescriptor top = gateOf("0130010F");
    EXPECT_EQ(read(top), kStatusDone);
    EXPECT_EQ(singleValue(), 1);
}

TEST_F(GateReads, AWordBlockFillsConsecutiveWordsFromByte0) {
    plc().set(1, Table::Words, 0x10, {1, 2, 3});
    GateDescriptor block = gateOf("0130010", 3);
    EXPECT_EQ(read(block), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({1, 3, 0x00, 0x10, 0x00, 0x03})});
    EXPECT_EQ(wordAt(0), 1);
    EXPECT_EQ(wordAt(2), 2);
    EXPECT_EQ(wordAt(4), 3);
    EXPECT_EQ(values_[6], 0xEE);
}

TEST_F(GateReads, ACountTheFramesQuantityCannotCarryStoresOnlyWhatTheReplyHolds) {
    // 65538 words leave as a quantity of 2 (the field is 16 bits wide): the
    // reply carries two words and nothing past them may be decoded.
    plc().set(1, Table::Words, 0x10, {7, 8, 9});
    GateDescriptor block = gateOf("0130010", 2);
    block.count = 0x10002;
    EXPECT_EQ(read(block), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({1, 3, 0x00, 0x10, 0x00, 0x02})});
    EXPECT_EQ(wordAt(0), 7);
    EXPECT_EQ(wordAt(2), 8);
    EXPECT_EQ(values_[4], 0xEE);
}

TEST_F(GateReads, ABitBlockCopiesThePackedBytes) {
    plc().set(1, Table::Bits, 0x20, {1, 0, 0, 0, 0, 0, 0, 1, 0, 1});
    GateDescriptor ten = gateOf("0110020", 10);
    EXPECT_EQ(read(ten), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({1, 1, 0x00, 0x20, 0x00, 0x0A})});
    EXPECT_EQ(values_[0], 0x81);
    EXPECT_EQ(values_[1], 0x02);
    EXPECT_EQ(values_[2], 0xEE);

    values_.fill(0xEE);
    plc().set(1, Table::InputBits, 0, {0, 1, 1});
    GateDescriptor eight = gateOf("0120000", 8);
    EXPECT_EQ(read(eight), kStatusDone);
    EXPECT_EQ(values_[0], 0x06);
    EXPECT_EQ(values_[1], 0xEE);
}

TEST_F(GateReads, A32BitBlockTakesFourBytesPerElement) {
    plc().setFloat(5, Table::Words, 0x40, 1.0f);
    plc().setFloat(5, Table::Words, 0x42, 2.0f);
    GateDescriptor floats = gateOf("05F0040", 2);
    EXPECT_EQ(read(floats), kStatusDone);
    EXPECT_EQ(wire(), Strings{Frame({5, 3, 0x00, 0x40, 0x00, 0x04})});
    EXPECT_EQ(longAt(0), 0x3F800000u);
    EXPECT_EQ(longAt(4), 0x40000000u);

    plc().set(1, Table::Words, 0x10, {0xFF12, 0x3456, 0xAB00, 0x0001});
    GateDescriptor counters = gateOf("01C0010", 2);
    EXPECT_EQ(read(counters), kStatusDone);
    EXPECT_EQ(longAt(0), 0x123456u);
    EXPECT_EQ(longAt(4), 0x000001u);
}

TEST_F(GateReads, TheLargestBlocksFitOneReply) {
    std::vector<std::uint16_t> words(120);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::uint16_t>(0x0100 + i);
    }
    plc().set(1, Table::InputWords, 0x0900, words);
    GateDescriptor block = gateOf("0140900", 120);
    EXPECT_EQ(read(block), kStatusDone);
    EXPECT_EQ(wordAt(0), 0x0100);
    EXPECT_EQ(wordAt(238), 0x0100 + 119);
}

TEST_F(GateReads, ASilentStationCostsFourTimeouts) {
    plc().set(1, Table::Words, 0x10, {0x1234});
    plc().injectFault(1, Fault::Silent());
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusUnavailable);
    const std::string request = Frame({1, 3, 0x00, 0x10, 0x00, 0x01});
    EXPECT_EQ(wire(), Strings(4, request));
    EXPECT_EQ(messages(kSeverityTrace),
              (Strings{"KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 1",
                       "KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 2",
                       "KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 3",
                       "KOVRA> Receive() timeout 1", "KOVRA> DoRead() error reading reply, retry 4",
                       "KOVRA> SingleRead() , ret val is 2"}));
    EXPECT_EQ(values_[2], 0xEE);
    EXPECT_EQ(values_[3], 0xEE);
}

TEST_F(GateReads, AnExceptionEndsTheTransactionAtOnce) {
    plc().injectFault(1, Fault::WithException(0x02, 1));
    GateDescriptor block = gateOf("0130010", 2);
    EXPECT_EQ(read(block), kStatusRefused);
    EXPECT_EQ(wire().size(), 1u);
    EXPECT_EQ(messages(), (Strings{"KOVRA> DoRead() plc sent 0x80 => error",
                                   "KOVRA> DoRead() received 0x80 error code, 02h",
                                   "KOVRA> BlockRead() , ret val is 1"}));
    EXPECT_EQ(values_[0], 0xEE);
}

TEST_F(GateReads, NoiseThatLooksLikeAnExceptionIsACrcErrorAndRetried) {
    plc().set(1, Table::Words, 0x10, {0x0ABC});
    plc().injectFault(1, Fault::GarbageFirst({1, 0x83, 0x02, 0x00, 0x00}, 1));
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(messages(), Strings{"KOVRA> DoRead() crc error, retry 1"});
    EXPECT_EQ(singleValue(), 0x0ABC);
}

TEST_F(GateReads, AnAddressPastTheEndIsThePlcsOwnException) {
    GateDescriptor block = gateOf("013FFFF", 2);
    EXPECT_EQ(read(block), kStatusRefused);
    EXPECT_EQ(wire().size(), 1u);
    EXPECT_TRUE(logged("KOVRA> DoRead() received 0x80 error code, 02h"));
}

TEST_F(GateReads, CrcErrorsAreRetriedUntilAGoodReply) {
    plc().set(1, Table::Words, 0x10, {0x4321});
    plc().injectFault(1, Fault::CorruptCrc(3));
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire().size(), 4u);
    EXPECT_EQ(messages(),
              (Strings{"KOVRA> DoRead() crc error, retry 1", "KOVRA> DoRead() crc error, retry 2",
                       "KOVRA> DoRead() crc error, retry 3"}));
    EXPECT_EQ(singleValue(), 0x4321);
}

TEST_F(GateReads, FourCrcErrorsFailTheRead) {
    plc().injectFault(1, Fault::CorruptCrc());
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusRefused);
    EXPECT_EQ(wire().size(), 4u);
    EXPECT_TRUE(logged("KOVRA> DoRead() crc error, retry 4"));
    EXPECT_TRUE(logged("KOVRA> SingleRead() , ret val is 1"));
}

TEST_F(GateReads, AReplyFromAnotherStationIsRetried) {
    plc().set(1, Table::Words, 0x10, {0x0042});
    plc().injectFault(1, Fault::AsStation(7, 2));
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire().size(), 3u);
    EXPECT_EQ(messages(), (Strings{"KOVRA> DoRead() wrong plcaddr 7 of rcv. mess., retry 1",
                                   "KOVRA> DoRead() wrong plcaddr 7 of rcv. mess., retry 2"}));
    EXPECT_EQ(singleValue(), 0x0042);
}

TEST_F(GateReads, AnExceptionFromAnotherStationIsRetriedLikeAnyStrayReply) {
    plc().injectFault(1, Fault::Replying({9, 0x83, 0x02}, 1));
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(messages(), Strings{"KOVRA> DoRead() wrong plcaddr 9 of rcv. mess., retry 1"});
}

TEST_F(GateReads, AReplyToAnotherFunctionIsRefusedAndRetried) {
    plc().set(1, Table::Words, 0x10, {0x2222});
    plc().injectFault(1, Fault::Replying({1, 4, 2, 0x99, 0x99}, 4));
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusRefused);
    EXPECT_EQ(wire().size(), 4u);
    EXPECT_TRUE(logged("KOVRA> DoRead() wrong function 04h of rcv. mess., retry 1"));
    EXPECT_TRUE(logged("KOVRA> DoRead() wrong function 04h of rcv. mess., retry 4"));
    EXPECT_EQ(values_[2], 0xEE);
    EXPECT_EQ(values_[3], 0xEE);
}

TEST_F(GateReads, AReplyWithTheWrongByteCountIsRefusedAndRetried) {
    plc().set(1, Table::Words, 0x10, {0x1111, 0x2222});
    plc().injectFault(1, Fault::Replying({1, 3, 2, 0x12, 0x34}, 1));
    GateDescriptor block = gateOf("0130010", 2);
    EXPECT_EQ(read(block), kStatusDone);
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(messages(), Strings{"KOVRA> DoRead() wrong byte count 2 of rcv. mess., retry 1"});
    EXPECT_EQ(wordAt(0), 0x1111);
    EXPECT_EQ(wordAt(2), 0x2222);

    // Bits: 10 bits take 2 bytes, not 1.
    plc().injectFault(1, Fault::Replying({1, 1, 1, 0xFF}, 4));
    GateDescriptor bits = gateOf("0110000", 10);
    EXPECT_EQ(read(bits), kStatusRefused);
    EXPECT_TRUE(logged("KOVRA> DoRead() wrong byte count 1 of rcv. mess., retry 4"));
}

TEST_F(GateReads, AReplyCutShortCostsOneAttempt) {
    plc().set(1, Table::Words, 0x10, {0x0055});
    plc().injectFault(1, Fault::CutAfter(1, 1));
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(messages(), (Strings{"KOVRA> Receive() wrong length reading header",
                                   "KOVRA> DoRead() error reading reply, retry 1"}));
    EXPECT_EQ(singleValue(), 0x0055);
}

TEST_F(GateReads, GarbageBeforeTheReplyIsLeftBehindByTheNextAttempt) {
    plc().set(1, Table::Words, 0x10, {0x0066});
    plc().injectFault(1, Fault::GarbageFirst({0xAA, 0x55, 0x00}, 1));
    GateDescriptor gate = gateOf("0130010");
    EXPECT_EQ(read(gate), kStatusDone);
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(singleValue(), 0x0066);
}

TEST_F(GateReads, StationsOnOneLineAnswerForThemselves) {
    plc().set(1, Table::Words, 0, {0x0101});
    plc().set(5, Table::Words, 0, {0x0505});
    GateDescriptor one = gateOf("0130000");
    EXPECT_EQ(read(one), kStatusDone);
    EXPECT_EQ(singleValue(), 0x0101);
    GateDescriptor five = gateOf("0530000");
    EXPECT_EQ(read(five), kStatusDone);
    EXPECT_EQ(singleValue(), 0x0505);
    GateDescriptor absent = gateOf("0930000");
    EXPECT_EQ(read(absent), kStatusUnavailable);
}

TEST_F(GateReads, AWriteBeforeLeavesReadsReadingVariableLengthReplies) {
    plc().set(1, Table::Words, 0x10, {0, 0, 0});
    plc().injectFault(1, Fault::WithException(0x04, 1));
    GateDescriptor word = gateOf("0130011");
    setSingleValue(0x0777);
    EXPECT_EQ(write(word), kStatusRefused);
    EXPECT_EQ(context().writeReplyPending, 0);
    plc().set(1, Table::Words, 0x10, {7, 8, 9});
    GateDescriptor block = gateOf("0130010", 3);
    EXPECT_EQ(read(block), kStatusDone);
    EXPECT_EQ(wordAt(4), 9);
}

TEST_F(GateReads, LastQueryGatesAreAnsweredFromTheStampsWithoutThePlc) {
    const std::uint8_t stamp[6] = {125, 5, 28, 13, 45, 30};
    std::memcpy(context().lastQueryStamps + 1 * 6, stamp, sizeof stamp);
    GateDescriptor month = gateOf("01HO");
    EXPECT_EQ(read(month), kStatusDone);
    EXPECT_EQ(singleValue(), 5);
    GateDescriptor second = gateOf("01HS");
    EXPECT_EQ(read(second), kStatusDone);
    EXPECT_EQ(singleValue(), 30);
    EXPECT_TRUE(plc().requests().empty());
    EXPECT_TRUE(messages().empty());

    // A routed failure is reported like any other: the trigger gate finds
    // none of the host's letter gates here.
    GateDescriptor trigger = gateOf("01H0001");
    EXPECT_EQ(read(trigger), kStatusRefused);
    EXPECT_TRUE(logged("KOVRA> SingleRead() , ret val is 1"));
    EXPECT_TRUE(plc().requests().empty());
}

class DisabledPort : public DriverOnLine {
  protected:
    DisabledPort() {
        EXPECT_EQ(startDriver(line_.path(), "", false), kStatusDone);
        halvo::ClearRecords();
    }
    SimulatedLine line_;
    std::uint8_t values_[8] = {};
};

TEST_F(DisabledPort, ReadsAnswer2AndWritesAnswer1WithoutAWord) {
    for (const char* address : {"0130010", "01HA", "01I0000", "01S0000"}) {
        GateDescriptor single = gate(address, 1, values_);
        halvo::ClearRecords();
        EXPECT_EQ(call(kSingleRead, &single), kStatusUnavailable) << address;
        EXPECT_EQ(call(kSingleWrite, &single), kStatusRefused) << address;
    }
    GateDescriptor block = gate("0130010", 2, values_);
    halvo::ClearRecords();
    EXPECT_EQ(call(kBlockRead, &block), kStatusUnavailable);
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(line_.plc().requests().empty());
}

} // namespace
