// Gate address strings: "ssTaaaa[b]" (station, memory type, address, bit
// number) and the two H forms "ssHL" and "ssH0001".
#include "gates/parse.h"

#include "contract/context.h"
#include "contract/gate_records.h"
#include "contract/host_library.h"
#include "contract/records.h"

#include <cstring>

namespace kovra {

namespace {

constexpr std::size_t kMaxLength = 8;
constexpr std::size_t kPlainLength = 7;
constexpr std::size_t kBitNumberLength = 8;
constexpr std::size_t kLetterLength = 4;

// Allowed characters by position; position 3 also takes the H letters.
constexpr const char* kHexDigits = "0123456789ABCDEF";
constexpr const char* kAllowedAt[kMaxLength] = {
    "0123456789ABCDEF",  "0123456789ABCDEF",  "1234CFIHS",         "0123456789ABCDEFHJMOS",
    "0123456789ABCDEF ", "0123456789ABCDEF ", "0123456789ABCDEF ", "0123456789ABCDEF ",
};
constexpr const char* kLastQueryLetters = "AHJMOS";

// Host gate type codes.
constexpr std::int32_t kGateTypeWordLast = 2; // 0, 1, 2: 16-bit
constexpr std::int32_t kGateTypeFloat = 3;
constexpr std::int32_t kGateTypeLongFirst = 4; // 4, 5: 32-bit
constexpr std::int32_t kGateTypeLongLast = 5;
constexpr std::int32_t kGateTypeDigital = 6;

bool Contains(const char* set, char c) {
    return c != '\0' && std::strchr(set, c) != nullptr;
}

int HexValue(char c) {
    const char* digit = std::strchr(kHexDigits, c);
    return (c != '\0' && digit != nullptr) ? static_cast<int>(digit - kHexDigits) : -1;
}

// Reads up to maxDigits hexadecimal digits; false when not even one is there.
// The characters are already checked, so the number ends at a space, a letter
// outside A-F or the end of the string.
bool ReadHex(const char* text, int maxDigits, std::int32_t& value) {
    value = 0;
    int digits = 0;
    while (digits < maxDigits && HexValue(text[digits]) >= 0) {
        value = value * 16 + HexValue(text[digits]);
        ++digits;
    }
    return digits > 0;
}

int Refuse(const char* format, const char* text) {
    err(kSeverityTrace, format, text);
    return kStatusRefused;
}

int WidthOf(int memoryType) {
    switch (memoryType) {
    case kMemoryBits:
    case kMemoryInputBits:
    case kMemoryJournal:
    case kMemoryClock:
        return 1;
    case kMemoryCounter:
    case kMemoryFloat:
        return 32;
    default:
        return 16;
    }
}

ParseParams& ParamsOf(const VpiRequest& request) {
    return *static_cast<ParseParams*>(request.operationData);
}

} // namespace

int Parse(const DriverContext& context, ParseParams& params) {
    const char* text = params.addressString;
    const std::size_t length = std::strlen(text);
    GateAddress& gate = params.gate;

    if (length > kMaxLength) {
        return Refuse("KOVRA> Parse() illegal gate address string length, '%s'", text);
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (!Contains(kAllowedAt[i], text[i])) {
            err(kSeverityTrace, "KOVRA> Parse() illegal char #%d in %s", static_cast<int>(i), text);
            return kStatusRefused;
        }
    }
    if (!ReadHex(text, 2, gate.station)) {
        return Refuse("KOVRA> Parse() illegal station number, '%s'", text);
    }

    const int memoryType = length >= 3 ? text[2] : 0;
    std::int32_t address = 0;
    if (memoryType != kMemoryLastQuery) {
        if (length != kPlainLength && length != kBitNumberLength) {
            return Refuse("KOVRA> Parse() illegal gate address string length, '%s'", text);
        }
        if (!ReadHex(text + 3, 4, address)) {
            return Refuse("KOVRA> Parse() illegal gate addr, '%s'", text);
        }
    } else if (length == kLetterLength) {
        if (!Contains(kLastQueryLetters, text[3])) {
            return Refuse("KOVRA> Parse() illegal address for mem type H, '%s'", text);
        }
        address = text[3];
    } else if (length == kPlainLength) {
        if (!ReadHex(text + 3, 4, address) || address != 1) {
            return Refuse("KOVRA> Parse() illegal gate addr for H gate, '%s'", text);
        }
    } else {
        return Refuse("KOVRA> Parse() illegal gate addr str len for H gate, '%s'", text);
    }
    gate.memoryType = memoryType;

    gate.width = WidthOf(memoryType);
    if (memoryType == kMemoryCounter) {
        if (address % 2 != 0) {
            return Refuse("KOVRA> Parse() addr of counter/chrono should be even, '%s'", text);
        }
        address /= 2;
    } else if (memoryType == kMemoryFloat) {
        if (context.stationIsP200X[gate.station] != 1) {
            err(kSeverityTrace, "KOVRA> Parse() float gates only supported on P200X");
            return kStatusRefused;
        }
        if (address % 2 != 0) {
            return Refuse("KOVRA> Parse() addr of float gates should be even, '%s'", text);
        }
        address /= 2;
    }
    gate.address = address;

    if (length == kBitNumberLength) {
        if (gate.width != 16) {
            return Refuse("KOVRA> Parse() spec. dig. gates only on 16 bit gates, '%s'", text);
        }
        if (text[7] == ' ') {
            return Refuse("KOVRA> Parse() illegal bit number, '%s'", text);
        }
        gate.bitNumber = HexValue(text[7]);
    } else {
        gate.bitNumber = kNoBitNumber;
    }
    return kStatusDone;
}

int SingleParse(VpiRequest& request) {
    ParseParams& params = ParamsOf(request);
    const int status = Parse(ContextOf(request), params);
    if (status != kStatusDone) {
        return status;
    }
    const GateAddress& gate = params.gate;
    const std::int32_t type = params.gateType;
    const char* text = params.addressString;
    const bool bitNumberGate = gate.bitNumber != kNoBitNumber;

    if (gate.width == 1 || bitNumberGate) {
        if (type != kGateTypeDigital) {
            return Refuse("KOVRA> SingleParse() gate type should be DIGITAL, '%s'", text);
        }
    } else if (gate.width == 16) {
        if (type < 0 || type > kGateTypeWordLast) {
            return Refuse("KOVRA> SingleParse() gate type should be 16 bit, '%s'", text);
        }
    }
    if (gate.memoryType == kMemoryCounter &&
        (type < kGateTypeLongFirst || type > kGateTypeLongLast)) {
        return Refuse("KOVRA> SingleParse() gate type should be 32 bit, '%s'", text);
    }
    if (gate.memoryType == kMemoryFloat && type != kGateTypeFloat) {
        return Refuse("KOVRA> SingleParse() gate type should be FLOAT, '%s'", text);
    }
    return kStatusDone;
}

int BlockParse(VpiRequest& request) {
    ParseParams& params = ParamsOf(request);
    const int status = Parse(ContextOf(request), params);
    if (status != kStatusDone) {
        return status;
    }
    const GateAddress& gate = params.gate;
    if (gate.memoryType == kMemoryJournal || gate.memoryType == kMemoryClock ||
        gate.memoryType == kMemoryLastQuery) {
        err(kSeverityTrace, "KOVRA> BlockParse() illegal memtype for blocks");
        return kStatusRefused;
    }
    if (gate.bitNumber != kNoBitNumber) {
        err(kSeverityTrace, "KOVRA> BlockParse() no spec. dig. gates as block");
        return kStatusRefused;
    }
    if (params.count > MaxBlockCount(gate.width)) {
        err(kSeverityTrace, "KOVRA> BlockParse() illegal block size");
        return kStatusRefused;
    }
    return kStatusDone;
}

} // namespace kovra
