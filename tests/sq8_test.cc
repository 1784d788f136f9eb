#include "sq8.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

// Every allocation goes through the counting replacement, so a test can
// assert that a call allocates nothing.
#include "support/failing_allocator.h"
#include "support/random_vectors.h"

namespace korvane {
namespace {

constexpr float c_nan = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bitsOf(float f) { return std::bit_cast<std::uint32_t>(f); }

using testsupport::gaussian;

TEST(Sq8, EncodingExamples) {
  std::vector<float> v(c_dim, 0.0f);
  std::vector<std::int8_t> codes(c_dim);
  EXPECT_EQ(encodeSq8(v.data(), codes.data()), 1e-20f / 127.0f);
  for (std::int8_t c : codes) ASSERT_EQ(c, 0);

  v[0] = 0.5f, v[1] = -0.5f, v[2] = 2.5f, v[3] = -127.0f, v[4] = std::nanf("");
  v[5] = 126.5f, v[6] = 1e-30f;
  EXPECT_EQ(encodeSq8(v.data(), codes.data()), 1.0f);
  const std::int8_t expected[] = {1, -1, 3, -127, 0, 127, 0};
  for (std::size_t j = 0; j < 7; ++j) EXPECT_EQ(codes[j], expected[j]) << j;
}

TEST(DotSq8, BitIdenticalToScalarTwin) {
  std::mt19937_64 rng(12);
  std::vector<float> q = gaussian(rng, c_dim + 16, 0.0f, 3.0f);
  std::vector<std::int8_t> codes(c_dim + 16);
  for (auto& code : codes) code = static_cast<std::int8_t>(rng());
  codes[0] = -128;
  codes[1] = 127;
  // Two different NaNs meet in one lane: the result must not depend on
  // which operand the fused multiply-add keeps.
  std::vector<float> poisoned = q;
  poisoned[2] = std::bit_cast<float>(0xFFC12345u);
  poisoned[10] = std::bit_cast<float>(0x7FC54321u);
  poisoned[c_dim + 2] = c_nan;
  for (std::size_t offset : {0, 1, 3}) {
    for (std::size_t n : std::initializer_list<std::size_t>{0, 1, 7, 8, 9, 15, 16, 100, c_dim, c_dim + 5}) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " n " << n);
      for (const std::vector<float>* v : {&q, &poisoned}) {
        const float fast = dotSq8(v->data() + offset, codes.data() + offset, n);
        const float scalar = dotSq8Scalar(v->data() + offset, codes.data() + offset, n);
        EXPECT_EQ(bitsOf(fast), bitsOf(scalar));
      }
    }
  }
  // The lane order is the definition: compare with an explicit evaluation.
  {
    const std::size_t n = 19;
    float lanes[8] = {};
    for (std::size_t i = 0; i < 16; ++i) {
      lanes[i % 8] = std::fma(static_cast<float>(codes[i]), q[i], lanes[i % 8]);
    }
    float total = ((((((lanes[0] + lanes[1]) + lanes[2]) + lanes[3]) + lanes[4]) + lanes[5]) +
                   lanes[6]) + lanes[7];
    for (std::size_t i = 16; i < n; ++i) total = std::fma(static_cast<float>(codes[i]), q[i], total);
    EXPECT_EQ(bitsOf(dotSq8(q.data(), codes.data(), n)), bitsOf(total));
  }
}

TEST(Sq8Store, RecordsScoreAsTheirCodesTimesScale) {
  std::mt19937_64 rng(14);
  Sq8Store store;
  EXPECT_TRUE(store.holdsExactly(0));
  std::vector<std::vector<float>> rows;
  for (int r = 0; r < 3; ++r) {
    rows.push_back(gaussian(rng, c_dim, 0.0f, 1.0f + float(r)));
    ASSERT_TRUE(store.reserveOne());
    store.appendReserved(rows.back().data());
  }
  EXPECT_TRUE(store.holdsExactly(3));
  EXPECT_FALSE(store.holdsExactly(2));
  ASSERT_EQ(store.codes().size(), 3 * c_dim);
  const std::vector<float> q = gaussian(rng, c_dim);
  std::vector<std::int8_t> codes(c_dim);
  for (std::size_t r = 0; r < 3; ++r) {
    const float scale = encodeSq8(rows[r].data(), codes.data());
    EXPECT_EQ(bitsOf(store.scales()[r]), bitsOf(scale));
    EXPECT_TRUE(std::equal(codes.begin(), codes.end(), store.codes().begin() + c_dim * r));
    EXPECT_EQ(bitsOf(store.score(r, q.data())), bitsOf(dotSq8(q.data(), codes.data(), c_dim) * scale));
  }

  // Appending into reserved room and scoring allocate nothing.
  ASSERT_TRUE(store.reserveOne());
  const std::size_t before = failing_allocator::allocations.load();
  store.appendReserved(rows[0].data());
  volatile float sink = store.score(3, q.data());
  sink = dotSq8Scalar(q.data(), codes.data(), c_dim);
  (void)sink;
  EXPECT_EQ(failing_allocator::allocations.load(), before);
}

}  // namespace
}  // namespace korvane
