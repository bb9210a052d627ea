#pragma once

#include <atomic>
#include <cstdint>

namespace lumvar::testing {

extern std::atomic<bool> countingAllocations;
extern std::atomic<std::uint64_t> allocationCount;

// Counts global operator new calls made on any thread while a scope is open.
class AllocationScope {
  public:
    AllocationScope() { allocationCount = 0, countingAllocations = true; }
    ~AllocationScope() { countingAllocations = false; }
    std::uint64_t count() const { return allocationCount; }
};

}  // namespace lumvar::testing
