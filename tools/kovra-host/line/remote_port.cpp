#include "line/remote_port.h"

namespace kovra_host {
namespace {

constexpr const char* kSchemes[] = {"tcp://", "rfc2217://"};

} // namespace

bool IsRemotePort(const std::string& port) {
    for (const char* scheme : kSchemes) {
        if (port.rfind(scheme, 0) == 0) {
            return true;
        }
    }
    return false;
}

std::optional<RemoteAddress> ParseRemotePort(const std::string& port) {
    RemoteAddress address;
    std::string rest;
    for (const std::string scheme : kSchemes) {
        if (port.rfind(scheme, 0) == 0) {
            address.rfc2217 = scheme != kSchemes[0];
            rest = port.substr(scheme.size());
        }
    }
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) {
        return std::nullopt;
    }
    address.host = rest.substr(0, colon);
    address.service = rest.substr(colon + 1);
    if (address.host.front() == '[' && address.host.back() == ']') {
        address.host = address.host.substr(1, address.host.size() - 2);
    }
    if (address.host.empty() || address.host.find_first_of("[]/") != std::string::npos ||
        address.service.find_first_not_of("0123456789") != std::string::npos ||
        address.service.size() > 5 || std::stoul(address.service) == 0 ||
        std::stoul(address.service) > 65535) {
        return std::nullopt;
    }
    return address;
}

} // namespace kovra_host
