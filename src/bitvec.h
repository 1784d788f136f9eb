// bitvec: routing codes, one sign bit per rotated component.
//
// Bit i of a code is bit (i mod 64) of words[i / 64], bit 0 being the least
// significant bit of a word. Codes are plain 384-byte values; every operation
// is pure and may run on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "constants.h"

namespace korvane {

struct BitVector {
  static constexpr std::size_t c_words = c_routing_bits / 64;

  std::array<std::uint64_t, c_words> words;

  // The all-zero code.
  static constexpr BitVector zero() noexcept { return BitVector{}; }

  // Bit i is set exactly when values[i] > 0: 0, -0 and NaN give 0 bits.
  // `values` holds c_routing_bits floats.
  static BitVector fromF32(const float* values) noexcept;

  // Number of differing bit positions, 0 ... c_routing_bits.
  std::uint32_t distance(const BitVector& other) const noexcept;

  friend bool operator==(const BitVector&, const BitVector&) = default;
};

static_assert(sizeof(BitVector) == 384);
static_assert(std::is_trivially_copyable_v<BitVector>);

// Asks for all six cache lines of a code ahead of its distance evaluation,
// into L2 and outward (prefetcht1): a code met now is likely to be met again
// soon by the same search, but not necessarily within the next few
// expansions.
inline void prefetchCode(const BitVector& code) noexcept {
  const char* p = reinterpret_cast<const char*>(&code);
  for (std::size_t line = 0; line < sizeof(BitVector); line += 64) {
    __builtin_prefetch(p + line, 0, 2);
  }
}

// Sum over `word_count` words of popcount(a[w] ^ b[w]).
std::uint32_t hammingDistance(std::size_t word_count, const std::uint64_t* a,
                              const std::uint64_t* b) noexcept;

// One word at a time with the hardware popcount: the reference for the
// vector form.
std::uint32_t hammingDistanceScalar(std::size_t word_count,
                                    const std::uint64_t* a,
                                    const std::uint64_t* b) noexcept;

}  // namespace korvane
