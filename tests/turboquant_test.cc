#include "turboquant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <vector>

// Every allocation goes through the counting replacement, so a test can
// assert that a call allocates nothing.
#include "support/failing_allocator.h"
#include "support/random_vectors.h"

namespace korvane {
namespace {

constexpr float c_nan = std::numeric_limits<float>::quiet_NaN();
constexpr float c_inf = std::numeric_limits<float>::infinity();

std::uint32_t bitsOf(float f) { return std::bit_cast<std::uint32_t>(f); }

using testsupport::gaussian;

// ---- Reference encoder, written step by step from the definition ----------

std::uint8_t referenceQuantize(float value) {
  std::uint8_t code = 0;
  for (float t : decision_thresholds) {
    if (value < t) break;
    ++code;
  }
  return code;
}

struct ReferenceFrame {
  float scale;
  float shift;
};

ReferenceFrame referenceFrame(const std::vector<float>& d) {
  double sum = 0, sum_sq = 0;
  for (float v : d) {
    sum += static_cast<double>(v);
    sum_sq += static_cast<double>(v) * static_cast<double>(v);
  }
  const double dim_f = static_cast<double>(d.size());
  const double mean = sum / dim_f;
  double variance = sum_sq / dim_f - mean * mean;
  if (variance < 0 || std::isnan(variance)) variance = 0;
  const double sd = std::sqrt(variance);
  return {static_cast<float>(std::max(sd, 1e-12)), static_cast<float>(mean)};
}

TurboQuantPayload referenceEncode(std::uint64_t id, const std::vector<float>& x,
                                  const std::vector<float>& calib_shift,
                                  const std::vector<float>& calib_scale) {
  const bool calibrated = calib_shift.size() == c_dim;
  std::vector<float> d(c_dim);
  for (std::size_t j = 0; j < c_dim; ++j) {
    if (calibrated) {
      volatile float centred = x[j] - calib_shift[j];
      d[j] = centred / calib_scale[j];
    } else {
      d[j] = x[j];
    }
  }
  const ReferenceFrame f = referenceFrame(d);
  TurboQuantPayload p{};
  p.id = id;
  double inner = 0, norm_sq = 0;
  for (std::size_t c = 0; c < TurboQuantPayload::c_chunks; ++c) {
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      const std::size_t j = 8 * c + k;
      volatile float centred = d[j] - f.shift;
      const float e = centred / f.scale;
      const std::uint8_t code = referenceQuantize(e);
      volatile float product = f.scale * lloyd_max_centroids[code];
      float reconstructed = product + f.shift;
      if (calibrated) {
        volatile float scaled = reconstructed * calib_scale[j];
        reconstructed = scaled + calib_shift[j];
      }
      inner += static_cast<double>(x[j]) * static_cast<double>(reconstructed);
      norm_sq += static_cast<double>(x[j]) * static_cast<double>(x[j]);
      bits += static_cast<std::uint32_t>(code) << (3 * k);
    }
    p.setChunk(c, TQ3Chunk{bits});
  }
  p.bias_scale = f.scale;
  p.bias_shift = f.shift;
  p.renorm_scalar = std::abs(inner) > 1e-12 ? static_cast<float>(norm_sq / inner) : 1.0f;
  return p;
}

void expectSamePayload(const TurboQuantPayload& got, const TurboQuantPayload& want) {
  EXPECT_EQ(got.id, want.id);
  EXPECT_EQ(bitsOf(got.bias_scale), bitsOf(want.bias_scale));
  EXPECT_EQ(bitsOf(got.bias_shift), bitsOf(want.bias_shift));
  EXPECT_EQ(bitsOf(got.renorm_scalar), bitsOf(want.renorm_scalar));
  std::size_t differing = 0;
  for (std::size_t c = 0; c < TurboQuantPayload::c_chunks; ++c) {
    differing += got.chunk(c).bits != want.chunk(c).bits;
  }
  EXPECT_EQ(differing, 0u);
}

bool allCodesAre(const TurboQuantPayload& p, std::uint8_t code) {
  for (std::size_t j = 0; j < c_dim; ++j) {
    if (p.code(j) != code) return false;
  }
  return true;
}

// ---- Quantizer and packing --------------------------------------------------

TEST(QuantizeCoord, ThresholdTable) {
  const struct {
    float value;
    std::uint8_t code;
  } rows[] = {
      {-2.0f, 0},   {-1.748f, 1}, {-1.0f, 2},  {-0.5006f, 3}, {-0.0001f, 3},
      {0.0f, 4},    {-0.0f, 4},   {0.5f, 4},   {0.5006f, 5},  {1.0f, 5},
      {1.05f, 6},   {1.748f, 7},  {100.0f, 7}, {-c_inf, 0},   {c_inf, 7},
      {c_nan, 7},   {-c_nan, 7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(quantizeCoord(row.value), row.code);
  }
}

TEST(QuantizeCoord, MatchesThresholdWalkAroundEveryBoundary) {
  for (float t : decision_thresholds) {
    float v = t;
    for (int step = 0; step < 4; ++step) v = std::nextafter(v, -c_inf);
    for (int step = 0; step < 9; ++step, v = std::nextafter(v, c_inf)) {
      SCOPED_TRACE(v);
      EXPECT_EQ(quantizeCoord(v), referenceQuantize(v));
    }
  }
}

TEST(PackChunk, BitLayout) {
  const struct {
    std::array<std::uint8_t, 8> codes;
    std::uint32_t bits;
  } rows[] = {
      {{0, 1, 2, 3, 4, 5, 6, 7}, 0xFAC688},
      {{7, 7, 7, 7, 7, 7, 7, 7}, 0xFFFFFF},
      {{0, 0, 0, 0, 0, 0, 0, 0}, 0},
      {{0, 0, 0, 0, 0, 0, 0, 5}, 5u << 21},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bits);
    const TQ3Chunk chunk = packChunk(row.codes);
    EXPECT_EQ(chunk.bits, row.bits);
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(chunk.code(k), row.codes[k]);
  }
}

TEST(PayloadLayout, LastComponentIsTopCodeOfLastChunk) {
  TurboQuantPayload p{};
  p.setChunk(TurboQuantPayload::c_chunks - 1, TQ3Chunk{6u << 21});
  EXPECT_EQ(p.code(c_dim - 1), 6);
  EXPECT_EQ(p.code(c_dim - 2), 0);
}

// ---- Encoding ---------------------------------------------------------------

TEST(Encode, AscendingVector) {
  std::vector<float> x(c_dim);
  for (std::size_t j = 0; j < c_dim; ++j) x[j] = static_cast<float>(j + 1);
  const TurboQuantPayload p = TurboQuantPayload::encode(42, x.data());
  EXPECT_EQ(p.id, 42u);
  EXPECT_EQ(p.bias_shift, 1536.5f);
  // Population standard deviation of 1 ... n: sqrt((n^2 - 1) / 12).
  const double n = static_cast<double>(c_dim);
  EXPECT_EQ(p.bias_scale, static_cast<float>(std::sqrt((n * n - 1) / 12)));
  EXPECT_NEAR(p.bias_scale, 886.81, 0.01);
  for (std::size_t j = 1; j < c_dim; ++j) ASSERT_LE(p.code(j - 1), p.code(j)) << j;
  EXPECT_LT(p.code(0), p.code(c_dim - 1));
  EXPECT_NEAR(p.renorm_scalar, 1.0f, 0.05f);
}

TEST(Encode, DegenerateVectors) {
  const struct {
    const char* name;
    float fill;
    bool poison;  // one NaN component at 1000
    float shift;
    std::uint8_t code;
  } rows[] = {
      {"zero", 0.0f, false, 0.0f, 4},
      {"constant", 0.75f, false, 0.75f, 4},
      {"negative constant", -3.25f, false, -3.25f, 4},
      {"nan component", 1.0f, true, c_nan, 7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<float> x(c_dim, row.fill);
    if (row.poison) x[1000] = c_nan;
    const TurboQuantPayload p = TurboQuantPayload::encode(7, x.data());
    if (std::isnan(row.shift)) {
      EXPECT_TRUE(std::isnan(p.bias_shift));
    } else {
      EXPECT_EQ(bitsOf(p.bias_shift), bitsOf(row.shift));
    }
    EXPECT_TRUE(allCodesAre(p, row.code));
    EXPECT_GE(p.bias_scale, 1e-12f);
    EXPECT_LT(p.bias_scale, 1e-6f);
    if (row.fill == 0.0f || row.poison) {
      EXPECT_EQ(p.bias_scale, 1e-12f);
      EXPECT_EQ(p.renorm_scalar, 1.0f);
    } else {
      EXPECT_NEAR(p.renorm_scalar, 1.0f, 1e-6f);
    }
  }
}

TEST(Encode, MatchesReferenceBitForBit) {
  std::mt19937_64 rng(1);
  const std::vector<float> shift = gaussian(rng, c_dim, 0.0f, 0.1f);
  std::vector<float> scale(c_dim);
  std::uniform_real_distribution<float> spread(0.5f, 2.0f);
  for (float& s : scale) s = spread(rng);
  const std::vector<float> none;

  std::uniform_real_distribution<float> magnitude(0.5f, 3.0f);
  for (int trial = 0; trial < 12; ++trial) {
    SCOPED_TRACE(trial);
    // Centred, offset and heavy-tailed vectors, then sparse ones: with only
    // three non-zero components, <x, x_hat> is a sum of three products, so
    // rounding a single product differently shows in renorm_scalar.
    std::vector<float> x = gaussian(rng, c_dim, trial % 2 == 0 ? 0.0f : 0.3f, 0.02f);
    if (trial >= 4 && trial < 6) {
      for (std::size_t j = 0; j < c_dim; j += 97) x[j] *= 40.0f;
    }
    if (trial >= 6) {
      std::fill(x.begin(), x.end(), 0.0f);
      for (int e = 0; e < 3; ++e) x[rng() % c_dim] = magnitude(rng) * (e == 1 ? -1.0f : 1.0f);
    }
    {
      SCOPED_TRACE("plain");
      expectSamePayload(TurboQuantPayload::encode(trial, x.data()),
                        referenceEncode(trial, x, none, none));
    }
    {
      SCOPED_TRACE("calibrated");
      expectSamePayload(
          TurboQuantPayload::encodeWithCalibration(trial, x.data(), shift, scale),
          referenceEncode(trial, x, shift, scale));
    }
  }
}

TEST(Encode, IdentityCalibrationEqualsPlain) {
  std::mt19937_64 rng(2);
  const std::vector<float> x = gaussian(rng, c_dim, 0.01f, 0.02f);
  const std::vector<float> zeros(c_dim, 0.0f), ones(c_dim, 1.0f);
  expectSamePayload(TurboQuantPayload::encodeWithCalibration(5, x.data(), zeros, ones),
                    TurboQuantPayload::encode(5, x.data()));
}

TEST(Encode, IncompleteCalibrationEncodesPlain) {
  std::mt19937_64 rng(3);
  const std::vector<float> x = gaussian(rng, c_dim);
  const std::vector<float> shift = gaussian(rng, c_dim), scale(c_dim, 2.0f);
  const std::vector<float> short_scale(c_dim - 1, 2.0f);
  const TurboQuantPayload plain = TurboQuantPayload::encode(1, x.data());
  expectSamePayload(TurboQuantPayload::encodeWithCalibration(1, x.data(), shift, {}), plain);
  expectSamePayload(TurboQuantPayload::encodeWithCalibration(1, x.data(), shift, short_scale),
                    plain);
}

TEST(Encode, VectorAtCalibrationShiftEncodesLikeZero) {
  std::mt19937_64 rng(4);
  const std::vector<float> shift = gaussian(rng, c_dim, 0.0f, 0.5f);
  std::vector<float> scale(c_dim);
  std::uniform_real_distribution<float> spread(0.25f, 4.0f);
  for (float& s : scale) s = spread(rng);
  const TurboQuantPayload p =
      TurboQuantPayload::encodeWithCalibration(9, shift.data(), shift, scale);
  EXPECT_TRUE(allCodesAre(p, 4));
  EXPECT_EQ(p.bias_scale, 1e-12f);
  EXPECT_EQ(bitsOf(p.bias_shift), bitsOf(0.0f));
  // The reconstruction is calib_shift itself (up to 1e-12 * 0.2451 * scale).
  EXPECT_NEAR(p.renorm_scalar, 1.0f, 1e-6f);
}

// ---- Query quantization -----------------------------------------------------

TEST(QuantizeQuery, EightOrderedLevelsMatchingTheReference) {
  std::mt19937_64 rng(5);
  // Lengths that are not a multiple of eight run partly one value at a time.
  for (std::size_t n : std::initializer_list<std::size_t>{c_dim, c_dim - 1, 13, 5}) {
    SCOPED_TRACE(n);
    std::vector<float> q = gaussian(rng, n, 0.2f, 0.03f);
    q[n / 2] = -0.0f;
    std::vector<float> out(n);
    quantizeQuery(q.data(), n, out.data());

    const ReferenceFrame f = referenceFrame(q);
    for (std::size_t j = 0; j < n; ++j) {
      volatile float centred = q[j] - f.shift;
      const std::uint8_t code = referenceQuantize(centred / f.scale);
      volatile float product = f.scale * lloyd_max_centroids[code];
      ASSERT_EQ(bitsOf(out[j]), bitsOf(product + f.shift)) << j;
    }

    EXPECT_LE(std::set<float>(out.begin(), out.end()).size(), 8u);
    std::vector<std::size_t> order(n);
    for (std::size_t j = 0; j < n; ++j) order[j] = j;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return q[a] < q[b]; });
    for (std::size_t i = 1; i < n; ++i) ASSERT_LE(out[order[i - 1]], out[order[i]]) << i;
  }
}

