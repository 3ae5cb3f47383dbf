// The initialisation file: per-instance options beside the host, read once per
// cold start. Lines are matched with the standard formatted-input rules, so a
// blank in a pattern stands for any run of white space, none included.
#include "driver/init_file.h"

#include "contract/context.h"
#include "contract/driver_files.h"
#include "contract/host_library.h"
#include "contract/records.h"

#include <cstdio>

namespace kovra {

namespace {

constexpr std::size_t kLineBufferSize = 256;
constexpr std::size_t kNameBufferSize = 64;
constexpr unsigned kHighestStation = 0xFF;
constexpr unsigned kHighestAlertMode = 4;
constexpr std::int32_t kFallbackAlertMode = 2; // annunciator
constexpr unsigned kLowestTimeoutMs = 100;
constexpr unsigned kHighestTimeoutMs = 25000;

enum class Answer { No, Yes, Illegal };

// NO needs only its first two letters (so NONE is NO); YES all three, and
// anything after them is ignored.
Answer ReadAnswer(char first, char second, char third) {
    if ((first == 'N' || first == 'n') && (second == 'O' || second == 'o')) {
        return Answer::No;
    }
    if ((first == 'Y' || first == 'y') && (second == 'E' || second == 'e') &&
        (third == 'S' || third == 's')) {
        return Answer::Yes;
    }
    return Answer::Illegal;
}

// Matches a YES/NO line: at least two characters after the blanks that follow
// the equals sign, the line end counting as one.
bool MatchAnswer(const char* line, const char* pattern, Answer* answer) {
    char first = 0;
    char second = 0;
    char third = 0;
    if (std::sscanf(line, pattern, &first, &second, &third) < 2) {
        return false;
    }
    *answer = ReadAnswer(first, second, third);
    return true;
}

// A P200X or P200 line. A sign is accepted before the hexadecimal digits, so
// the value may fall outside the station range: such a line is illegal.
enum class StationLine { NoMatch, Station, OutOfRange };

StationLine MatchStation(const char* line, const char* pattern, unsigned* station) {
    unsigned value = 0;
    if (std::sscanf(line, pattern, &value) != 1) {
        return StationLine::NoMatch;
    }
    if (value > kHighestStation) {
        return StationLine::OutOfRange;
    }
    *station = value;
    return StationLine::Station;
}

void ReportIllegalLine(const char* line) {
    err(kSeverityError, "KOVRA> ReadInitFile() ILLEGAL LINE '%s'", line);
}

void ApplyLine(DriverContext& context, const char* line) {
    // A station line marks one station as the one model or the other.
    struct ModelLine {
        const char* pattern;
        std::uint8_t isP200X;
        const char* message;
    };
    static constexpr ModelLine kModelLines[] = {
        {"P200X = %02x", 1, "KOVRA> ReadIntFile() address %02Xh = P200X"},
        {"P200 = %02x", 0, "KOVRA> ReadIntFile() address %02Xh = P200"},
    };
    for (const ModelLine& model : kModelLines) {
        unsigned station = 0;
        switch (MatchStation(line, model.pattern, &station)) {
        case StationLine::Station:
            context.stationIsP200X[station] = model.isP200X;
            err(kSeverityTrace, model.message, station);
            return;
        case StationLine::OutOfRange:
            ReportIllegalLine(line);
            return;
        case StationLine::NoMatch:
            break;
        }
    }

    Answer answer = Answer::Illegal;
    if (MatchAnswer(line, "RTSCTS = %1c%1c%1c", &answer)) {
        context.rtsCtsSwitching = answer == Answer::Yes ? 1 : 0;
        if (answer == Answer::Illegal) {
            err(kSeverityError, "KOVRA> Illegal format of Int File:");
            err(kSeverityError,
                "KOVRA> Check for RTSCTS = in your int file. Assuming NO switching");
        }
        return;
    }

    unsigned value = 0;
    if (std::sscanf(line, "IFG = %u", &value) == 1) {
        context.interFrameGap = static_cast<std::uint16_t>(value); // low 16 bits, as documented
        return;
    }
    if (std::sscanf(line, "ALERTS = %u", &value) == 1) {
        if (value <= kHighestAlertMode) {
            context.alertMode = static_cast<std::int32_t>(value);
        } else {
            err(kSeverityError, "KOVRA> Illegal format of Int File:");
            err(kSeverityError, "KOVRA> Check for ALERTS = in your int file. Assuming ANNUNCIATOR");
            context.alertMode = kFallbackAlertMode;
        }
        return;
    }
    if (MatchAnswer(line, "CLOCKSYNC = %1c%1c%1c", &answer)) {
        context.clockSync = answer == Answer::Yes ? 1 : 0;
        if (answer == Answer::Illegal) {
            err(kSeverityError, "KOVRA> Illegal format of Int File:");
            err(kSeverityError, "KOVRA> Check for CLOCKSYNC = in your int file. Assuming no "
                                "synchronisation");
        }
        return;
    }
    if (std::sscanf(line, "COMM_TIMEOUT = %u", &value) == 1) {
        if (value >= kLowestTimeoutMs && value <= kHighestTimeoutMs) {
            context.timeoutTicks = static_cast<std::int32_t>(value / 10);
        } else {
            err(kSeverityError, "KOVRA> COMM_TIMEOUT in milliseconds, %u illegal value", value);
        }
        return;
    }

    if (line[0] == '\n' || line[0] == '\r') {
        return; // an empty line
    }
    ReportIllegalLine(line);
}

} // namespace

std::FILE* FindInitFile(const char* base, char* nameBuffer, std::size_t bufferSize, int number) {
    // Own file first (KOVRA03.INT, then KOVRA3.INT), then the one shared by
    // every instance without a file of its own.
    for (int which = 0; which < kInitFileNameCount; ++which) {
        InitFileName(which, base, number, nameBuffer, bufferSize);
        if (std::FILE* file = std::fopen(nameBuffer, "r")) {
            return file;
        }
    }
    return nullptr;
}

void ReadIntFile(VpiRequest& request) {
    DriverContext& context = ContextOf(request);
    char name[kNameBufferSize];
    std::FILE* file = FindInitFile(kInitFileBase, name, sizeof name, request.driverNumber);
    if (file == nullptr) {
        err(kSeverityError, "KOVRA> ColdStart() no initfile found, defaults used");
        return;
    }
    err(kSeverityTrace, "KOVRA> ColdStart() reading initfile '%s'", name);

    // A line longer than the buffer is taken in pieces, each handled as a line.
    char line[kLineBufferSize];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        ApplyLine(context, line);
    }
    std::fclose(file);
}

} // namespace kovra
