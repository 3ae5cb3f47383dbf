// The records that carry a gate between host and driver. Like the entry
// records, their layout is the host's binary contract on the 32-bit target.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

// Memory type characters of a gate address.
constexpr char kMemoryBits = '1';
constexpr char kMemoryInputBits = '2';
constexpr char kMemoryWords = '3';
constexpr char kMemoryInputWords = '4';
constexpr char kMemoryCounter = 'C';
constexpr char kMemoryFloat = 'F';
constexpr char kMemoryJournal = 'I';
constexpr char kMemoryClock = 'S';
constexpr char kMemoryLastQuery = 'H';

constexpr std::int32_t kNoBitNumber = -1;

struct GateAddress {
    std::int32_t station;
    std::int32_t memoryType; // the memory type character
    std::int32_t address;    // halved for C and F; letter code or 1 for H
    std::int32_t bitNumber;  // 0 to 15, or kNoBitNumber
    std::int32_t width;      // 1, 16 or 32 bits per element
};

struct ParseParams {
    const char* addressString;
    std::uint32_t reserved;
    std::int32_t gateType; // host data type, see the SingleParse checks
    std::int32_t count;    // elements; checked by BlockParse only
    GateAddress gate;
};

struct GateDescriptor {
    std::uint32_t reserved0;
    std::uint32_t reserved1;
    GateAddress gate;
    std::uint32_t reserved2; // the driver's own transfers set it to 0
    std::int32_t count;
    std::uint32_t reserved3;
    void* values; // value area: single layout when count is 1, else block layout
};

static_assert(sizeof(GateAddress) == 20);
static_assert(offsetof(GateAddress, memoryType) == 4);
static_assert(offsetof(GateAddress, address) == 8);
static_assert(offsetof(GateAddress, bitNumber) == 12);
static_assert(offsetof(GateAddress, width) == 16);
static_assert(offsetof(GateDescriptor, gate) == 8);
static_assert(offsetof(GateDescriptor, reserved2) == 28);
static_assert(offsetof(GateDescriptor, count) == 32);
static_assert(offsetof(GateDescriptor, values) == 40);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(ParseParams, gateType) == 8);
static_assert(offsetof(ParseParams, count) == 12);
static_assert(offsetof(ParseParams, gate) == 16);
static_assert(sizeof(ParseParams) == 36);
static_assert(sizeof(GateDescriptor) == 44);
#endif

struct VpiRequest;

// Points a request at a descriptor of the caller's own for the time of an
// internal transfer and gives the host's pointer back on every way out.
class LentDescriptor {
  public:
    LentDescriptor(VpiRequest& request, GateDescriptor& descriptor);
    ~LentDescriptor();
    LentDescriptor(const LentDescriptor&) = delete;
    LentDescriptor& operator=(const LentDescriptor&) = delete;

  private:
    VpiRequest& request_;
    void* saved_;
};

// A descriptor for an internal transfer of 16-bit registers (memory type 3).
GateDescriptor RegisterDescriptor(std::int32_t station, std::int32_t address, std::int32_t count,
                                  void* values);

// The descriptor the request currently points to.
GateDescriptor& DescriptorOf(const VpiRequest& request);

} // namespace kovra