TEST(QuantizeQuery, DegenerateQueries) {
  std::vector<float> out(c_dim);
  {
    SCOPED_TRACE("zero");
    const std::vector<float> q(c_dim, 0.0f);
    quantizeQuery(q.data(), c_dim, out.data());
    for (float v : out) ASSERT_EQ(bitsOf(v), bitsOf(1e-12f * 0.2451f));
    EXPECT_NEAR(out[0], 2.451e-13f, 1e-17f);
  }
  {
    SCOPED_TRACE("constant");
    const std::vector<float> q(c_dim, -0.5f);
    quantizeQuery(q.data(), c_dim, out.data());
    for (float v : out) ASSERT_EQ(v, out[0]);
    EXPECT_GE(out[0], -0.5f);
    EXPECT_NEAR(out[0], -0.5f, 1e-6f);
  }
  {
    SCOPED_TRACE("nan");
    std::vector<float> q(c_dim, 1.0f);
    q[17] = c_nan;
    quantizeQuery(q.data(), c_dim, out.data());
    for (float v : out) ASSERT_TRUE(std::isnan(v));
  }
}

// ---- Score tables -----------------------------------------------------------

// q[j] * centroid[c] one product at a time, sums in component order.
LutConstants referenceLut(const std::vector<float>& q, const std::vector<float>* shift,
                          const std::vector<float>* scale, std::vector<float>& table) {
  float a = 0, b = 0;
  for (std::size_t j = 0; j < c_dim; ++j) {
    volatile float s = scale ? q[j] * (*scale)[j] : q[j];
    for (std::size_t c = 0; c < 8; ++c) table[8 * j + c] = s * lloyd_max_centroids[c];
    a = a + s;
    if (shift) {
      volatile float t = q[j] * (*shift)[j];
      b = b + t;
    }
  }
  return {a, b};
}

