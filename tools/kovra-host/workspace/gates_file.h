// The gates file: which gates kovra-host defines in the host library, with
// their host data type and how their raw PLC values are cooked.
//
//   # comment; blank lines are ignored
//   ADDRESS  [TYPE]  [COOKING]
//   0130010  word    linear 0.1 -20
//   05C0020  long
//   05F0040  float   float
//   "0131   "                       (quotes keep blanks inside an address)
//
// TYPE is a host type code 0 to 6 or its name: word (0; also word1 = 1,
// word2 = 2), float (3), long (4; also long5 = 5), digital (6), or "-" for the
// type that the address implies. COOKING is "linear SCALE [OFFSET]" (value =
// raw × SCALE + OFFSET; the default is linear 1 0), "float" (the raw 32 bits
// are an IEEE-754 single) or "raw" (linear 1 0). A last word "signed" reads the
// raw value as two's complement of its width before the scale (0xFFF6 is -10):
//   0130012  word    linear 0.1 signed
#pragma once

#include "halvopro/halvopro.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovra_host {

// A line of the file is the host library's gate, not yet defined (id 0).
using GateSpec = halvo::Gate;

class GatesFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The host type that a gate address implies: digital for bit types, the
// journal and clock triggers and bit-number gates; 16-bit for words and H
// gates; 32-bit for counters; float for F. Nothing for a string too short to
// have a memory type.
std::optional<int> ImpliedHostType(const std::string& address);

// Bits per value of a gate, from its address: 1, 16 or 32.
int GateWidth(const std::string& address);

// A gate address as the driver spells it, from one in either case: station
// (2 hexadecimal digits), memory type, address (4 hexadecimal digits) and an
// optional bit number, or an H gate's letter (05HA). Throws GatesFileError
// naming the first character that cannot stand where it does.
std::string CanonicalGateAddress(const std::string& text);

// The gate with the type its address implies and float cooking for F gates.
GateSpec DefaultGate(const std::string& address);

// One line of the file; nothing for a blank or comment line. Throws
// GatesFileError with the reason (without the line number).
std::optional<GateSpec> ParseGateLine(const std::string& line);

// The whole file. Throws GatesFileError naming the file and the line.
std::vector<GateSpec> ReadGatesFile(const std::string& path);

// The host type code from its name or number, or nothing.
std::optional<int> HostTypeByName(const std::string& name);
const char* HostTypeName(int hostType);

// The raw value that cooks to `value` under the gate's rule (rounded, limited
// to the width's range), or nothing when no raw value does; halvo::Cook goes
// the other way.
std::optional<std::uint32_t> Uncook(const GateSpec& gate, double value, int width);

} // namespace kovra_host
