// kovra-host monitor: listens to a line that another master polls, or
// decodes a capture saved before.
#include "commands/common.h"

#include "line/listen.h"
#include "line/monitor.h"

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

// The transactions as they complete, each in the chosen format.
struct Shown {
    OutputFormat format;
    double startEpoch = EpochNow();

    void operator()(const std::vector<Transaction>& transactions) const {
        for (const auto& transaction : transactions) {
            const std::string text = format == OutputFormat::Json
                                         ? TransactionJson(transaction, startEpoch)
                                         : TransactionText(transaction, startEpoch);
            Print(text.substr(0, text.size() - 1));
        }
    }
};

// Decodes a capture that --save kept; returns the time of its last bytes.
double Replay(const std::string& file, LineMonitor& monitor, Shown& show) {
    std::ifstream in(file);
    if (!in) {
        throw Failure("capture " + file + " cannot be read");
    }
    double ended = 0;
    std::string text;
    while (std::getline(in, text)) {
        if (text.rfind("# start ", 0) == 0) {
            show.startEpoch = std::stod(text.substr(8));
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
    return ended;
}

std::ofstream OpenSave(const std::optional<std::string>& file, double startEpoch) {
    std::ofstream save;
    if (file) {
        save.open(*file);
        if (!save) {
            throw Failure("capture " + *file + " cannot be written");
        }
        char head[64];
        std::snprintf(head, sizeof head, "# start %.6f\n", startEpoch);
        save << head;
    }
    return save;
}

// Listens until Ctrl-C or the seconds given; returns the time it stopped,
// and why the line failed, if it did.
double Live(const CommandLine& line, const CommSettings& lineSettings, LineMonitor& monitor,
            const Shown& show, std::string& failure) {
    const auto seconds = line.number("seconds", 0.001, 1e9);
    std::ofstream save = OpenSave(line.value("save"), show.startEpoch);
    CatchInterrupt();
    double ended = 0;
    Listen(
        line.value("port").value_or(""), lineSettings,
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
        failure);
    return ended;
}

} // namespace

int RunMonitor(const CommandLine& line, Console& console) {
    if (!line.arguments.empty()) {
        throw UsageError("monitor takes no arguments");
    }
    const SessionSettings settings = SettingsFrom(line).session;
    const auto replay = line.value("replay");
    if (!replay && settings.port.empty()) {
        throw UsageError("no port given: use --port DEVICE, or --replay FILE");
    }
    Shown show{FormatOf(line)};
    if (show.format == OutputFormat::Csv) {
        throw UsageError("monitor writes text or json");
    }
    // The driver only tells its default line settings; it sends nothing.
    DriverSession session(settings, console);
    const CommSettings lineSettings =
        WithGivenSettings(session.driverInfo().defaultSettings, settings);
    const unsigned bits = BitsPerCharacter(lineSettings);
    LineMonitor monitor(lineSettings.baudRate, bits,
                        settings.timeoutMs.value_or(kDefaultTimeoutMs));
    std::string failure;
    const double ended =
        replay ? Replay(*replay, monitor, show) : Live(line, lineSettings, monitor, show, failure);
    show(monitor.finish(ended));
    const std::string summary = MonitorSummary(monitor, ended, lineSettings.baudRate, bits);
    if (show.format == OutputFormat::Json) {
        console.line(summary.substr(0, summary.size() - 1));
    } else {
        Print("\n" + summary.substr(0, summary.size() - 1));
    }
    // A line that went away ends the capture: what was seen is told first.
    if (!failure.empty()) {
        throw Failure(failure);
    }
    return 0;
}

} // namespace kovra_host
