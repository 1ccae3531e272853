// The test build's global allocator: every operator new counts, and the n-th
// from a point on can be made to fail. A failure calls the new-handler when
// one is set, and the allocation is then made.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::test {

struct AllocationStats {
    std::uint64_t count = 0;    // allocations since the last reset
    std::size_t largest = 0;    // the largest single request
    std::int64_t live = 0;      // allocations not yet freed, counted from the reset
    std::size_t peak = 0;       // the most bytes held at once
    std::uint64_t bytes = 0;    // every allocation's bytes together
};

// Counting starts afresh; the n-th allocation from now throws std::bad_alloc
// (0: none does).
void ResetAllocations(std::uint64_t failAt = 0);
// Stops failing; the counts stay readable.
void StopFailing();
AllocationStats Allocations();
// True when the allocation chosen to fail was reached.
bool AllocationFailed();

}  // namespace vorn::test
