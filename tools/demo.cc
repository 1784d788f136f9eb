// korvane_demo: builds an index on generated clustered data, searches it at
// several breadths and reports recall@10 against exact brute force, queries
// per second and build time. Uses only the public C interface.
//
//   korvane_demo [--n N] [--queries Q] [--clusters C] [--seed S] [--threads T]
#include <korvane.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "synthetic.h"

namespace {

struct Options {
  std::size_t n = 20000;
  std::size_t queries = 200;
  std::size_t clusters = 100;
  std::uint64_t seed = 42;
  std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::size_t k = 10;
};

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

void usage() {
  std::fprintf(stderr,
               "usage: korvane_demo [--n N] [--queries Q] [--clusters C] [--seed S] "
               "[--threads T]\n");
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return false;
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(argv[++i], &end, 10);
    if (end == argv[i] || *end != '\0') return false;
    if (a == "--n") o.n = v;
    else if (a == "--queries") o.queries = v;
    else if (a == "--clusters") o.clusters = v;
    else if (a == "--seed") o.seed = v;
    else if (a == "--threads") o.threads = v;
    else return false;
  }
  return o.n > 0 && o.clusters > 0;
}

float exactDot(const float* a, const float* b, std::size_t dim) {
  float lane[8] = {};
  for (std::size_t j = 0; j < dim; j += 8) {
    for (int l = 0; l < 8; ++l) lane[l] += a[j + l] * b[j + l];
  }
  float s = 0;
  for (float x : lane) s += x;
  return s;
}

// The exact top k ids by inner product for every query, on all threads.
std::vector<std::uint64_t> groundTruth(const std::vector<float>& data,
                                       const std::vector<float>& queries, std::size_t dim,
                                       std::size_t k, std::size_t threads) {
  const std::size_t n = data.size() / dim, nq = queries.size() / dim;
  std::vector<std::uint64_t> truth(nq * k);
  auto work = [&](std::size_t t) {
    std::vector<std::pair<float, std::uint64_t>> scored(n);
    for (std::size_t q = t; q < nq; q += threads) {
      for (std::size_t i = 0; i < n; ++i) {
        scored[i] = {exactDot(&queries[q * dim], &data[i * dim], dim), i};
      }
      std::partial_sort(scored.begin(), scored.begin() + std::ptrdiff_t(k), scored.end(),
                        [](auto& a, auto& b) { return a.first > b.first; });
      for (std::size_t r = 0; r < k; ++r) truth[q * k + r] = scored[r].second;
    }
  };
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(work, t);
  for (auto& th : pool) th.join();
  return truth;
}

