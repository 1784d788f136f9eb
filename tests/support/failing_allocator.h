// A test-only replacement of the global allocation functions that can fail
// on demand: failNthAllocation(n) makes the n-th allocation from now fail
// (plain forms throw std::bad_alloc, nothrow forms return null), once.
//
// Include this header in exactly one source file of a test executable: it
// defines the replacement functions.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace failing_allocator {

inline std::atomic<long> countdown{0};  // 0: never fail
inline std::atomic<long> allocations{0};

// The n-th allocation from now fails (n >= 1); 0 disarms.
inline void failNthAllocation(long n) { countdown.store(n); }
inline void disarm() { countdown.store(0); }
// Whether the armed failure has not happened yet.
inline bool armed() { return countdown.load() > 0; }

inline bool shouldFail() {
  allocations.fetch_add(1, std::memory_order_relaxed);
  long c = countdown.load();
  while (c > 0) {
    if (countdown.compare_exchange_weak(c, c - 1)) return c == 1;
  }
  return false;
}

inline void* allocate(std::size_t size, std::size_t alignment) {
  if (shouldFail()) return nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

// Runs `attempt` with the 1st, 2nd, ... allocation failing until an attempt
// performs fewer allocations than the failure point (so it succeeded without
// meeting the failure), calling `check(n)` after every attempt that met it.
// Returns the number of failure points exercised.
template <class Attempt, class Check>
long sweep(Attempt&& attempt, Check&& check, long limit = 100000) {
  for (long n = 1; n <= limit; ++n) {
    failNthAllocation(n);
    const bool result = attempt();
    const bool hit = !armed();
    disarm();
    if (!hit) return n - 1;
    check(n, result);
  }
  return limit;
}

}  // namespace failing_allocator

// The replacement deallocation functions release what the replacement
// allocation functions took from malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (void* p = failing_allocator::allocate(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = failing_allocator::allocate(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return failing_allocator::allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return failing_allocator::allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t al) {
  if (void* p = failing_allocator::allocate(size, static_cast<std::size_t>(al))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t al) {
  if (void* p = failing_allocator::allocate(size, static_cast<std::size_t>(al))) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  return failing_allocator::allocate(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  return failing_allocator::allocate(size, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