void expectSameTable(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(bitsOf(got[i]), bitsOf(want[i])) << i;
}

TEST(ScoreTable, MatchesScalarReference) {
  std::mt19937_64 rng(6);
  std::vector<float> q = gaussian(rng, c_dim);
  q[3] = c_inf;
  q[5] = -0.0f;
  const std::vector<float> shift = gaussian(rng, c_dim), scale = gaussian(rng, c_dim, 1.0f, 0.3f);
  std::vector<float> table(8 * c_dim), want(8 * c_dim);

  LutConstants got = buildScoreLut(q.data(), table.data());
  LutConstants ref = referenceLut(q, nullptr, nullptr, want);
  expectSameTable(table, want);
  EXPECT_EQ(bitsOf(got.a), bitsOf(ref.a));
  EXPECT_EQ(bitsOf(got.b), bitsOf(0.0f));

  q[3] = 0.25f;
  got = buildScoreLutCalibrated(q.data(), shift.data(), scale.data(), table.data());
  ref = referenceLut(q, &shift, &scale, want);
  expectSameTable(table, want);
  EXPECT_EQ(bitsOf(got.a), bitsOf(ref.a));
  EXPECT_EQ(bitsOf(got.b), bitsOf(ref.b));
}

TEST(ScoreTable, SpecialQueries) {
  std::vector<float> table(8 * c_dim), plain(8 * c_dim);
  {
    SCOPED_TRACE("all ones");
    const std::vector<float> q(c_dim, 1.0f);
    const LutConstants c = buildScoreLut(q.data(), table.data());
    for (std::size_t i = 0; i < table.size(); ++i) {
      ASSERT_EQ(bitsOf(table[i]), bitsOf(lloyd_max_centroids[i % 8])) << i;
    }
    EXPECT_EQ(c.a, 3072.0f);
    EXPECT_EQ(bitsOf(c.b), bitsOf(0.0f));
  }
  {
    SCOPED_TRACE("identity calibration");
    std::mt19937_64 rng(7);
    const std::vector<float> q = gaussian(rng, c_dim);
    const std::vector<float> zeros(c_dim, 0.0f), ones(c_dim, 1.0f);
    const LutConstants p = buildScoreLut(q.data(), plain.data());
    const LutConstants c =
        buildScoreLutCalibrated(q.data(), zeros.data(), ones.data(), table.data());
    expectSameTable(table, plain);
    EXPECT_EQ(bitsOf(c.a), bitsOf(p.a));
    EXPECT_EQ(c.b, 0.0f);
  }
  {
    SCOPED_TRACE("all zero scores zero");
    const std::vector<float> q(c_dim, 0.0f);
    const LutConstants c = buildScoreLut(q.data(), table.data());
    EXPECT_EQ(c.a, 0.0f);
    for (float v : table) ASSERT_EQ(v, 0.0f);
    std::mt19937_64 rng(8);
    const std::vector<float> x = gaussian(rng, c_dim, 0.5f);
    const TurboQuantPayload p = TurboQuantPayload::encode(1, x.data());
    EXPECT_EQ(scoreLut(p, table.data(), c.a, c.b), 0.0f);
  }
}