double recall(const std::vector<std::uint64_t>& truth, const std::vector<std::uint64_t>& ids,
              const std::vector<std::size_t>& counts, std::size_t k) {
  std::size_t hit = 0;
  for (std::size_t q = 0; q < counts.size(); ++q) {
    for (std::size_t i = 0; i < counts[q]; ++i) {
      const std::uint64_t id = ids[q * k + i];
      hit += std::count(&truth[q * k], &truth[q * k] + k, id) > 0;
    }
  }
  return double(hit) / double(counts.size() * k);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    usage();
    return 2;
  }
  const std::size_t dim = korvane_dim();
  std::printf("korvane demo: %zu vectors, %zu queries, %zu clusters, dimension %zu, seed %llu\n",
              o.n, o.queries, o.clusters, dim, (unsigned long long)o.seed);

  auto t0 = Clock::now();
  // Queries come from the same distribution (they are not copies of stored
  // vectors).
  const std::vector<float> data = synthetic::clustered(o.n, o.seed, 0, o.clusters);
  const std::vector<float> queries = synthetic::clustered(o.queries, o.seed, 1, o.clusters);
  std::printf("generated data in %.2f s\n", secondsSince(t0));

  t0 = Clock::now();
  const std::vector<std::uint64_t> truth = groundTruth(data, queries, dim, o.k, o.threads);
  std::printf("exact top-%zu by brute force in %.2f s\n", o.k, secondsSince(t0));

  t0 = Clock::now();
  korvane_index* index = korvane_index_create(64, o.seed);
  if (index == nullptr) {
    std::fprintf(stderr, "korvane_index_create failed\n");
    return 1;
  }
  const double create_s = secondsSince(t0);
  std::printf("created index (rotation drawn) in %.2f s\n", create_s);

  // Insert in slices so that progress can be shown; each slice is one
  // parallel batch on all threads.
  t0 = Clock::now();
  const std::size_t slice = std::max<std::size_t>(o.n / 10, 1);
  std::vector<std::uint64_t> ids(o.n);
  for (std::size_t i = 0; i < o.n; ++i) ids[i] = i;
  for (std::size_t first = 0; first < o.n; first += slice) {
    const std::size_t count = std::min(slice, o.n - first);
    if (korvane_index_add_batch(index, &ids[first], &data[first * dim], count, o.threads) != 0) {
      std::fprintf(stderr, "korvane_index_add_batch failed at %zu\n", first);
      return 1;
    }
    std::printf("\r  building: %zu / %zu", first + count, o.n);
    std::fflush(stdout);
  }
  const double build_s = secondsSince(t0);
  std::printf("\nbuilt %zu vectors in %.2f s (%.0f vectors/s, korvane_index_add_batch, %zu threads)\n",
              korvane_index_len(index), build_s, double(o.n) / build_s, o.threads);

  std::printf("\n%6s  %10s  %14s  %14s\n", "m", "recall@10", "single q/s", "batch q/s");
  std::vector<std::uint64_t> out_ids(o.queries * o.k);
  std::vector<float> out_scores(o.queries * o.k);
  std::vector<std::size_t> counts(o.queries);
  for (std::size_t m : {16, 32, 64, 128, 256}) {
    korvane_context* ctx = korvane_context_create(index, m);
    t0 = Clock::now();
    for (std::size_t q = 0; q < o.queries; ++q) {
      counts[q] = korvane_search(index, ctx, &queries[q * dim], o.k, &out_ids[q * o.k],
                                 &out_scores[q * o.k]);
    }
    const double single_s = secondsSince(t0);
    const double r = recall(truth, out_ids, counts, o.k);
    korvane_context_destroy(ctx);
    t0 = Clock::now();
    if (korvane_search_batch(index, queries.data(), o.queries, o.k, m, o.threads, out_ids.data(),
                             out_scores.data(), counts.data()) != 0) {
      std::fprintf(stderr, "korvane_search_batch failed\n");
      return 1;
    }
    const double batch_s = secondsSince(t0);
    std::printf("%6zu  %10.3f  %14.0f  %14.0f\n", m, r, double(o.queries) / single_s,
                double(o.queries) / batch_s);
  }

  // Save, load back, and check that the loaded index answers identically.
  const std::string path = "korvane_demo.index";
  t0 = Clock::now();
  if (korvane_index_save(index, path.c_str()) != 0) {
    std::fprintf(stderr, "korvane_index_save failed\n");
    return 1;
  }
  const double save_s = secondsSince(t0);
  t0 = Clock::now();
  korvane_index* loaded = korvane_index_load(path.c_str());
  if (loaded == nullptr) {
    std::fprintf(stderr, "korvane_index_load failed\n");
    return 1;
  }
  const double load_s = secondsSince(t0);
  std::vector<std::uint64_t> ids_a(o.queries * o.k), ids_b(o.queries * o.k);
  std::vector<float> sc_a(o.queries * o.k), sc_b(o.queries * o.k);
  std::vector<std::size_t> n_a(o.queries), n_b(o.queries);
  korvane_search_batch(index, queries.data(), o.queries, o.k, 64, o.threads, ids_a.data(),
                       sc_a.data(), n_a.data());
  korvane_search_batch(loaded, queries.data(), o.queries, o.k, 64, o.threads, ids_b.data(),
                       sc_b.data(), n_b.data());
  const bool same = n_a == n_b && ids_a == ids_b &&
                    std::memcmp(sc_a.data(), sc_b.data(), sc_a.size() * sizeof(float)) == 0;
  std::printf("\nsaved to %s in %.2f s, loaded in %.2f s: %zu live vectors, results %s\n",
              path.c_str(), save_s, load_s, korvane_index_len(loaded),
              same ? "identical" : "DIFFERENT");
  std::remove(path.c_str());
  korvane_index_destroy(loaded);
  korvane_index_destroy(index);
  return same ? 0 : 1;
}
