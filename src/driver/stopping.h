#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KOVRA_CALL __cdecl
#define KOVRA_EXPORT
#else
#define KOVRA_CALL
#define KOVRA_EXPORT __attribute__((visibility("default")))
#endif

namespace kovra {

struct VpiRequest;

// Shared by every driver instance loaded from this library: once EndVpi has set
// it, every request answers 0 until the library is unloaded.
extern std::int32_t stopping;

} // namespace kovra

extern "C" KOVRA_EXPORT int KOVRA_CALL VpiMain(kovra::VpiRequest* request);
