// The driver against a J-bus slave nobody here wrote: libmodbus's RTU server,
// on the far end of a null-modem cable between two pseudo-terminals.
#include "support/driver_line.h"
#include "support/plc_line.h"

#include <modbus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

using namespace kovra;

namespace {

constexpr int kStation = 0x11;

class LibmodbusPeer : public DriverOnLine {
  protected:
    LibmodbusPeer() {
        mapping_ = modbus_mapping_new(0x200, 0x200, 0x200, 0x200);
        server_ = modbus_new_rtu(cable_.pathB().c_str(), 9600, 'N', 8, 1);
        if (mapping_ == nullptr || server_ == nullptr || modbus_set_slave(server_, kStation) != 0 ||
            modbus_connect(server_) != 0) {
            ADD_FAILURE() << "libmodbus server: " << modbus_strerror(errno);
            return;
        }
        // Wake up now and then to notice the end of the test.
        modbus_set_indication_timeout(server_, 0, 50000);
        thread_ = std::thread([this] { serve(); });
        EXPECT_EQ(startDriver(cable_.pathA(), "IFG = 0\n"), kStatusDone);
        setReplyTimeout(50);
        halvo::ClearRecords();
    }

    ~LibmodbusPeer() override {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (server_ != nullptr) {
            modbus_close(server_);
            modbus_free(server_);
        }
        if (mapping_ != nullptr) {
            modbus_mapping_free(mapping_);
        }
    }

    void serve() {
        std::uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            const int length = modbus_receive(server_, request);
            if (length > 0) {
                const std::lock_guard lock(mutex_);
                modbus_reply(server_, request, length, mapping_);
            }
        }
    }

    // The peer's memory, touched only between its replies.
    template <typename Action> void withMemory(Action action) {
        const std::lock_guard lock(mutex_);
        action(*mapping_);
    }

    GateDescriptor gateAt(const std::string& address, int count) {
        return gate(address, count, values_);
    }

    NullModem cable_;
    modbus_mapping_t* mapping_ = nullptr;
    modbus_t* server_ = nullptr;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::uint8_t values_[256] = {};
};

std::uint16_t Word(const std::uint8_t* bytes, std::size_t index) {
    std::uint16_t value = 0;
    std::memcpy(&value, bytes + 2 * index, sizeof value);
    return value;
}

TEST_F(LibmodbusPeer, ReadsEveryStandardMemoryTypeAsThePeerHoldsIt) {
    withMemory([](modbus_mapping_t& m) {
        const std::uint8_t bits[] = {1, 0, 0, 1, 1, 0, 1, 0, 1, 1, 1};
        std::memcpy(m.tab_bits + 0x20, bits, sizeof bits);
        m.tab_input_bits[0x31] = 1;
        for (int i = 0; i < 5; ++i) {
            m.tab_registers[0x40 + i] = static_cast<std::uint16_t>(0x1111 * (i + 1));
            m.tab_input_registers[0x50 + i] = static_cast<std::uint16_t>(0xF000 + i);
        }
        m.tab_registers[0x60] = 0xAB12;
        m.tab_registers[0x61] = 0x3456;
    });

    GateDescriptor bits = gateAt("1110020", 11);
    ASSERT_EQ(call(kBlockRead, &bits), kStatusDone);
    EXPECT_EQ(values_[0], 0x59); // 1,0,0,1,1,0,1,0 lowest first
    EXPECT_EQ(values_[1], 0x07);

    GateDescriptor inputBits = gateAt("1120030", 2);
    ASSERT_EQ(call(kBlockRead, &inputBits), kStatusDone);
    EXPECT_EQ(values_[0], 0x02);
    GateDescriptor inputBit = gateAt("1120031", 1);
    ASSERT_EQ(call(kSingleRead, &inputBit), kStatusDone);
    EXPECT_EQ(Word(values_, 1), 1);

    GateDescriptor words = gateAt("1130040", 5);
    ASSERT_EQ(call(kBlockRead, &words), kStatusDone);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Word(values_, i), 0x1111 * (i + 1));
    }

    GateDescriptor inputWords = gateAt("1140050", 5);
    ASSERT_EQ(call(kBlockRead, &inputWords), kStatusDone);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Word(values_, i), 0xF000 + i);
    }

    GateDescriptor counter = gateAt("11C0060", 1);
    ASSERT_EQ(call(kSingleRead, &counter), kStatusDone);
    std::uint32_t value = 0;
    std::memcpy(&value, values_, sizeof value);
    EXPECT_EQ(value, 0x123456u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(LibmodbusPeer, WritesLandInThePeersMemory) {
    GateDescriptor bit = gateAt("1110007", 1);
    const std::uint16_t one = 1;
    std::memcpy(values_ + 2, &one, sizeof one);
    ASSERT_EQ(call(kSingleWrite, &bit), kStatusDone);

    GateDescriptor word = gateAt("1130100", 1);
    const std::uint16_t word16 = 0xC0DE;
    std::memcpy(values_ + 2, &word16, sizeof word16);
    ASSERT_EQ(call(kSingleWrite, &word), kStatusDone);

    GateDescriptor block = gateAt("1130001", 4);
    const std::uint8_t clock[8] = {0x1C, 0x05, 0x7D, 0x0D, 0x2D, 0x1E, 0x00, 0x03};
    std::memcpy(values_, clock, sizeof clock);
    ASSERT_EQ(call(kBlockWrite, &block), kStatusDone);

    withMemory([](modbus_mapping_t& m) {
        EXPECT_EQ(m.tab_bits[7], 1);
        EXPECT_EQ(m.tab_bits[6], 0);
        EXPECT_EQ(m.tab_registers[0x100], 0xC0DE);
        EXPECT_EQ(m.tab_registers[1], 0x1C05);
        EXPECT_EQ(m.tab_registers[2], 0x7D0D);
        EXPECT_EQ(m.tab_registers[3], 0x2D1E);
        EXPECT_EQ(m.tab_registers[4], 0x0003);
        EXPECT_EQ(m.tab_registers[5], 0);
    });
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(context().writeReplyPending, 0);
}

TEST_F(LibmodbusPeer, ThePeersOwnExceptionEndsARead) {
    GateDescriptor beyond = gateAt("11301FF", 2); // the mapping ends at 0x1FF
    EXPECT_EQ(call(kBlockRead, &beyond), kStatusRefused);
    EXPECT_TRUE(logged("KOVRA> DoRead() received 0x80 error code, 02h"));
}

} // namespace
