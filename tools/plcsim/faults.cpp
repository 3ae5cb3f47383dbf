// The misbehaviours a station can be given, and what they do to its reply.
#include "plcsim/parts.h"

#include <algorithm>

namespace plcsim {

std::optional<Fault> TakeFault(std::vector<Fault>& queue) {
    if (queue.empty()) {
        return std::nullopt;
    }
    const Fault fault = queue.front();
    if (queue.front().times != kAlways && --queue.front().times <= 0) {
        queue.erase(queue.begin());
    }
    return fault;
}

Fault Fault::Silent(int times) {
    return Fault{Kind::Silence, times, {}, 0, 0, 0, {}};
}

Fault Fault::Delayed(std::chrono::milliseconds delay, int times) {
    return Fault{Kind::Delay, times, delay, 0, 0, 0, {}};
}

Fault Fault::CutAfter(std::size_t bytes, int times) {
    return Fault{Kind::Cut, times, {}, bytes, 0, 0, {}};
}

Fault Fault::CorruptCrc(int times) {
    return Fault{Kind::BadCrc, times, {}, 0, 0, 0, {}};
}

Fault Fault::AsStation(std::uint8_t station, int times) {
    return Fault{Kind::WrongStation, times, {}, 0, station, 0, {}};
}

Fault Fault::WithException(std::uint8_t code, int times) {
    return Fault{Kind::Exception, times, {}, 0, 0, code, {}};
}

Fault Fault::GarbageFirst(std::vector<std::uint8_t> bytes, int times) {
    return Fault{Kind::Garbage, times, {}, 0, 0, 0, std::move(bytes)};
}

Fault Fault::Replying(std::vector<std::uint8_t> bytes, int times) {
    return Fault{Kind::Substitute, times, {}, 0, 0, 0, std::move(bytes)};
}

void Simulator::injectFault(std::uint8_t address, Fault fault) {
    const std::lock_guard lock(mutex_);
    faults_[address].push_back(std::move(fault));
}

void Simulator::clearFaults(std::uint8_t address) {
    const std::lock_guard lock(mutex_);
    faults_.erase(address);
}

void Simulator::ApplyFault(const Fault& fault, Reply& reply) {
    switch (fault.kind) {
    case Fault::Kind::Silence:
        reply.bytes.clear();
        break;
    case Fault::Kind::Delay:
        reply.delay = fault.delay;
        break;
    case Fault::Kind::Cut:
        reply.bytes.resize(std::min(fault.cutAfter, reply.bytes.size()));
        break;
    case Fault::Kind::BadCrc:
        reply.bytes.back() ^= 0x5A;
        break;
    case Fault::Kind::WrongStation:
        reply.bytes.resize(reply.bytes.size() - 2);
        reply.bytes[0] = fault.station;
        AppendCrc(reply.bytes);
        break;
    case Fault::Kind::Garbage:
        reply.bytes.insert(reply.bytes.begin(), fault.garbage.begin(), fault.garbage.end());
        break;
    case Fault::Kind::Substitute:
        reply.bytes = fault.garbage;
        AppendCrc(reply.bytes);
        break;
    case Fault::Kind::Exception:
        break;
    }
}

} // namespace plcsim
