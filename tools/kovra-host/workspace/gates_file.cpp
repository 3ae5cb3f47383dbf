#include "workspace/gates_file.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kovra_host {
namespace {

struct TypeName {
    const char* name;
    int code;
};

constexpr TypeName kTypeNames[] = {
    {"word", 0}, {"word1", 1}, {"word2", 2},   {"float", 3},
    {"long", 4}, {"long5", 5}, {"digital", 6},
};

// Splits on white space; double quotes keep blanks inside a field.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        }
        if (at >= line.size() || line[at] == '#') {
            break;
        }
        std::string field;
        if (line[at] == '"') {
            const auto close = line.find('"', at + 1);
            if (close == std::string::npos) {
                throw GatesFileError("unclosed quote");
            }
            field = line.substr(at + 1, close - at - 1);
            at = close + 1;
        } else {
            while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) {
                field += line[at++];
            }
        }
        fields.push_back(field);
    }
    return fields;
}

std::optional<double> Number(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// A float's bits have a sign of their own.
GateSpec Signed(GateSpec gate, bool isSigned) {
    if (isSigned && gate.rule == halvo::CookRule::FloatBits) {
        throw GatesFileError("signed applies to linear cooking, not to float");
    }
    gate.isSigned = isSigned;
    return gate;
}

} // namespace

