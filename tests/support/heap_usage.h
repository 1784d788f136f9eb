// Bytes the C library's allocator has handed out and not taken back, for
// tests that a failed or finished call leaves nothing behind.
//
// glibc keeps freed small blocks in per-thread caches that still count as
// in use, so the count is exact only to some kilobytes; what it catches is a
// lost rotation (36 MiB), image, staging area or context. Under
// AddressSanitizer the allocator is not glibc's and this reads 0; the leak
// checker covers that build and every small block.
#pragma once

#include <malloc.h>

#include <cstddef>

namespace testsupport {

inline std::size_t heapInUse() {
  const struct mallinfo2 mi = ::mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

// Noise a balanced sequence of allocations on one thread may leave in
// glibc's caches: far below the smallest array a load allocates (its 64 KiB
// window).
inline constexpr std::size_t c_heap_noise = 16 * 1024;
// The same when worker threads ran: each keeps caches of its own.
inline constexpr std::size_t c_heap_slack = 1 << 20;

}  // namespace testsupport
