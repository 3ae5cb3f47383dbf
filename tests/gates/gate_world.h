// The world of the gate transaction tests: a driver cold-started on a line
// served by the PLC simulator, with station 1 a P200 and station 5 a P200X.
#pragma once

#include "plcsim/simulator.h"
#include "support/driver_line.h"
#include "support/plc_line.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace kovra {

class GateTransactions : public DriverOnLine {
  protected:
    GateTransactions() {
        plc().addStation(1, plcsim::Model::P200);
        plc().addStation(5, plcsim::Model::P200X);
        EXPECT_EQ(startDriver(line_.path(), "IFG = 0\nP200X = 05\n"), kStatusDone);
        setReplyTimeout(5); // 50 ms
        values_.fill(0xEE);
        halvo::ClearRecords();
    }

    plcsim::Simulator& plc() { return line_.plc(); }

    // Parses a gate whose value area is this fixture's, filled with 0xEE.
    GateDescriptor gateOf(const std::string& address, std::int32_t count = 1) {
        GateDescriptor descriptor = gate(address, count, values_.data());
        plc().clearLog();
        halvo::ClearRecords();
        return descriptor;
    }
    int read(GateDescriptor& descriptor) {
        return call(descriptor.count == 1 ? kSingleRead : kBlockRead, &descriptor);
    }
    int write(GateDescriptor& descriptor) { return call(kSingleWrite, &descriptor); }
    int blockWrite(GateDescriptor& descriptor) { return call(kBlockWrite, &descriptor); }

    // The request frames the simulator received, in hexadecimal.
    std::vector<std::string> wire() {
        std::vector<std::string> frames;
        for (const auto& frame : plc().requests()) {
            frames.push_back(Hex(frame));
        }
        return frames;
    }
    static std::string Frame(std::vector<std::uint8_t> bytes) { return Hex(WithCrc(bytes)); }

    std::uint16_t singleValue() const { return wordAt(2); }
    std::uint16_t wordAt(std::size_t offset) const {
        std::uint16_t value = 0;
        std::memcpy(&value, values_.data() + offset, sizeof value);
        return value;
    }
    std::uint32_t longAt(std::size_t offset) const {
        std::uint32_t value = 0;
        std::memcpy(&value, values_.data() + offset, sizeof value);
        return value;
    }
    void setSingleValue(std::uint16_t value) { std::memcpy(values_.data() + 2, &value, 2); }

    SimulatedLine line_;
    std::array<std::uint8_t, 512> values_{};
};

} // namespace kovra
