// bit_set: a dynamic bit set over dense ids (visited marks of a traversal,
// deletion marks of an index). Bits at or beyond size() read as clear.
//
// Thread safety: const operations may run concurrently; anything else needs
// exclusive access.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "alloc.h"

namespace korvane {

class BitSet {
 public:
  std::size_t size() const noexcept { return bits_; }

  // Grows or shrinks to exactly `n` bits; new bits are clear. OutOfMemory
  // leaves the set unchanged.
  [[nodiscard]] Status resize(std::size_t n) noexcept {
    const std::size_t words = n / 64 + (n % 64 != 0);
    if (auto s = tryResize(words_, words); !s) return s;
    // Clear the bits beyond the new end in the last word, so a later growth
    // exposes clear bits only.
    if (n % 64 != 0) words_[words - 1] &= (std::uint64_t{1} << (n % 64)) - 1;
    bits_ = n;
    return ok();
  }

  bool test(std::size_t i) const noexcept {
    return i < bits_ && ((words_[i / 64] >> (i % 64)) & 1U) != 0;
  }
  // Precondition: i < size().
  void set(std::size_t i) noexcept { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
  void clearAll() noexcept {
    if (!words_.empty()) std::memset(words_.data(), 0, words_.size() * sizeof(std::uint64_t));
  }
  std::size_t count() const noexcept {
    std::size_t n = 0;
    for (std::uint64_t w : words_) n += static_cast<std::size_t>(std::popcount(w));
    return n;
  }
  // Calls f(i) for every set bit, in ascending order.
  template <class F>
  void forEachSet(F&& f) const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t x = words_[w]; x != 0; x &= x - 1) {
        f(w * 64 + static_cast<std::size_t>(std::countr_zero(x)));
      }
    }
  }
  std::size_t memoryBytes() const noexcept { return words_.capacity() * sizeof(std::uint64_t); }

  void release() noexcept {
    words_.clear();
    words_.shrink_to_fit();
    bits_ = 0;
  }

 private:
  std::vector<std::uint64_t> words_;
  std::size_t bits_ = 0;
};

}  // namespace korvane
