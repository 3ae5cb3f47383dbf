#pragma once

namespace kovra {

struct VpiRequest;

// Function code 14: context size, default line settings and the banner.
int GetDriverInfo(VpiRequest& request);

// The banner: three lines of 66 code-page-437 bytes framing the driver's name.
extern const char kBanner[];

} // namespace kovra
