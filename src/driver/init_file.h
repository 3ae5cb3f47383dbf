#pragma once

#include <cstddef>
#include <cstdio>

namespace kovra {

struct VpiRequest;

// Reads KOVRAnn.INT, KOVRAn.INT or KOVRA.INT from the current directory into
// the context's options. A missing file leaves the defaults.
void ReadIntFile(VpiRequest& request);

// Tries the three names in order; leaves the last name tried in nameBuffer.
std::FILE* FindInitFile(const char* base, char* nameBuffer, std::size_t bufferSize, int number);

} // namespace kovra
