#include "bitvec.h"

#include <immintrin.h>

#include <bit>

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

namespace {

// Population counts of four words at once: each byte of a ^ b is split into
// nibbles whose counts come from a 16-entry table (vpshufb); the byte
// counts of a block are summed into 64-bit lanes with vpsadbw. Integer sums
// are exact in any order, so this equals the word-by-word popcount.
inline __m256i popcountBytes(__m256i x) noexcept {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(x, low));
  const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(x, 4), low));
  return _mm256_add_epi8(lo, hi);
}

}  // namespace

std::uint32_t hammingDistance(std::size_t word_count, const std::uint64_t* a,
                              const std::uint64_t* b) noexcept {
  __m256i total = _mm256_setzero_si256();
  std::size_t w = 0;
  // Byte counters hold at most 8 per block; summing eight blocks' worth
  // (64) before widening cannot overflow a byte.
  while (w + 4 <= word_count) {
    __m256i bytes = _mm256_setzero_si256();
    for (int blocks = 0; blocks < 8 && w + 4 <= word_count; ++blocks, w += 4) {
      const __m256i x = _mm256_xor_si256(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + w)),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + w)));
      bytes = _mm256_add_epi8(bytes, popcountBytes(x));
    }
    total = _mm256_add_epi64(total, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
  }
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
  std::uint64_t count = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  for (; w < word_count; ++w) count += static_cast<std::uint64_t>(_mm_popcnt_u64(a[w] ^ b[w]));
  return static_cast<std::uint32_t>(count);
}

std::uint32_t hammingDistanceScalar(std::size_t word_count, const std::uint64_t* a,
                                    const std::uint64_t* b) noexcept {
  std::uint32_t total = 0;
  for (std::size_t w = 0; w < word_count; ++w) {
    total += static_cast<std::uint32_t>(std::popcount(a[w] ^ b[w]));
  }
  return total;
}

}  // namespace korvane
