#include "bitvec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace korvane {
namespace {

TEST(BitVector, FromF32BitPositionsAndSpecialValues) {
  std::vector<float> v(c_dim, -1.0f);
  EXPECT_EQ(BitVector::fromF32(v.data()), BitVector::zero());
  struct Row {
    std::size_t component, word;
    int bit;
  };
  for (const Row& r : {Row{0, 0, 0}, Row{63, 0, 63}, Row{64, 1, 0}, Row{3071, 47, 63}}) {
    SCOPED_TRACE(r.component);
    std::vector<float> x(c_dim, 0.0f);
    x[r.component] = 1e-30f;
    const BitVector code = BitVector::fromF32(x.data());
    for (std::size_t w = 0; w < BitVector::c_words; ++w) {
      EXPECT_EQ(code.words[w], w == r.word ? std::uint64_t{1} << r.bit : 0u);
    }
  }
  // 0, −0, NaN and negatives give 0 bits; every positive value a 1 bit.
  std::vector<float> mixed(c_dim);
  const float values[] = {0.0f, -0.0f, std::nanf(""), -std::nanf(""), -1e-40f, 1e-40f,
                          INFINITY, -INFINITY};
  for (std::size_t j = 0; j < c_dim; ++j) mixed[j] = values[j % 8];
  const BitVector code = BitVector::fromF32(mixed.data());
  for (std::size_t j = 0; j < c_dim; ++j) {
    const bool bit = (code.words[j / 64] >> (j % 64)) & 1U;
    ASSERT_EQ(bit, j % 8 == 5 || j % 8 == 6) << j;
  }
  std::vector<float> positive(c_dim, 2.0f);
  for (std::uint64_t w : BitVector::fromF32(positive.data()).words) EXPECT_EQ(w, ~0ULL);
}

TEST(BitVector, DistanceIdentitiesAndScalarTwin) {
  std::mt19937_64 gen(3);
  for (int trial = 0; trial < 200; ++trial) {
    BitVector a, b, complement;
    for (std::size_t w = 0; w < BitVector::c_words; ++w) {
      a.words[w] = gen();
      b.words[w] = trial % 3 == 0 ? a.words[w] ^ (gen() & gen()) : gen();
      complement.words[w] = ~a.words[w];
    }
    EXPECT_EQ(a.distance(a), 0u);
    EXPECT_EQ(a.distance(complement), 3072u);
    EXPECT_EQ(a.distance(b), b.distance(a));
    for (std::size_t n : {0u, 1u, 3u, 5u, 47u, 48u}) {
      ASSERT_EQ(hammingDistance(n, a.words.data(), b.words.data()),
                hammingDistanceScalar(n, a.words.data(), b.words.data()));
    }
  }
}

}  // namespace
}  // namespace korvane
