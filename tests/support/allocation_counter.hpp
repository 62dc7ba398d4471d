#pragma once
// Counts heap allocations made through operator new while a scope is open.
// The test executable replaces the global allocation functions once
// (allocation_counter.cpp), so every test may use this without defining its
// own operator new.

#include <cstdint>

namespace korvane::testing {

class AllocationCounter {
  public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    // Allocations on any thread since construction.
    std::int64_t count() const;
};

}  // namespace korvane::testing
