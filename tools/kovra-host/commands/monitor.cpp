// kovra-host monitor: listens to a line that another master polls, or
// decodes a capture saved before.
#include "line/monitor.h"
#include "commands.h"
#include "line/listen.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kovra_host {
namespace {

constexpr unsigned kDefaultTimeoutMs = 1000;

unsigned BitsPerCharacter(const CommSettings& line) {
    // Start bit, data bits, parity bit, stop bits (one and a half counted as two).
    return 1 + line.dataBits + (line.parity == 0 ? 0 : 1) + (line.stopBits == 0 ? 1 : 2);
}

double EpochNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<std::uint8_t> ParseHex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

} // namespace

int RunMonitor(const CommandLine& line, Console& console) {
    if (!line.arguments.empty()) {
        throw UsageError("monitor takes no arguments");
    }
    const HostSettings settings = SettingsFrom(line);
    const auto replay = line.value("replay");
    if (!replay && settings.port.empty()) {
        throw UsageError("no port given: use --port DEVICE, or --replay FILE");
    }
    const auto seconds = line.number("seconds", 0.001, 1e9);
    const OutputFormat format = FormatOf(line);
    if (format == OutputFormat::Csv) {
        throw UsageError("monitor writes text or json");
    }
    Host host(settings, console);
    host.loadDriver();
    const CommSettings lineSettings =
        WithGivenSettings(host.driverInfo().defaultSettings, settings);
    const unsigned bits = BitsPerCharacter(lineSettings);
    LineMonitor monitor(lineSettings.baudRate, bits,
                        settings.timeoutMs.value_or(kDefaultTimeoutMs));
    double startEpoch = EpochNow();
    const auto show = [&](const std::vector<Transaction>& transactions) {
        for (const auto& transaction : transactions) {
            const std::string text = format == OutputFormat::Json
                                         ? TransactionJson(transaction, startEpoch)
                                         : TransactionText(transaction, startEpoch);
            std::fputs(text.c_str(), stdout);
        }
        std::fflush(stdout);
    };
    double ended = 0;
    std::string failure;
    if (replay) {
        std::ifstream in(*replay);
        if (!in) {
            throw Failure("capture " + *replay + " cannot be read");
        }
        std::string text;
        while (std::getline(in, text)) {
            if (text.rfind("# start ", 0) == 0) {
                startEpoch = std::stod(text.substr(8));
                continue;
            }
            std::istringstream fields(text);
            double at = 0;
            std::string rest;
            if (!(fields >> at) || !std::getline(fields, rest)) {
                continue;
            }
            const auto bytes = ParseHex(rest);
            show(monitor.feed(at, bytes.data(), bytes.size()));
            ended = at;
        }
    } else {
        std::ofstream save;
        if (const auto file = line.value("save")) {
            save.open(*file);
            if (!save) {
                throw Failure("capture " + *file + " cannot be written");
            }
            char head[64];
            std::snprintf(head, sizeof head, "# start %.6f\n", startEpoch);
            save << head;
        }
        CatchInterrupt();
        std::string error;
        const bool ok = Listen(
            settings.port, lineSettings,
            [&](double at, const std::uint8_t* bytes, std::size_t count) {
                if (save.is_open()) {
                    char stamp[32];
                    std::snprintf(stamp, sizeof stamp, "%.6f ", at);
                    save << stamp << HexBytes(bytes, count) << "\n" << std::flush;
                }
                show(monitor.feed(at, bytes, count));
            },
            [&](double now) {
                ended = now;
                show(monitor.idle(now));
                return !Interrupted() && !(seconds && now >= *seconds);
            },
            error);
        if (!ok) {
            failure = error;
        }
    }
    show(monitor.finish(ended));
    const std::string summary = MonitorSummary(monitor, ended, lineSettings.baudRate, bits);
    if (format == OutputFormat::Json) {
        console.line(summary.substr(0, summary.size() - 1));
    } else {
        std::printf("\n%s", summary.c_str());
    }
    // A line that went away ends the capture: what was seen is told first.
    if (!failure.empty()) {
        throw Failure(failure);
    }
    return 0;
}

} // namespace kovra_host
