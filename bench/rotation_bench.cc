// Rotation costs: drawing the matrix (blocked versus row by row) and
// rotating vectors one at a time versus in blocks.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "rotation.h"

namespace korvane {
namespace {

void BM_InitBlocked(benchmark::State& state) {
  for (auto _ : state) {
    auto r = RandomRotation::init(1);
    benchmark::DoNotOptimize(r->rows().data());
  }
}
BENCHMARK(BM_InitBlocked)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_InitRowByRow(benchmark::State& state) {
  for (auto _ : state) {
    auto r = RandomRotation::initRowByRow(1);
    benchmark::DoNotOptimize(r->rows().data());
  }
  // Check that the two schedules agree while we are at it.
  auto a = RandomRotation::init(1);
  auto b = RandomRotation::initRowByRow(1);
  if (std::memcmp(a->rows().data(), b->rows().data(), c_dim * c_dim * sizeof(float)) != 0) {
    state.SkipWithError("blocked and row-by-row matrices differ");
  }
}
BENCHMARK(BM_InitRowByRow)->Unit(benchmark::kMillisecond)->Iterations(1);

const RandomRotation& sharedRotation() {
  static RandomRotation r = std::move(*RandomRotation::init(3));
  return r;
}

std::vector<float> vectors(std::size_t n) {
  std::mt19937 gen(5);
  std::normal_distribution<float> d;
  std::vector<float> v(n * c_dim);
  for (float& x : v) x = d(gen);
  return v;
}

void BM_ApplyOneAtATime(benchmark::State& state) {
  const auto& r = sharedRotation();
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::vector<float> in = vectors(n), out(n * c_dim);
  for (auto _ : state) {
    for (std::size_t v = 0; v < n; ++v) r.apply(in.data() + v * c_dim, out.data() + v * c_dim);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_ApplyOneAtATime)->Arg(64)->Unit(benchmark::kMillisecond);

void BM_ApplyBatch(benchmark::State& state) {
  const auto& r = sharedRotation();
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::vector<float> in = vectors(n), out(n * c_dim);
  for (auto _ : state) {
    r.applyBatch(in.data(), c_dim, n, out.data(), c_dim);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_ApplyBatch)->Arg(1)->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane

BENCHMARK_MAIN();
