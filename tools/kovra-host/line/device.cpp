#include "line/device.h"

#include <algorithm>
#include <cstdio>

namespace kovra_host {

std::optional<std::string> ModelFromFileTable(const std::vector<std::uint32_t>& words) {
    const auto nonzero = [](std::uint32_t word) { return word != 0; };
    const auto p200End =
        words.begin() + std::min<std::ptrdiff_t>(kP200FileTableWords, std::ssize(words));
    if (!std::any_of(words.begin(), p200End, nonzero)) {
        return std::nullopt;
    }
    return std::any_of(p200End, words.end(), nonzero) ? "P200X" : "P200";
}

std::optional<std::string> ClockFromRegisters(const std::vector<std::uint32_t>& words) {
    if (words.size() < kClockWords) {
        return std::nullopt;
    }
    const auto byte = [&](int i) { return (words[i / 2] >> (i % 2 == 0 ? 8 : 0)) & 0xFF; };
    const unsigned day = byte(0), month = byte(1), year = byte(2), hour = byte(3), minute = byte(4),
                   second = byte(5);
    if (day < 1 || day > 31 || month < 1 || month > 12 || hour >= 24 || minute >= 60 ||
        second >= 60) {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1900 + year, month, day, hour,
                  minute, second);
    return text;
}

double WireSeconds(std::uint64_t bytes, const kovra::CommSettings& settings) {
    const double stopBits = settings.stopBits == 0 ? 1.0 : settings.stopBits == 1 ? 1.5 : 2.0;
    const double bitsPerByte =
        1.0 + settings.dataBits + (settings.parity != 0 ? 1.0 : 0.0) + stopBits;
    return static_cast<double>(bytes) * bitsPerByte / settings.baudRate;
}

} // namespace kovra_host