// The table built from x itself scores x's payload as |x|^2: renorm_scalar
// undoes exactly the shrinkage of <x, x_hat>.
TEST(ScoreLut, SelfScoreIsSquaredNorm) {
  std::mt19937_64 rng(9);
  const std::vector<float> shift = gaussian(rng, c_dim, 0.0f, 0.2f);
  std::vector<float> scale(c_dim);
  std::uniform_real_distribution<float> spread(0.5f, 2.0f);
  for (float& s : scale) s = spread(rng);
  std::vector<float> table(8 * c_dim);

  for (float mean : {0.0f, 0.4f}) {
    SCOPED_TRACE(mean);
    const std::vector<float> x = gaussian(rng, c_dim, mean, 0.02f);
    double norm_sq = 0;
    for (float v : x) norm_sq += static_cast<double>(v) * v;

    const TurboQuantPayload plain = TurboQuantPayload::encode(1, x.data());
    LutConstants c = buildScoreLut(x.data(), table.data());
    EXPECT_NEAR(scoreLut(plain, table.data(), c.a, c.b), norm_sq, 1e-4 * norm_sq);

    const TurboQuantPayload calibrated =
        TurboQuantPayload::encodeWithCalibration(1, x.data(), shift, scale);
    c = buildScoreLutCalibrated(x.data(), shift.data(), scale.data(), table.data());
    EXPECT_NEAR(scoreLut(calibrated, table.data(), c.a, c.b), norm_sq, 1e-4 * norm_sq);
  }
}

