// Counts heap allocations of at least a given size, to show that a steady state allocates no
// frame buffers. Only available where the test binary may replace operator new (not under the
// sanitizers, which bring their own).
#pragma once

#include <cstddef>

namespace zentri_native {
namespace testing_support {

bool AllocationCountingAvailable();
// Counts allocations of at least minimumSize bytes from now on; 0 stops counting.
void StartCountingAllocations(size_t minimumSize);
size_t CountedAllocations();

}  // namespace testing_support
}  // namespace zentri_native
