// Ending the driver. The stopping flag it sets is shared by the whole process
// and never cleared, so these cases live in an executable of their own and
// call the handlers directly wherever the flag may already be set.
#include "driver/lifecycle.h"
#include "driver/stopping.h"
#include "link/serial_port.h"
#include "support/world.h"

#include <cstring>
#include <memory>

using namespace kovra;

namespace {

using Bytes = std::vector<std::uint8_t>;

class EndVpiTest : public HostLibraryTest {
  protected:
    EndVpiTest() : context_(std::make_unique<DriverContext>()) {
        std::memset(context_.get(), 0, sizeof(DriverContext));
    }
    ~EndVpiTest() override {
        if (context_->portHandle != nullptr) {
            ClosePortHandle(context_->portHandle);
        }
    }

    VpiRequest request(std::uint32_t code, void* data = nullptr) {
        return VpiRequest{context_.get(), code, 3, 0, data};
    }

    Bytes contextBytes() const {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(context_.get());
        return Bytes(bytes, bytes + sizeof(DriverContext));
    }

    TempCurrentDirectory directory_;
    std::unique_ptr<DriverContext> context_;
};

TEST_F(EndVpiTest, EndingWithoutAPortAnswersZeroAndSaysNothing) {
    PortParams params{};
    VpiRequest start = request(kColdStart, &params);
    ASSERT_EQ(ColdStart(start), 0);
    halvo::ClearRecords();
    VpiRequest end = request(kEndVpi);
    EXPECT_EQ(EndVpi(end), 0);
    EXPECT_EQ(stopping, 1);
    EXPECT_TRUE(messages().empty());
}

TEST_F(EndVpiTest, EndingClosesThePortAndSilencesEveryLaterRequest) {
    PtyPair pty;
    PortParams params{};
    VpiRequest start = request(kColdStart, &params);
    ASSERT_EQ(ColdStart(start), 0);
    PortChange change{};
    std::strncpy(change.portName, pty.slavePath().c_str(), sizeof change.portName - 1);
    change.timeoutTicks = 10;
    change.settings = CommSettings{9600, 8, 0, 0};
    VpiRequest open = request(kChangeVpiParams, &change);
    ASSERT_EQ(ChangeVpiParams(open), 0);

    VpiRequest end = request(kEndVpi);
    EXPECT_EQ(EndVpi(end), 0);
    EXPECT_EQ(stopping, 1);
    EXPECT_EQ(context_->portHandle, nullptr);
    PortHandle probe = nullptr;
    ASSERT_EQ(OpenPort(pty.slavePath().c_str(), CommSettings{9600, 8, 0, 0}, kLineControlDtrRtsOn,
                       &probe),
              kSerialOk);
    ClosePortHandle(probe);

    ReleaseLastEvents(*context_);
    halvo::ClearRecords();
    std::memset(context_.get(), 0x6B, sizeof(DriverContext));
    const Bytes before = contextBytes();
    PortParams restart{};
    std::strncpy(restart.portName, pty.slavePath().c_str(), sizeof restart.portName - 1);
    restart.portEnabled = 1;
    restart.settings = CommSettings{9600, 8, 0, 0};
    VpiRequest coldStart = request(kColdStart, &restart);
    EXPECT_EQ(VpiMain(&coldStart), 0);
    DriverInfo info{};
    std::memset(&info, 0x5A, sizeof info);
    VpiRequest driverInfo = request(kGetDriverInfo, &info);
    EXPECT_EQ(VpiMain(&driverInfo), 0);
    EXPECT_EQ(info.driverId, 0x5A5A5A5A);
    for (std::uint32_t code : {0u, 2u, 8u, 9u, 11u, 12u, 13u, 15u, 16u, 17u, 0xFFFFFFFFu}) {
        VpiRequest any = request(code, &change);
        EXPECT_EQ(VpiMain(&any), 0) << code;
    }
    EXPECT_EQ(contextBytes(), before);
    EXPECT_TRUE(messages().empty());
    std::memset(context_.get(), 0, sizeof(DriverContext));
}

} // namespace
