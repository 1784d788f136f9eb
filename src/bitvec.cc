#include "bitvec.h"

#include <immintrin.h>

namespace korvane {

BitVector BitVector::fromF32(const float* values) noexcept {
  BitVector code = zero();
  const __m256 zero_ps = _mm256_setzero_ps();
  for (std::size_t w = 0; w < c_words; ++w) {
    std::uint64_t word = 0;
    // Ordered, non-signalling "greater than": false for 0, -0 and NaN.
    for (std::size_t g = 0; g < 8; ++g) {
      const __m256 v = _mm256_loadu_ps(values + 64 * w + 8 * g);
      const int mask = _mm256_movemask_ps(_mm256_cmp_ps(v, zero_ps, _CMP_GT_OQ));
      word |= static_cast<std::uint64_t>(static_cast<unsigned>(mask)) << (8 * g);
    }
    code.words[w] = word;
  }
  return code;
}

std::uint32_t BitVector::distance(const BitVector& other) const noexcept {
  return hammingDistance(c_words, words.data(), other.words.data());
}

std::uint32_t hammingDistance(std::size_t word_count, const std::uint64_t* a,
                              const std::uint64_t* b) noexcept {
  // Four independent counters keep the popcount unit busy; integer sums are
  // exact in any order.
  std::uint64_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
  std::size_t w = 0;
  for (; w + 4 <= word_count; w += 4) {
    c0 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[w] ^ b[w]));
    c1 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[w + 1] ^ b[w + 1]));
    c2 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[w + 2] ^ b[w + 2]));
    c3 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[w + 3] ^ b[w + 3]));
  }
  for (; w < word_count; ++w) {
    c0 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[w] ^ b[w]));
  }
  return static_cast<std::uint32_t>(c0 + c1 + c2 + c3);
}

std::uint32_t hammingDistanceScalar(std::size_t word_count,
                                    const std::uint64_t* a,
                                    const std::uint64_t* b) noexcept {
  std::uint32_t total = 0;
  for (std::size_t w = 0; w < word_count; ++w) {
    std::uint64_t x = a[w] ^ b[w];
    while (x != 0) {
      x &= x - 1;
      ++total;
    }
  }
  return total;
}

}  // namespace korvane
