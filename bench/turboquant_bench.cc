#include "sq8.h"
#include "turboquant.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace korvane {
namespace {

std::vector<float> gaussian(std::mt19937_64& rng, std::size_t n) {
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// A pool of encoded payloads larger than the candidate lists, and a table
// built from a quantized query, as a search would see them.
struct Fixture {
  std::vector<TurboQuantPayload> payloads;
  std::vector<float> table;
  LutConstants constants{};

  explicit Fixture(std::size_t count) : table(8 * c_dim) {
    std::mt19937_64 rng(1);
    for (std::size_t i = 0; i < count; ++i) {
      const std::vector<float> x = gaussian(rng, c_dim);
      payloads.push_back(TurboQuantPayload::encode(i, x.data()));
    }
    const std::vector<float> q = gaussian(rng, c_dim);
    std::vector<float> decoded(c_dim);
    quantizeQuery(q.data(), c_dim, decoded.data());
    constants = buildScoreLut(decoded.data(), table.data());
  }

  // `n` candidates scattered over the pool, as a graph search yields them.
  std::vector<const TurboQuantPayload*> candidates(std::size_t n) const {
    std::mt19937_64 rng(2);
    std::vector<const TurboQuantPayload*> out(n);
    for (auto& p : out) p = &payloads[rng() % payloads.size()];
    return out;
  }
};

const Fixture& fixture() {
  static const Fixture f(2048);
  return f;
}

void perCandidate(benchmark::State& state, std::size_t n) {
  state.counters["per_candidate"] = benchmark::Counter(
      static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                  benchmark::Counter::kInvert);
}

void BM_ScoreLut(benchmark::State& state) {
  const Fixture& f = fixture();
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const auto cands = f.candidates(n);
  std::vector<float> out(n);
  for (auto _ : state) {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = scoreLut(*cands[i], f.table.data(), f.constants.a, f.constants.b);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  perCandidate(state, n);
}
BENCHMARK(BM_ScoreLut)->Arg(64)->Arg(256);

void BM_ScoreLutMany(benchmark::State& state) {
  const Fixture& f = fixture();
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const auto cands = f.candidates(n);
  std::vector<float> out(n);
  for (auto _ : state) {
    scoreLutMany(cands.data(), n, f.table.data(), f.constants, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  perCandidate(state, n);
}
BENCHMARK(BM_ScoreLutMany)->Arg(8)->Arg(64)->Arg(100)->Arg(256);

void BM_DotSq8(benchmark::State& state) {
  std::mt19937_64 rng(3);
  const std::vector<float> q = gaussian(rng, c_dim);
  std::vector<std::int8_t> codes(c_dim);
  for (auto& c : codes) c = static_cast<std::int8_t>(rng());
  for (auto _ : state) benchmark::DoNotOptimize(dotSq8(q.data(), codes.data(), c_dim));
}
BENCHMARK(BM_DotSq8);

void BM_DotSq8Scalar(benchmark::State& state) {
  std::mt19937_64 rng(3);
  const std::vector<float> q = gaussian(rng, c_dim);
  std::vector<std::int8_t> codes(c_dim);
  for (auto& c : codes) c = static_cast<std::int8_t>(rng());
  for (auto _ : state) benchmark::DoNotOptimize(dotSq8Scalar(q.data(), codes.data(), c_dim));
}
BENCHMARK(BM_DotSq8Scalar);

void BM_Encode(benchmark::State& state) {
  const bool calibrated = state.range(0) != 0;
  std::mt19937_64 rng(4);
  const std::vector<float> x = gaussian(rng, c_dim);
  const std::vector<float> shift = gaussian(rng, c_dim), scale(c_dim, 1.25f);
  const std::span<const float> s = calibrated ? std::span<const float>(shift) : std::span<const float>();
  const std::span<const float> k = calibrated ? std::span<const float>(scale) : std::span<const float>();
  for (auto _ : state) {
    TurboQuantPayload p = TurboQuantPayload::encodeWithCalibration(1, x.data(), s, k);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_Encode)->ArgName("calibrated")->Arg(0)->Arg(1);

void BM_QuantizeQuery(benchmark::State& state) {
  std::mt19937_64 rng(5);
  const std::vector<float> q = gaussian(rng, c_dim);
  std::vector<float> out(c_dim);
  for (auto _ : state) {
    quantizeQuery(q.data(), c_dim, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_QuantizeQuery);

void BM_BuildScoreLut(benchmark::State& state) {
  const bool calibrated = state.range(0) != 0;
  std::mt19937_64 rng(6);
  const std::vector<float> q = gaussian(rng, c_dim);
  const std::vector<float> shift = gaussian(rng, c_dim), scale(c_dim, 1.25f);
  std::vector<float> table(8 * c_dim);
  for (auto _ : state) {
    const LutConstants c =
        calibrated ? buildScoreLutCalibrated(q.data(), shift.data(), scale.data(), table.data())
                   : buildScoreLut(q.data(), table.data());
    benchmark::DoNotOptimize(c);
    benchmark::DoNotOptimize(table.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BuildScoreLut)->ArgName("calibrated")->Arg(0)->Arg(1);

}  // namespace
}  // namespace korvane

BENCHMARK_MAIN();
