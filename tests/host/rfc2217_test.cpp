// The telnet side of a device server connection, byte by byte, and the names
// of remote ports.
#include "line/remote_port.h"
#include "line/rfc2217.h"

#include <gtest/gtest.h>

using namespace kovra_host;
using namespace kovra_host::telnet;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Built byte by byte: GCC 12 at -O3 takes a vector insert here for an
// overflow of the four-byte head (a false -Warray-bounds).
Bytes Sub(std::uint8_t command, const Bytes& value) {
    Bytes out = {kIac, kSb, kComPortOption, command};
    for (const std::uint8_t byte : value) {
        out.push_back(byte);
    }
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

// Feeds the bytes one call at a time, as TCP may cut them anywhere.
Bytes FeedByteByByte(Reader& reader, Bytes wire, Bytes& answers) {
    Bytes data;
    for (std::uint8_t byte : wire) {
        if (reader.feed(&byte, 1, answers) == 1) {
            data.push_back(byte);
        }
    }
    return data;
}

} // namespace

TEST(Rfc2217, TheLineSettingsBecomeTheFourSetCommands) {
    struct Case {
        kovra::CommSettings settings;
        std::uint8_t dataSize, parity, stopSize;
    };
    // The port record's parity 0..4 (none, odd, even, mark, space) is the
    // option's 1..5; its stop bits 0, 1, 2 (1, 1.5, 2) are the option's 1, 3, 2.
    const Case cases[] = {
        {{9600, 8, 0, 0}, 8, 1, 1}, {{19200, 8, 0, 2}, 8, 3, 1}, {{1200, 7, 2, 1}, 7, 2, 2},
        {{4800, 8, 1, 3}, 8, 4, 3}, {{2400, 8, 1, 4}, 8, 5, 3},
    };
    for (const auto& c : cases) {
        const std::uint32_t baud = c.settings.baudRate;
        Bytes expected = Sub(kSetBaudRate, {0, static_cast<std::uint8_t>(baud >> 16),
                                            static_cast<std::uint8_t>(baud >> 8),
                                            static_cast<std::uint8_t>(baud)});
        for (const Bytes& part : {Sub(kSetDataSize, {c.dataSize}), Sub(kSetParity, {c.parity}),
                                  Sub(kSetStopSize, {c.stopSize})}) {
            expected.insert(expected.end(), part.begin(), part.end());
        }
        EXPECT_EQ(LineSettingsRequest(c.settings), expected) << baud;
    }
    // A speed whose bytes hold 0xFF (65535) is escaped inside the subnegotiation.
    EXPECT_EQ(LineSettingsRequest({65535, 8, 0, 0}).size(), 10u + 7 + 7 + 7 + 2);
}

TEST(Rfc2217, DataBytes0xFFAreDoubledOutAndSingleIn) {
    const Bytes request = {0x01, 0x06, 0x00, 0x10, 0x12, 0xFF, 0xFF, 0x2F};
    Bytes wire;
    AppendEscaped(wire, request.data(), request.size());
    EXPECT_EQ(wire, (Bytes{0x01, 0x06, 0x00, 0x10, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x2F}));

    Reader reader({9600, 8, 0, 0});
    Bytes answers;
    EXPECT_EQ(FeedByteByByte(reader, wire, answers), request);
    EXPECT_TRUE(answers.empty());
}

TEST(Rfc2217, TheServersOffersAreAnsweredOnceAndItsConfirmationsKept) {
    Reader reader({19200, 8, 0, 2});
    Bytes answers;
    // Echo is refused, once; binary, offered already, needs no answer; the
    // server's DO COM-PORT-OPTION brings the settings; its answers come back
    // with the command plus 100, between data bytes.
    Bytes wire = {kIac,    kWill, 1,    kIac, kWill,         1, kIac, kWill,
                  kBinary, 0x01,  kIac, kDo,  kComPortOption};
    for (const Bytes& part : {Sub(kSetBaudRate + kServerOffset, {0, 0, 0x4B, 0}),
                              Sub(kSetParity + kServerOffset, {3}), Bytes{0x02}}) {
        wire.insert(wire.end(), part.begin(), part.end());
    }
    EXPECT_EQ(FeedByteByByte(reader, wire, answers), (Bytes{0x01, 0x02}));
    Bytes expected = {kIac, kDont, 1};
    const Bytes settings = LineSettingsRequest({19200, 8, 0, 2});
    expected.insert(expected.end(), settings.begin(), settings.end());
    EXPECT_EQ(answers, expected);
    EXPECT_EQ(DescribeConfirmed(reader.confirmed()), "19200 baud, parity even");
}

TEST(RemotePort, OnlyTcpAndRfc2217AddressesWithAHostAndAPortAreTaken) {
    struct Case {
        const char* port;
        bool remote, valid, rfc2217;
        const char *host, *service;
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:2001", true, true, false, "127.0.0.1", "2001"},
        {"rfc2217://plc-gw.example:7000", true, true, true, "plc-gw.example", "7000"},
        {"tcp://[::1]:502", true, true, false, "::1", "502"},
        {"tcp://127.0.0.1", true, false, false, "", ""},
        {"tcp://:502", true, false, false, "", ""},
        {"tcp://host:0", true, false, false, "", ""},
        {"tcp://host:65536", true, false, false, "", ""},
        {"tcp://host:50x", true, false, false, "", ""},
        {"/dev/ttyS0", false, false, false, "", ""},
        {"telnet://host:23", false, false, false, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsRemotePort(c.port), c.remote) << c.port;
        const auto address = ParseRemotePort(c.port);
        ASSERT_EQ(address.has_value(), c.valid) << c.port;
        if (address) {
            EXPECT_EQ(address->rfc2217, c.rfc2217) << c.port;
            EXPECT_EQ(address->host, c.host) << c.port;
            EXPECT_EQ(address->service, c.service) << c.port;
        }
    }
}