std::string CanonicalGateAddress(const std::string& text) {
    static constexpr const char* kHex = "0123456789ABCDEF";
    static constexpr const char* kAllowed[] = {kHex, kHex, "1234CFIHS", kHex,
                                               kHex, kHex, kHex,        kHex};
    std::string address;
    for (const char c : text) {
        address += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const bool letter = address.size() == 4 && address[2] == 'H';
    if (!letter && address.size() != 7 && address.size() != 8) {
        throw GatesFileError("gate '" + text +
                             "' has 7 characters (ssTaaaa), 8 with a bit number, or 4 for an H "
                             "gate's letter (ssHA)");
    }
    for (std::size_t i = 0; i < address.size(); ++i) {
        const char* allowed = letter && i == 3 ? "AHJMOS" : kAllowed[i];
        if (std::strchr(allowed, address[i]) == nullptr) {
            throw GatesFileError("gate '" + text + "': character " + std::to_string(i + 1) + " ('" +
                                 text[i] + "') cannot stand there");
        }
    }
    return address;
}

std::optional<int> ImpliedHostType(const std::string& address) {
    if (address.size() < 3) {
        return std::nullopt;
    }
    switch (address[2]) {
    case '1':
    case '2':
    case 'I':
    case 'S':
        return halvo::kHostDigital;
    case '3':
    case '4':
        return address.size() == 8 ? halvo::kHostDigital : halvo::kHostWord;
    case 'H':
        return halvo::kHostWord;
    case 'C':
        return halvo::kHostLong;
    case 'F':
        return halvo::kHostFloat;
    default:
        return std::nullopt;
    }
}

int GateWidth(const std::string& address) {
    if (address.size() < 3) {
        return 16;
    }
    switch (address[2]) {
    case '1':
    case '2':
    case 'I':
    case 'S':
        return 1;
    case 'C':
    case 'F':
        return 32;
    default:
        return address.size() == 8 ? 1 : 16;
    }
}

GateSpec DefaultGate(const std::string& address) {
    GateSpec gate;
    gate.address = address;
    gate.hostType = ImpliedHostType(address).value_or(halvo::kHostWord);
    if (gate.hostType == halvo::kHostFloat) {
        gate.rule = halvo::CookRule::FloatBits;
    }
    return gate;
}

std::optional<int> HostTypeByName(const std::string& name) {
    for (const auto& type : kTypeNames) {
        if (name == type.name) {
            return type.code;
        }
    }
    if (name.size() == 1 && name[0] >= '0' && name[0] <= '6') {
        return name[0] - '0';
    }
    return std::nullopt;
}

const char* HostTypeName(int hostType) {
    for (const auto& type : kTypeNames) {
        if (type.code == hostType) {
            return type.name;
        }
    }
    return "?";
}

namespace {

// The cooking rule from fields[next] on; `next` ends past what it took.
void ReadCooking(const std::vector<std::string>& fields, std::size_t& next, GateSpec& gate) {
    const std::string& rule = fields[next++];
    if (rule == "float") {
        gate.rule = halvo::CookRule::FloatBits;
    } else if (rule == "raw") {
        gate.rule = halvo::CookRule::Linear;
        gate.scale = 1.0;
        gate.offset = 0.0;
    } else if (rule == "linear") {
        gate.rule = halvo::CookRule::Linear;
        if (next >= fields.size()) {
            throw GatesFileError("linear needs a SCALE and an optional OFFSET");
        }
        const auto scale = Number(fields[next++]);
        if (!scale) {
            throw GatesFileError("linear SCALE '" + fields[next - 1] + "' is not a number");
        }
        gate.scale = *scale;
        gate.offset = 0.0;
        if (next < fields.size()) {
            const auto offset = Number(fields[next++]);
            if (!offset) {
                throw GatesFileError("linear OFFSET '" + fields[next - 1] + "' is not a number");
            }
            gate.offset = *offset;
        }
    } else {
        throw GatesFileError("unknown cooking '" + rule +
                             "' (linear SCALE [OFFSET], float or raw)");
    }
}

} // namespace

std::optional<GateSpec> ParseGateLine(const std::string& line) {
    std::vector<std::string> fields = Fields(line);
    if (fields.empty()) {
        return std::nullopt;
    }
    const bool isSigned = fields.size() > 1 && fields.back() == "signed";
    if (isSigned) {
        fields.pop_back();
    }
    const std::string& address = fields[0];
    if (address.size() < 4 || address.size() > 8) {
        throw GatesFileError("gate address '" + address + "' must have 4 to 8 characters");
    }
    GateSpec gate = DefaultGate(address);
    std::size_t next = 1;
    // The second field is the type unless it starts the cooking rule; "float"
    // there is the type, whose cooking is float as well.
    if (next < fields.size() && fields[next] != "linear" && fields[next] != "raw") {
        if (fields[next] != "-") {
            const auto type = HostTypeByName(fields[next]);
            if (!type) {
                throw GatesFileError("unknown host type '" + fields[next] +
                                     "' (word, word1, word2, float, long, long5, digital or 0-6)");
            }
            gate.hostType = *type;
            gate.rule =
                *type == halvo::kHostFloat ? halvo::CookRule::FloatBits : halvo::CookRule::Linear;
        }
        ++next;
    }
    if (next >= fields.size()) {
        return Signed(gate, isSigned);
    }
    ReadCooking(fields, next, gate);
    if (next < fields.size()) {
        throw GatesFileError("unexpected '" + fields[next] + "' after the cooking rule");
    }
    return Signed(gate, isSigned);
}

std::vector<GateSpec> ReadGatesFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw GatesFileError("cannot read gates file " + path + ": " + std::strerror(errno));
    }
    std::vector<GateSpec> gates;
    std::string line;
    unsigned number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        try {
            if (auto gate = ParseGateLine(line)) {
                gates.push_back(*gate);
            }
        } catch (const GatesFileError& error) {
            throw GatesFileError("gates file " + path + " line " + std::to_string(number) + ": " +
                                 error.what());
        }
    }
    if (in.bad()) {
        throw GatesFileError("cannot read gates file " + path + ": " + std::strerror(errno));
    }
    return gates;
}

std::optional<std::uint32_t> Uncook(const GateSpec& gate, double value, int width) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    if (gate.rule == halvo::CookRule::FloatBits) {
        const float single = static_cast<float>(value);
        std::uint32_t bits = 0;
        std::memcpy(&bits, &single, sizeof bits);
        return bits;
    }
    if (gate.scale == 0.0) {
        return std::nullopt;
    }
    const double raw = std::round((value - gate.offset) / gate.scale);
    const bool isSigned = gate.isSigned && width > 1;
    const double span = width == 1 ? 2.0 : std::ldexp(1.0, width);
    const double lowest = isSigned ? -span / 2 : 0.0;
    if (raw < lowest || raw > lowest + span - 1) {
        return std::nullopt;
    }
    // Two's complement: a negative raw value wraps into the width.
    const double wrapped = raw < 0 ? raw + span : raw;
    return static_cast<std::uint32_t>(wrapped);
}

} // namespace kovra_host