TEST(ScoreLut, EstimatesInnerProductsFromQuantizedQueries) {
  std::mt19937_64 rng(10);
  const std::vector<float> q = gaussian(rng, c_dim);
  std::vector<float> decoded(c_dim), table(8 * c_dim);
  quantizeQuery(q.data(), c_dim, decoded.data());
  const LutConstants c = buildScoreLut(decoded.data(), table.data());
  // A vector correlated with q: the estimate must track the exact product.
  std::vector<float> x = gaussian(rng, c_dim);
  double exact = 0, norm_q = 0, norm_x = 0;
  for (std::size_t j = 0; j < c_dim; ++j) {
    x[j] = 0.6f * q[j] + 0.8f * x[j];
    exact += static_cast<double>(q[j]) * x[j];
    norm_q += static_cast<double>(q[j]) * q[j];
    norm_x += static_cast<double>(x[j]) * x[j];
  }
  const TurboQuantPayload p = TurboQuantPayload::encode(1, x.data());
  const float estimate = scoreLut(p, table.data(), c.a, c.b);
  EXPECT_NEAR(estimate, exact, 0.05 * std::sqrt(norm_q * norm_x));
}

// ---- Kernels against their scalar definitions -------------------------------

TurboQuantPayload randomPayload(std::mt19937_64& rng, std::uint64_t id) {
  TurboQuantPayload p{};
  p.id = id;
  for (std::size_t c = 0; c < TurboQuantPayload::c_chunks; ++c) {
    p.setChunk(c, TQ3Chunk{static_cast<std::uint32_t>(rng()) & 0xFFFFFFu});
  }
  std::normal_distribution<float> dist(0.0f, 1.0f);
  p.bias_scale = std::abs(dist(rng)) * 0.05f + 1e-3f;
  p.bias_shift = dist(rng) * 0.01f;
  p.renorm_scalar = 1.0f + 0.1f * dist(rng);
  return p;
}

