// Global allocation functions for the fuzz target and its replay driver
// (not for the library or any other test): they keep a few freed very large
// blocks for reuse.
//
// Every loaded index allocates a 37.7 MB rotation, and every round trip a
// 38 MB image; fresh pages for them cost far more than parsing does, so
// without reuse the fuzzer would run a few inputs a second (and the replay
// of the saved corpus would take ten times as long). A block is
// reused only for a request of the same alignment that it covers with at
// most 1 MiB to spare. While parked it is poisoned, so a use after free is
// still reported; on reuse only the requested bytes are unpoisoned, so an
// overflow into the spare part is still reported too.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>

namespace {

constexpr std::size_t c_large = std::size_t{16} << 20;
constexpr std::size_t c_slack = std::size_t{1} << 20;
constexpr int c_slots = 8;

struct Block {
  void* p = nullptr;
  std::size_t size = 0;
  std::size_t align = 0;
};

std::mutex g_mutex;
Block g_live[c_slots];    // large blocks in use
Block g_parked[c_slots];  // large blocks freed, kept for reuse

void* fresh(std::size_t size, std::size_t align) {
  if (size == 0) size = 1;
  if (align <= alignof(std::max_align_t)) return std::malloc(size);
  void* p = nullptr;
  return posix_memalign(&p, align, size) == 0 ? p : nullptr;
}

void* allocate(std::size_t size, std::size_t align) {
  if (size < c_large) return fresh(size, align);
  std::lock_guard<std::mutex> lock(g_mutex);
  int live = -1;
  for (int i = 0; i < c_slots && live < 0; ++i) {
    if (g_live[i].p == nullptr) live = i;
  }
  if (live < 0) return fresh(size, align);  // untracked: freed normally
  void* p = nullptr;
  std::size_t got = size;
  for (Block& b : g_parked) {
    if (b.p != nullptr && b.align == align && b.size >= size && b.size - size <= c_slack) {
      p = b.p;
      got = b.size;
      b = Block{};
      ASAN_UNPOISON_MEMORY_REGION(p, size);
      break;
    }
  }
  if (p == nullptr) p = fresh(size, align);
  if (p != nullptr) g_live[live] = Block{p, got, align};
  return p;
}

void release(void* p) {
  if (p == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (Block& b : g_live) {
      if (b.p != p) continue;
      Block freed = b;
      b = Block{};
      for (Block& slot : g_parked) {
        if (slot.p == nullptr) {
          ASAN_POISON_MEMORY_REGION(freed.p, freed.size);
          slot = freed;
          return;
        }
      }
      // No room: give back the oldest parked block and keep this one.
      ASAN_UNPOISON_MEMORY_REGION(g_parked[0].p, g_parked[0].size);
      std::free(g_parked[0].p);
      for (int i = 1; i < c_slots; ++i) g_parked[i - 1] = g_parked[i];
      ASAN_POISON_MEMORY_REGION(freed.p, freed.size);
      g_parked[c_slots - 1] = freed;
      return;
    }
  }
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) {
  if (void* p = allocate(n, 0)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = allocate(n, 0)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
  if (void* p = allocate(n, static_cast<std::size_t>(a))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
  if (void* p = allocate(n, static_cast<std::size_t>(a))) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
