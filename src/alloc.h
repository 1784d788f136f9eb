// alloc: the helpers that turn a standard container's exhaustion into
// Error::OutOfMemory.
//
// Standard containers report exhaustion by throwing std::bad_alloc. These
// helpers are the only places that catch it, so that callers can reserve
// everything an update needs first and then commit with operations that
// cannot fail.
//
// Thread safety: each helper touches only the container it is given.
#pragma once

#include <cstddef>
#include <utility>

#include "error.h"

namespace korvane {

// Reserves room for `n` elements in total; OutOfMemory when the allocator
// refuses or when `n` exceeds what the container can address.
template <class Container>
[[nodiscard]] Status tryReserve(Container& c, std::size_t n) noexcept {
  try {
    if (n > c.max_size()) return std::unexpected(Error::OutOfMemory);
    c.reserve(n);
    return ok();
  } catch (...) {
    return std::unexpected(Error::OutOfMemory);
  }
}

// Resizes to exactly `n` elements (new ones value-initialised).
template <class Container>
[[nodiscard]] Status tryResize(Container& c, std::size_t n) noexcept {
  try {
    if (n > c.max_size()) return std::unexpected(Error::OutOfMemory);
    c.resize(n);
    return ok();
  } catch (...) {
    return std::unexpected(Error::OutOfMemory);
  }
}


// Makes sure `extra` more elements can be appended without reallocation.
// Growth is geometric so that repeated single appends stay amortised O(1).
template <class Container>
[[nodiscard]] Status tryReserveMore(Container& c, std::size_t extra) noexcept {
  const std::size_t size = c.size();
  if (extra > c.max_size() - size) return std::unexpected(Error::OutOfMemory);
  const std::size_t need = size + extra;
  if (need <= c.capacity()) return ok();
  std::size_t want = c.capacity() < c.max_size() / 2 ? c.capacity() * 2 : need;
  if (want < need) want = need;
  return tryReserve(c, want);
}

}  // namespace korvane
