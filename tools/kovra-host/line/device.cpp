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

std::optional<std::int64_t> ClockDrift(const std::vector<std::uint32_t>& words, std::time_t now) {
    if (!ClockFromRegisters(words)) {
        return std::nullopt;
    }
    const auto byte = [&](int i) {
        return static_cast<int>((words[i / 2] >> (i % 2 == 0 ? 8 : 0)) & 0xFF);
    };
    std::tm plc{};
    plc.tm_mday = byte(0);
    plc.tm_mon = byte(1) - 1;
    plc.tm_year = byte(2);
    plc.tm_hour = byte(3);
    plc.tm_min = byte(4);
    plc.tm_sec = byte(5);
    plc.tm_isdst = -1;
    const std::time_t when = std::mktime(&plc);
    if (when == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(when) - static_cast<std::int64_t>(now);
}

std::string DriftText(std::int64_t seconds) {
    constexpr std::int64_t kTolerated = 60;
    std::string text = (seconds > 0 ? "+" : "") + std::to_string(seconds) + " s";
    return seconds > kTolerated || seconds < -kTolerated ? text + ", over a minute" : text;
}

double WireSeconds(std::uint64_t bytes, const kovra::CommSettings& settings) {
    const double stopBits = settings.stopBits == 0 ? 1.0 : settings.stopBits == 1 ? 1.5 : 2.0;
    const double bitsPerByte =
        1.0 + settings.dataBits + (settings.parity != 0 ? 1.0 : 0.0) + stopBits;
    return static_cast<double>(bytes) * bitsPerByte / settings.baudRate;
}

} // namespace kovra_host
