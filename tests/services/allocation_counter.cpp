// Counts the heap allocations made by the current thread, so a test can show
// that a code path allocates nothing.
#include <cstdlib>
#include <new>

#include "allocation_counter.h"

namespace {
thread_local long t_allocations = 0;
}

long allocations_on_this_thread() { return t_allocations; }

void* operator new(std::size_t n) {
  ++t_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
