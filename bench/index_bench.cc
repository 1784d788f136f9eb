// End-to-end figures on generated clustered data (unit vectors, 3072
// dimensions), measured side by side in one run:
//  - insertion throughput: a loop of korvane_index_add versus
//    korvane_index_add_batch with 1 and 2 threads;
//  - where the time of a batch insertion goes (rotation, encoding,
//    planning, commit);
//  - search throughput: a loop of korvane_search versus korvane_search_batch
//    with 1 and 2 threads, at m = 64 and 256;
//  - where the time of one query goes (rotation, score table, routing,
//    payload scoring, reranking).
//
//   index_bench [--n N] [--queries Q] [--skip-single-insert]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_data.h"
#include "c_api.h"
#include "index.h"

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

using korvane::c_dim;

korvane_index* buildBatch(const std::vector<float>& data, std::size_t n, std::size_t threads,
                          double* seconds) {
  korvane_index* h = korvane_index_create(64, 42);
  std::vector<std::uint64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = i;
  const auto t0 = Clock::now();
  if (korvane_index_add_batch(h, ids.data(), data.data(), n, threads) != 0) std::abort();
  *seconds = since(t0);
  return h;
}

// The phases of a batch insertion, timed separately for one chunk of up to
// 1024 vectors appended to `h` (single-threaded, so the shares are those of
// the work, before it is spread over threads).
void batchPhases(korvane_index* h, const std::vector<float>& data, std::size_t first,
                 std::size_t count) {
  using namespace korvane;
  const Index& index = h->index;
  std::vector<float> rotated(count * c_dim);
  auto t0 = Clock::now();
  index.rotation().applyBatch(data.data() + first * c_dim, c_dim, count, rotated.data(), c_dim);
  const double rot = since(t0);
  std::vector<TurboQuantPayload> payloads(count);
  std::vector<BitVector> bits(count);
  t0 = Clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    payloads[i] = TurboQuantPayload::encodeWithCalibration(i, &rotated[i * c_dim], {}, {});
    bits[i] = Index::routeCode(&rotated[i * c_dim]);
  }
  const double enc = since(t0);
  TraversalScratch scratch;
  if (!index.routing().prepareScratch(scratch)) std::abort();
  std::vector<InsertPlan> plans(count);
  t0 = Clock::now();
  for (std::size_t i = 0; i < count; ++i) plans[i] = index.routing().planInsert(bits[i], 0, scratch);
  const double plan = since(t0);
  // The commit: the batch call's total minus the parallel phases is what
  // runs serially; measure it directly by committing the plans.
  std::vector<std::uint64_t> ids(count);
  for (std::size_t i = 0; i < count; ++i) ids[i] = 1'000'000'000 + i;
  t0 = Clock::now();
  if (korvane_index_add_batch(h, ids.data(), data.data() + first * c_dim, count, 1) != 0) std::abort();
  const double whole = since(t0);
  const double commit = std::max(0.0, whole - rot - enc - plan);
  const double total = rot + enc + plan + commit;
  std::printf("\nbatch insertion of %zu vectors into %zu, single-threaded phases:\n", count,
              first);
  std::printf("  rotation %7.1f ms (%4.1f %%)\n", rot * 1e3, 100 * rot / total);
  std::printf("  encoding %7.1f ms (%4.1f %%)\n", enc * 1e3, 100 * enc / total);
  std::printf("  planning %7.1f ms (%4.1f %%)\n", plan * 1e3, 100 * plan / total);
  std::printf("  commit   %7.1f ms (%4.1f %%)  (serial)\n", commit * 1e3, 100 * commit / total);
}

