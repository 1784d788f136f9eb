// Routing graph benchmarks: Hamming distance, insertion throughput and
// routed-search latency on clustered routing codes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "graph.h"

namespace korvane {
namespace {

BitVector randomCode(std::mt19937_64& rng) {
  BitVector v;
  for (auto& w : v.words) w = rng();
  return v;
}

// Clustered codes: random centres, each member flips every bit of its
// centre with probability 0.15 (uniform random codes have no meaningful
// neighbours).
std::vector<BitVector> clusteredCodes(std::size_t n, std::size_t clusters, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<BitVector> centres;
  for (std::size_t c = 0; c < clusters; ++c) centres.push_back(randomCode(rng));
  constexpr std::uint64_t c_flip = 9830;  // 0.15 * 65536
  std::vector<BitVector> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    BitVector v = centres[rng() % clusters];
    for (auto& w : v.words) {
      std::uint64_t mask = 0;
      for (int b = 0; b < 64; b += 4) {
        const std::uint64_t r = rng();
        for (int q = 0; q < 4; ++q) {
          if (((r >> (16 * q)) & 0xFFFF) < c_flip) mask |= std::uint64_t{1} << (b + q);
        }
      }
      w ^= mask;
    }
    out.push_back(v);
  }
  return out;
}

constexpr std::size_t c_clusters_per_20k = 500;

std::size_t clustersFor(std::size_t n) { return std::max<std::size_t>(1, n * c_clusters_per_20k / 20'000); }

// A working set of 256 codes (96 KiB), so pairs come from L2 mostly.
template <std::uint32_t (*Distance)(std::size_t, const std::uint64_t*, const std::uint64_t*)>
void BM_Distance(benchmark::State& state) {
  std::mt19937_64 rng(1);
  std::vector<BitVector> codes;
  for (int i = 0; i < 256; ++i) codes.push_back(randomCode(rng));
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    sum += Distance(BitVector::c_words, codes[i & 255].words.data(),
                    codes[(i * 7 + 3) & 255].words.data());
    ++i;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
// The kernel every traversal uses, and the word-by-word popcount it is
// checked against.
BENCHMARK(BM_Distance<hammingDistance>)->Name("BM_Distance");
BENCHMARK(BM_Distance<hammingDistanceScalar>)->Name("BM_DistanceScalar");

// Builds a graph of `n` nodes with the given breadth; reports inserts/s and
// distance evaluations of the insertion searches per insert.
void BM_Insert(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto ef = static_cast<std::size_t>(state.range(1));
  const std::vector<BitVector> codes = clusteredCodes(n, clustersFor(n), 42);
  double seconds = 0;
  std::size_t evaluated = 0;
  for (auto _ : state) {
    RoutingGraph g = RoutingGraph::init(ef);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < n; ++i) {
      if (!g.insert(i, codes[i])) {
        state.SkipWithError("insert failed");
        return;
      }
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    evaluated += g.buildScratch().stats().nodes_evaluated;
    benchmark::DoNotOptimize(g.entryId());
  }
  const double inserts = static_cast<double>(n) * static_cast<double>(state.iterations());
  state.counters["inserts_per_s"] = inserts / seconds;
  state.counters["us_per_insert"] = seconds * 1e6 / inserts;
  state.counters["search_evals_per_insert"] = static_cast<double>(evaluated) / inserts;
}
BENCHMARK(BM_Insert)
    ->Args({20'000, 64})
    ->Args({20'000, 200})
    ->Args({100'000, 64})
    ->Args({100'000, 200})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// One 20k graph (ef_construction 64) shared by the route benchmarks.
const std::pair<RoutingGraph, std::vector<BitVector>>& routeFixture() {
  static const auto* fixture = [] {
    const std::vector<BitVector> codes = clusteredCodes(20'000 + 1000, 500, 7);
    RoutingGraph g = RoutingGraph::init(64);
    for (std::size_t i = 0; i < 20'000; ++i) {
      if (!g.insert(i, codes[i])) std::abort();
    }
    // The last 1000 codes are queries from the same clusters, not copies.
    std::vector<BitVector> queries(codes.begin() + 20'000, codes.end());
    return new std::pair<RoutingGraph, std::vector<BitVector>>(std::move(g), std::move(queries));
  }();
  return *fixture;
}

void BM_Route(benchmark::State& state) {
  const auto m = static_cast<std::size_t>(state.range(0));
  const auto& [graph, queries] = routeFixture();
  TraversalScratch scratch;
  if (!scratch.ensureCapacity(graph.nodeCount(), m)) {
    state.SkipWithError("scratch");
    return;
  }
  std::size_t q = 0;
  std::size_t evaluated = 0;
  for (auto _ : state) {
    const auto found = graph.route(queries[q % queries.size()], m, scratch);
    benchmark::DoNotOptimize(found.data());
    evaluated += scratch.stats().nodes_evaluated;
    ++q;
  }
  state.counters["nodes_evaluated"] =
      benchmark::Counter(static_cast<double>(evaluated), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Route)->Arg(64)->Arg(256)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace korvane

BENCHMARK_MAIN();
