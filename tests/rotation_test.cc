#include "rotation.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace korvane {
namespace {

bool sameBits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

std::vector<float> randomVector(std::size_t n, std::uint32_t seed, float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, scale);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

TEST(Dot, VectorKernelIsBitIdenticalToScalarDefinition) {
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(), -0.0f, 1e-38f, 3e38f};
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 3072u}) {
    SCOPED_TRACE(n);
    for (std::uint32_t seed = 0; seed < 20; ++seed) {
      std::vector<float> a = randomVector(n, seed), b = randomVector(n, seed + 1000, 100.0f);
      if (seed == 19 && n > 0) a[n / 2] = specials[seed % 5];
      ASSERT_TRUE(sameBits(dot(a.data(), b.data(), n), dotScalar(a.data(), b.data(), n)));
    }
  }
}

// A fill that sometimes produces an all-zero row, decided from the stream
// state alone, so that a schedule which rewinds the stream sees the same
// decisions: this drives the redraw path of both schedules.
void fillSometimesZero(Xoshiro256pp& rng, float* row, std::size_t n) {
  Xoshiro256pp peek = rng;
  const bool zero = peek.next() % 7 == 0;
  fillStandardNormal(rng, row, n);
  if (zero) std::memset(row, 0, n * sizeof(float));
}

TEST(GramSchmidt, BlockedScheduleIsBitIdenticalToRowByRow) {
  for (std::size_t n : {8u, 64u, 136u, 200u}) {
    for (RowFill fill : {RowFill{fillStandardNormal}, RowFill{fillSometimesZero}}) {
      SCOPED_TRACE(n);
      std::vector<float> blocked(n * n), plain(n * n);
      Xoshiro256pp r1 = Xoshiro256pp::fromSeed(n), r2 = Xoshiro256pp::fromSeed(n);
      drawOrthonormal(blocked.data(), n, r1, fill, true);
      drawOrthonormal(plain.data(), n, r2, fill, false);
      ASSERT_EQ(std::memcmp(blocked.data(), plain.data(), n * n * sizeof(float)), 0);
      ASSERT_EQ(r1.s, r2.s) << "both schedules consume the stream identically";
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(dot(&plain[i * n], &plain[i * n], n), 1.0f, 1e-5f);
      }
    }
  }
}

class RotationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto r = RandomRotation::init(0);
    ASSERT_TRUE(r.has_value());
    rotation = new RandomRotation(std::move(*r));
  }
  static void TearDownTestSuite() {
    delete rotation;
    rotation = nullptr;
  }
  static RandomRotation* rotation;
};
RandomRotation* RotationTest::rotation = nullptr;

TEST_F(RotationTest, SeedDeterminesTheMatrix) {
  auto again = RandomRotation::init(0);
  auto other = RandomRotation::init(1);
  ASSERT_TRUE(again && other);
  const std::size_t bytes = c_dim * c_dim * sizeof(float);
  EXPECT_EQ(std::memcmp(rotation->rows().data(), again->rows().data(), bytes), 0);
  EXPECT_NE(std::memcmp(rotation->rows().data(), other->rows().data(), bytes), 0);
}

TEST_F(RotationTest, RowsAreOrthonormal) {
  const float* m = rotation->rows().data();
  for (std::size_t i = 0; i < c_dim; i += 97) {
    EXPECT_NEAR(dot(m + i * c_dim, m + i * c_dim, c_dim), 1.0f, 2e-5f);
    for (std::size_t j = i + 1; j < c_dim; j += 389) {
      EXPECT_NEAR(dot(m + i * c_dim, m + j * c_dim, c_dim), 0.0f, 2e-4f);
    }
  }
}

TEST_F(RotationTest, ApplyPreservesGeometry) {
  std::vector<float> zero(c_dim, 0.0f), out(c_dim, 1.0f);
  rotation->apply(zero.data(), out.data());
  for (float v : out) ASSERT_EQ(v, 0.0f);

  std::vector<float> unit(c_dim, 0.0f);
  unit[1234] = 1.0f;
  rotation->apply(unit.data(), out.data());
  for (std::size_t i = 0; i < c_dim; ++i) {
    ASSERT_EQ(out[i], rotation->rows()[i * c_dim + 1234]);
  }

  std::vector<float> x = randomVector(c_dim, 1), y = randomVector(c_dim, 2);
  std::vector<float> rx(c_dim), ry(c_dim);
  rotation->apply(x.data(), rx.data());
  rotation->apply(y.data(), ry.data());
  const float xx = dotScalar(x.data(), x.data(), c_dim);
  EXPECT_NEAR(dotScalar(rx.data(), rx.data(), c_dim), xx, 1e-3f * xx);
  EXPECT_NEAR(dotScalar(rx.data(), ry.data(), c_dim), dotScalar(x.data(), y.data(), c_dim), 0.05f);
}

