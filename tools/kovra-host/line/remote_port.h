// A J-bus line behind a serial device server: tcp://HOST:PORT passes the
// bytes as they are, rfc2217://HOST:PORT speaks telnet and sets the server's
// line from the host's own settings. The relay stands it in for the device.
#pragma once

#include "contract/records.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kovra_host {

struct RemoteAddress {
    bool rfc2217 = false;
    std::string host;
    std::string service;
};

// Whether the port names a device server rather than a device.
bool IsRemotePort(const std::string& port);
// The parts of a remote port; nothing when it is not "tcp://HOST:PORT" or
// "rfc2217://HOST:PORT" (HOST in brackets for an IPv6 address).
std::optional<RemoteAddress> ParseRemotePort(const std::string& port);

class RemotePort {
  public:
    // Connects (and for RFC 2217 has the line set); null with the reason.
    static std::unique_ptr<RemotePort>
    Connect(const std::string& port, const kovra::CommSettings& settings, std::string& error);
    virtual ~RemotePort() = default;

    // The connection's descriptor, non-blocking, for polling; the port owns it.
    virtual int fd() const = 0;
    // As read(2): the data that came from the line, -1 with EAGAIN when only
    // telnet commands came, 0 when the server closed the connection.
    virtual ssize_t receive(std::uint8_t* bytes, std::size_t size) = 0;
    // Sends data toward the line; false when the connection failed.
    virtual bool send(const std::uint8_t* bytes, std::size_t count) = 0;
    // The line settings the server confirmed, in words; empty for raw TCP.
    virtual std::string confirmed() const = 0;
};

} // namespace kovra_host