// scoreLut straight from its definition.
float referenceScoreLut(const TurboQuantPayload& p, const std::vector<float>& table, float a,
                        float b) {
  float acc = 0;
  for (std::size_t c = 0; c < TurboQuantPayload::c_chunks; ++c) {
    for (std::size_t k = 0; k < 8; ++k) {
      const std::size_t j = 8 * c + k;
      acc = acc + table[8 * j + ((p.chunk(c).bits >> (3 * k)) & 7)];
    }
  }
  volatile float first = acc * p.bias_scale;
  volatile float second = a * p.bias_shift;
  volatile float sum = first + second;
  volatile float biased = sum + b;
  return biased * p.renorm_scalar;
}

TEST(ScoreLut, MatchesDefinitionBitForBit) {
  std::mt19937_64 rng(14);
  const std::vector<float> table = gaussian(rng, 8 * c_dim);
  for (int trial = 0; trial < 20; ++trial) {
    SCOPED_TRACE(trial);
    const TurboQuantPayload p = randomPayload(rng, trial);
    const float a = static_cast<float>(rng() % 1000) * 0.37f - 150.0f;
    const float b = static_cast<float>(rng() % 1000) * -0.013f + 4.0f;
    EXPECT_EQ(bitsOf(scoreLut(p, table.data(), a, b)), bitsOf(referenceScoreLut(p, table, a, b)));
  }
}