// Every kernel form against the scalar definition of every output, on the
// full matrix: the AVX2 form always, the AVX-512 form where the CPU has it.
TEST_F(RotationTest, EveryKernelFormEqualsTheScalarDotOnTheFullMatrix) {
  const std::size_t count = 41;
  std::vector<float> in(count * c_dim);
  for (std::size_t v = 0; v < count; ++v) {
    std::vector<float> x = randomVector(c_dim, 500 + v, v % 5 == 0 ? 1e3f : 1.0f);
    std::copy(x.begin(), x.end(), in.begin() + v * c_dim);
  }
  std::fill_n(in.begin() + 3 * c_dim, c_dim, 0.0f);
  in[7 * c_dim + 11] = std::numeric_limits<float>::quiet_NaN();
  in[8 * c_dim + 3000] = std::numeric_limits<float>::infinity();
  in[9 * c_dim + 5] = 3e38f;
  const float* m = rotation->rows().data();
  std::vector<float> want(count * c_dim);
  for (std::size_t v = 0; v < count; ++v) {
    for (std::size_t i = 0; i < c_dim; ++i) {
      want[v * c_dim + i] = dotScalar(m + i * c_dim, in.data() + v * c_dim, c_dim);
    }
  }
  const auto same = [](const float* a, const float* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!sameBits(a[i], b[i])) return false;
    }
    return true;
  };
  for (Isa isa : {Isa::avx2, Isa::avx512}) {
    SCOPED_TRACE(isa == Isa::avx2 ? "AVX2" : "AVX-512");
    if (!isaSupported(isa)) {
      std::printf("this CPU has no AVX-512: its kernels are not compared\n");
      continue;
    }
    std::vector<float> out(count * c_dim, -1.0f);
    for (std::size_t v = 0; v < count; ++v) {
      rotation->applyWith(isa, in.data() + v * c_dim, out.data() + v * c_dim);
    }
    EXPECT_TRUE(same(out.data(), want.data(), out.size())) << "apply";
    // Batches of every size around the kernels' groups and tiles, with
    // strides wider than a vector.
    for (std::size_t n : {1u, 2u, 5u, 6u, 7u, 13u, 30u, 31u, 41u}) {
      SCOPED_TRACE(n);
      const std::size_t in_stride = c_dim + 8, out_stride = c_dim + 16;
      std::vector<float> strided(n * in_stride), got(n * out_stride, -1.0f);
      for (std::size_t v = 0; v < n; ++v) {
        std::copy_n(in.data() + v * c_dim, c_dim, strided.data() + v * in_stride);
      }
      rotation->applyBatchWith(isa, strided.data(), in_stride, n, got.data(), out_stride);
      for (std::size_t v = 0; v < n; ++v) {
        ASSERT_TRUE(same(got.data() + v * out_stride, want.data() + v * c_dim, c_dim)) << v;
        ASSERT_EQ(got[v * out_stride + c_dim], -1.0f) << "wrote past the vector";
      }
    }
  }
}

TEST_F(RotationTest, ApplyBatchIsBitIdenticalToApply) {
  const std::size_t count = 70;
  std::vector<float> in(count * c_dim);
  for (std::size_t v = 0; v < count; ++v) {
    std::vector<float> x = randomVector(c_dim, 100 + v);
    std::copy(x.begin(), x.end(), in.begin() + v * c_dim);
  }
  std::vector<float> one(c_dim);
  for (std::size_t n : {1u, 2u, 3u, 4u, 7u, 70u}) {
    SCOPED_TRACE(n);
    std::vector<float> out(n * c_dim);
    rotation->applyBatch(in.data(), c_dim, n, out.data(), c_dim);
    for (std::size_t v = 0; v < n; ++v) {
      rotation->apply(in.data() + v * c_dim, one.data());
      // apply itself against the scalar definition of every output.
      ASSERT_TRUE(sameBits(one[v], dotScalar(rotation->rows().data() + v * c_dim,
                                             in.data() + v * c_dim, c_dim)));
      ASSERT_EQ(std::memcmp(one.data(), out.data() + v * c_dim, c_dim * sizeof(float)), 0);
    }
  }
}

}  // namespace
}  // namespace korvane
