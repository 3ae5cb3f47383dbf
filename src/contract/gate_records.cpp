#include "contract/gate_records.h"

#include "contract/records.h"

namespace kovra {

LentDescriptor::LentDescriptor(VpiRequest& request, GateDescriptor& descriptor)
    : request_(request), saved_(request.operationData) {
    request.operationData = &descriptor;
}

LentDescriptor::~LentDescriptor() {
    request_.operationData = saved_;
}

GateDescriptor RegisterDescriptor(std::int32_t station, std::int32_t address, std::int32_t count,
                                  void* values) {
    GateDescriptor descriptor{};
    descriptor.gate = GateAddress{station, kMemoryWords, address, kNoBitNumber, 16};
    descriptor.reserved2 = 0;
    descriptor.count = count;
    descriptor.values = values;
    return descriptor;
}

GateDescriptor& DescriptorOf(const VpiRequest& request) {
    return *static_cast<GateDescriptor*>(request.operationData);
}

} // namespace kovra
