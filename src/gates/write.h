#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

struct VpiRequest;

int SingleWrite(VpiRequest& request); // function code 7
int BlockWrite(VpiRequest& request);  // function code 10
int DoWrite(VpiRequest& request, std::uint8_t* frame, std::size_t length);

} // namespace kovra
