// Rotation costs: drawing the matrix (blocked versus row by row) and
// rotating vectors one at a time versus in blocks.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstring>
#include <random>
#include <vector>

#include "isa.h"
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

Isa isaOf(std::int64_t arg) { return arg == 512 ? Isa::avx512 : Isa::avx2; }

// Arguments: vectors, then 2 (AVX2) or 512 (AVX-512).
void BM_ApplyOneAtATime(benchmark::State& state) {
  const auto& r = sharedRotation();
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const Isa isa = isaOf(state.range(1));
  if (!isaSupported(isa)) return state.SkipWithError("the CPU lacks AVX-512");
  std::vector<float> in = vectors(n), out(n * c_dim);
  for (auto _ : state) {
    for (std::size_t v = 0; v < n; ++v) r.applyWith(isa, in.data() + v * c_dim, out.data() + v * c_dim);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n) *
                          static_cast<std::int64_t>(r.rows().size_bytes()));
}
BENCHMARK(BM_ApplyOneAtATime)->Args({16, 2})->Args({16, 512})->Unit(benchmark::kMillisecond);

void BM_ApplyBatch(benchmark::State& state) {
  const auto& r = sharedRotation();
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const Isa isa = isaOf(state.range(1));
  if (!isaSupported(isa)) return state.SkipWithError("the CPU lacks AVX-512");
  std::vector<float> in = vectors(n), out(n * c_dim);
  for (auto _ : state) {
    r.applyBatchWith(isa, in.data(), c_dim, n, out.data(), c_dim);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_ApplyBatch)
    ->ArgsProduct({{1, 32, 64, 256}, {2, 512}})
    ->Unit(benchmark::kMillisecond);

// The floor for one rotation: reading the 36 MiB matrix once on one core
// with the widest loads, doing nothing else (a memcpy-style read).
void BM_StreamTheMatrix(benchmark::State& state) {
  const auto& r = sharedRotation();
  const auto* p = reinterpret_cast<const __m256i*>(r.rows().data());
  const std::size_t n = r.rows().size_bytes() / sizeof(__m256i);
  for (auto _ : state) {
    __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
    for (std::size_t i = 0; i < n; i += 4) {
      a = _mm256_xor_si256(a, _mm256_load_si256(p + i));
      b = _mm256_xor_si256(b, _mm256_load_si256(p + i + 1));
      c = _mm256_xor_si256(c, _mm256_load_si256(p + i + 2));
      d = _mm256_xor_si256(d, _mm256_load_si256(p + i + 3));
    }
    benchmark::DoNotOptimize(_mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d)));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(r.rows().size_bytes()));
}
BENCHMARK(BM_StreamTheMatrix)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane

BENCHMARK_MAIN();