TEST(ScoreLutMany, BitIdenticalToScoreLut) {
  std::mt19937_64 rng(11);
  std::vector<TurboQuantPayload> store;
  for (std::uint64_t i = 0; i < 80; ++i) store.push_back(randomPayload(rng, i));
  // Special scalars exercise the epilogue too.
  store[3].renorm_scalar = c_inf;
  store[4].bias_shift = c_nan;
  store[5].bias_scale = 0.0f;

  std::vector<float> table = gaussian(rng, 8 * c_dim);
  const struct {
    const char* name;
    std::vector<std::pair<std::size_t, float>> pokes;
  } tables[] = {
      {"finite", {}},
      {"nan and inf entries",
       {{8 * 100 + 3, c_nan},
        {8 * 2000 + 7, c_inf},
        {8 * 2001 + 7, -c_inf},
        {8 * 5, std::bit_cast<float>(0xFFC12345u)},
        {8 * 3071 + 1, std::bit_cast<float>(0x7F812345u)},
        {8 * 9, -0.0f}}},
  };
  std::vector<float> want(200), got(200);
  for (const auto& t : tables) {
    SCOPED_TRACE(t.name);
    for (const auto& [index, value] : t.pokes) table[index] = value;
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 17u, 24u, 31u, 32u, 33u, 63u, 64u, 100u, 200u}) {
      SCOPED_TRACE(n);
      // Shuffled pointers with repeats: lanes must not assume contiguity.
      std::vector<const TurboQuantPayload*> ptrs(n);
      for (auto& ptr : ptrs) ptr = &store[rng() % store.size()];
      const LutConstants c{0.37f, -1.25f};
      std::fill(got.begin(), got.end(), 12345.0f);
      scoreLutMany(ptrs.data(), n, table.data(), c, got.data());
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bitsOf(got[i]), bitsOf(scoreLut(*ptrs[i], table.data(), c.a, c.b))) << i;
      }
      for (std::size_t i = n; i < got.size(); ++i) ASSERT_EQ(got[i], 12345.0f) << "wrote " << i;
    }
  }
}

TEST(TurboQuant, NothingAllocates) {
  std::mt19937_64 rng(13);
  const std::vector<float> x = gaussian(rng, c_dim);
  const std::vector<float> shift = gaussian(rng, c_dim), scale(c_dim, 1.5f);
  std::vector<float> decoded(c_dim), table(8 * c_dim), scores(40);
  std::vector<TurboQuantPayload> payloads(40);
  std::vector<const TurboQuantPayload*> ptrs;
  for (const auto& p : payloads) ptrs.push_back(&p);

  const std::size_t before = failing_allocator::allocations.load();
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    payloads[i] = i % 2 ? TurboQuantPayload::encode(i, x.data())
                        : TurboQuantPayload::encodeWithCalibration(i, x.data(), shift, scale);
  }
  quantizeQuery(x.data(), c_dim, decoded.data());
  LutConstants c = buildScoreLut(decoded.data(), table.data());
  c = buildScoreLutCalibrated(decoded.data(), shift.data(), scale.data(), table.data());
  volatile float sink = scoreLut(payloads[0], table.data(), c.a, c.b);
  scoreLutMany(ptrs.data(), ptrs.size(), table.data(), c, scores.data());
  (void)sink;
  EXPECT_EQ(failing_allocator::allocations.load(), before);
}

}  // namespace
}  // namespace korvane
