#pragma once

#include <cstdint>

namespace lumvar::testing {

// Counts global operator new calls made on any thread while a scope is open.
class AllocationScope {
  public:
    AllocationScope();
    ~AllocationScope();
    std::uint64_t count() const;
};

}  // namespace lumvar::testing
