#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTRI_COUNT_ALLOCATIONS 0
#else
#define ZENTRI_COUNT_ALLOCATIONS 1
#endif

namespace zentri_native {
namespace testing_support {
namespace {
std::atomic<size_t> g_minimumSize{0};
std::atomic<size_t> g_count{0};
}  // namespace

bool AllocationCountingAvailable() {
  return ZENTRI_COUNT_ALLOCATIONS != 0;
}

void StartCountingAllocations(size_t minimumSize) {
  g_count = 0;
  g_minimumSize = minimumSize;
}

size_t CountedAllocations() {
  return g_count;
}

void Note(size_t size) {
  const size_t minimum = g_minimumSize.load(std::memory_order_relaxed);
  if (minimum != 0 && size >= minimum) {
    g_count.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace testing_support
}  // namespace zentri_native

#if ZENTRI_COUNT_ALLOCATIONS
void* operator new(size_t size) {
  zentri_native::testing_support::Note(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  std::free(p);
}

void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
#endif
