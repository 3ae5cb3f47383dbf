#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

struct GateDescriptor;
struct VpiRequest;

int SingleRead(VpiRequest& request); // function code 5
int BlockRead(VpiRequest& request);  // function code 6
// The read transaction without the port check; also run by the journal.
int DoRead(VpiRequest& request);
std::size_t BuildReadRequest(const GateDescriptor& descriptor, std::uint8_t* frame);
int DecodeReadReply(const GateDescriptor& descriptor, const std::uint8_t* reply);

} // namespace kovra