void querySplit(korvane_index* h, const std::vector<float>& queries, std::size_t nq,
                std::size_t m) {
  using namespace korvane;
  const Index& index = h->index;
  auto ctx = SearchContext::init(index, m);
  std::vector<float> dq(c_dim), lut(c_dim * 8);
  double rot = 0, table = 0, route = 0, score = 0, rerank = 0;
  std::vector<SearchResult> pool(std::min<std::size_t>(40, m)), out(10);
  std::vector<const TurboQuantPayload*> ps(m);
  std::vector<float> scores(m);
  TraversalScratch scratch;
  if (!scratch.ensureCapacity(index.routing().nodeCount(), m)) std::abort();
  for (std::size_t q = 0; q < nq; ++q) {
    auto t0 = Clock::now();
    index.rotation().apply(&queries[q * c_dim], ctx->rotatedQuery());
    auto t1 = Clock::now();
    quantizeQuery(ctx->rotatedQuery(), c_dim, dq.data());
    const LutConstants c = buildScoreLut(dq.data(), lut.data());
    auto t2 = Clock::now();
    const auto cands = index.routing().route(BitVector::fromF32(ctx->rotatedQuery()), m, scratch);
    auto t3 = Clock::now();
    std::size_t live = 0;
    for (const Candidate& cd : cands) ps[live++] = &index.payloads()[cd.id];
    scoreLutMany(ps.data(), live, lut.data(), c, scores.data());
    TopK top(pool);
    for (std::size_t i = 0; i < live; ++i) top.offer({cands[i].id, scores[i]});
    const std::size_t pooled = top.sortDescending();
    auto t4 = Clock::now();
    TopK fin(out);
    for (std::size_t i = 0; i < pooled; ++i) {
      fin.offer({pool[i].id, index.rerankScore(pool[i].id, ctx->rotatedQuery())});
    }
    (void)fin.sortDescending();
    auto t5 = Clock::now();
    auto d = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
    rot += d(t0, t1), table += d(t1, t2), route += d(t2, t3), score += d(t3, t4),
        rerank += d(t4, t5);
  }
  const double total = rot + table + route + score + rerank;
  auto row = [&](const char* name, double s) {
    std::printf("  %-16s %8.1f us (%4.1f %%)\n", name, 1e6 * s / double(nq), 100 * s / total);
  };
  std::printf("\nper query at m = %zu, k = 10 (%zu queries):\n", m, nq);
  row("rotation", rot);
  row("score table", table);
  row("graph routing", route);
  row("payload scoring", score);
  row("reranking", rerank);
  std::printf("  nodes evaluated per route: %zu (last query)\n",
              scratch.stats().nodes_evaluated);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = 50000, nq = 400;
  bool single_insert = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--n" && i + 1 < argc) n = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--queries" && i + 1 < argc) nq = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--skip-single-insert") single_insert = false;
  }
  std::printf("generating %zu + %zu clustered vectors...\n", n, nq);
  const auto data = testdata::clustered(n, 42, 0, 100);
  const auto queries = testdata::clustered(nq, 42, 1, 100);

  std::printf("\ninsertion of %zu vectors (ef_construction 64):\n", n);
  double loop_s = 0;
  if (single_insert) {
    korvane_index* h = korvane_index_create(64, 42);
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
      if (korvane_index_add(h, i, &data[i * c_dim]) != 0) std::abort();
    }
    loop_s = since(t0);
    std::printf("  korvane_index_add loop      %8.0f vectors/s\n", double(n) / loop_s);
    korvane_index_destroy(h);
  }
  double b1 = 0, b2 = 0;
  korvane_index_destroy(buildBatch(data, n, 1, &b1));
  std::printf("  add_batch, 1 thread         %8.0f vectors/s", double(n) / b1);
  if (loop_s > 0) std::printf("  (%.2fx the loop)", loop_s / b1);
  std::printf("\n");
  korvane_index* h = buildBatch(data, n, 2, &b2);
  std::printf("  add_batch, 2 threads        %8.0f vectors/s", double(n) / b2);
  if (loop_s > 0) std::printf("  (%.2fx the loop)", loop_s / b2);
  std::printf("\n");

  const std::size_t k = 10;
  std::vector<std::uint64_t> ids(nq * k);
  std::vector<float> scores(nq * k);
  std::vector<std::size_t> counts(nq);
  std::printf("\nsearch, k = 10, %zu queries:\n", nq);
  for (std::size_t m : {64, 256}) {
    korvane_context* ctx = korvane_context_create(h, m);
    auto t0 = Clock::now();
    for (std::size_t q = 0; q < nq; ++q) {
      korvane_search(h, ctx, &queries[q * c_dim], k, &ids[q * k], &scores[q * k]);
    }
    const double loop = since(t0);
    korvane_context_destroy(ctx);
    double batch[2];
    for (std::size_t threads : {1, 2}) {
      t0 = Clock::now();
      korvane_search_batch(h, queries.data(), nq, k, m, threads, ids.data(), scores.data(),
                           counts.data());
      batch[threads - 1] = since(t0);
    }
    std::printf("  m = %3zu: loop %7.0f q/s, batch 1 thread %7.0f q/s (%.2fx), 2 threads %7.0f "
                "q/s (%.2fx)\n",
                m, double(nq) / loop, double(nq) / batch[0], loop / batch[0],
                double(nq) / batch[1], loop / batch[1]);
  }
  for (std::size_t m : {64, 256}) querySplit(h, queries, std::min<std::size_t>(nq, 200), m);
  batchPhases(h, data, n - std::min<std::size_t>(n, 1024), std::min<std::size_t>(n, 1024));
  korvane_index_destroy(h);
  return 0;
}
