// The fixed computations whose results are pinned in golden_values.h: the
// generator streams, the rotation matrices of two seeds, and a small index
// built by a fixed sequence of calls (single adds, a batch, removals, a
// save, a reload, more adds, another save) with the answers to fixed
// queries. golden_test compares them with the pinned values; golden_regenerate
// prints a new golden_values.h from them.
//
// Everything here is computed with the library's own generator and exact
// arithmetic, so the pinned values depend on nothing but the library.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "c_api.h"
#include "graph.h"
#include "korvane.h"
#include "random.h"
#include "rotation.h"
#include "support/index_parts.h"

namespace golden {

using korvane::c_dim;

inline std::uint64_t hashBytes(const void* p, std::size_t n) { return XXH3_64bits(p, n); }

inline std::uint64_t rotationDigest(const korvane::RandomRotation& r) {
  return hashBytes(r.rows().data(), r.rows().size_bytes());
}

// The first 1,000 levels drawn from the level generator's fixed initial
// state, one byte each.
inline std::vector<std::uint8_t> firstLevels() {
  korvane::RoutingGraph g = korvane::RoutingGraph::init(32);
  std::vector<std::uint8_t> levels(1000);
  for (std::uint8_t& l : levels) l = static_cast<std::uint8_t>(g.drawLevel());
  return levels;
}

// The first 4,096 uniform doubles and normal variates for seed 42.
inline std::uint64_t uniformDigest() {
  korvane::Xoshiro256pp rng = korvane::Xoshiro256pp::fromSeed(42);
  std::vector<double> v(4096);
  for (double& x : v) x = korvane::uniformDouble(rng);
  return hashBytes(v.data(), v.size() * sizeof(double));
}
inline std::uint64_t normalDigest() {
  korvane::Xoshiro256pp rng = korvane::Xoshiro256pp::fromSeed(42);
  std::vector<double> v(4096);
  for (double& x : v) x = korvane::standardNormal(rng);
  return hashBytes(v.data(), v.size() * sizeof(double));
}

// Vectors around eight centres, from the library's xoshiro256++ and exact
// operations only: a component is a sum of four 24-bit uniforms (exact in
// double) minus 2, rounded once to float; a vector is its centre plus half
// of such noise. Vector `i` of `stream` is always the same.
class Data {
 public:
  Data() {
    korvane::Xoshiro256pp rng = korvane::Xoshiro256pp::fromSeed(0x601d);
    centres_.resize(8 * c_dim);
    for (float& x : centres_) x = component(rng);
  }
  std::vector<float> vectors(std::size_t count, std::uint64_t stream) const {
    korvane::Xoshiro256pp rng = korvane::Xoshiro256pp::fromSeed(0x5eed0000 + stream);
    std::vector<float> out(count * c_dim);
    for (std::size_t i = 0; i < count; ++i) {
      const float* c = &centres_[(i * 5 + stream) % 8 * c_dim];
      for (std::size_t j = 0; j < c_dim; ++j) {
        const float noise = 0.5f * component(rng);
        out[i * c_dim + j] = c[j] + noise;
      }
    }
    return out;
  }

 private:
  static float component(korvane::Xoshiro256pp& rng) {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) sum += static_cast<double>(rng.next() >> 40) * 0x1p-24;
    return static_cast<float>(sum - 2.0);
  }
  std::vector<float> centres_;
};

// The ids, counts and score bits of search answers, in order.
class ResultHash {
 public:
  void add(std::size_t count, const std::uint64_t* ids, const float* scores) {
    const std::uint64_t c = count;
    XXH3_64bits_update(state_, &c, sizeof c);
    XXH3_64bits_update(state_, ids, count * sizeof(std::uint64_t));
    XXH3_64bits_update(state_, scores, count * sizeof(float));
  }
  std::uint64_t digest() const { return XXH3_64bits_digest(state_); }
  ResultHash() { XXH3_64bits_reset(state_); }
  ~ResultHash() { XXH3_freeState(state_); }
  ResultHash(const ResultHash&) = delete;
  ResultHash& operator=(const ResultHash&) = delete;

 private:
  XXH3_state_t* state_ = XXH3_createState();
};

struct FileDigest {
  std::uint64_t bytes = 0;
  std::uint64_t hash = 0;
  friend bool operator==(const FileDigest&, const FileDigest&) = default;
};

struct BuildDigests {
  FileDigest saved;         // after single adds, a batch, removals, more adds
  FileDigest reloaded;      // the reloaded index after further adds
  std::uint64_t search = 0;    // korvane_search, m = 48, k = 5 and 10
  std::uint64_t filtered = 0;  // korvane_search_filtered, k = 10
  std::uint64_t batch = 0;     // korvane_search_batch, m = 64, k = 12
  bool reload_answers_same = false;  // the loaded index answered as the saved one
  friend bool operator==(const BuildDigests&, const BuildDigests&) = default;
};

inline FileDigest digestFile(const std::string& path) {
  FileDigest d;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return d;
  std::vector<char> bytes;
  char block[1 << 16];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) {
    bytes.insert(bytes.end(), block, block + n);
  }
  std::fclose(f);
  d.bytes = bytes.size();
  d.hash = hashBytes(bytes.data(), bytes.size());
  return d;
}

struct Answers {
  std::uint64_t search = 0, filtered = 0, batch = 0;
};

// The fixed queries against `h`.
inline Answers answer(korvane_index* h, const std::vector<float>& queries, std::size_t nq,
                      std::size_t threads) {
  Answers a;
  std::uint64_t ids[16];
  float scores[16];
  {
    ResultHash rh;
    korvane_context* ctx = korvane_context_create(h, 48);
    for (std::size_t q = 0; q < nq; ++q) {
      for (std::size_t k : {5, 10}) {
        rh.add(korvane_search(h, ctx, &queries[q * c_dim], k, ids, scores), ids, scores);
      }
    }
    korvane_context_destroy(ctx);
    a.search = rh.digest();
  }
  {
    // Every third id of each group, some removed ones and some never added.
    std::vector<std::uint64_t> allowed;
    for (std::uint64_t id = 100; id < 140; id += 3) allowed.push_back(id);
    for (std::uint64_t id = 1000; id < 1300; id += 3) allowed.push_back(id);
    for (std::uint64_t id : {105, 1150, 999999}) allowed.push_back(id);
    ResultHash rh;
    korvane_context* ctx = korvane_context_create(h, 16);
    for (std::size_t q = 0; q < nq; ++q) {
      rh.add(korvane_search_filtered(h, ctx, &queries[q * c_dim], allowed.data(), allowed.size(),
                                     10, ids, scores),
             ids, scores);
    }
    korvane_context_destroy(ctx);
    a.filtered = rh.digest();
  }
  {
    constexpr std::size_t k = 12;
    std::vector<std::uint64_t> bids(nq * k);
    std::vector<float> bscores(nq * k);
    std::vector<std::size_t> counts(nq);
    ResultHash rh;
    if (korvane_search_batch(h, queries.data(), nq, k, 64, threads, bids.data(), bscores.data(),
                             counts.data()) == 0) {
      for (std::size_t q = 0; q < nq; ++q) rh.add(counts[q], &bids[q * k], &bscores[q * k]);
    }
    a.batch = rh.digest();
  }
  return a;
}

// The fixed build on `h` (an empty index of breadth 40 with the rotation of
// seed 42), with batch calls on `threads` threads. Removes its files.
inline BuildDigests build(korvane_index* h, std::size_t threads) {
  const Data data;
  BuildDigests out;
  // 40 single adds; vectors 3, 5 and 6 are one vector, and a group of 12
  // copies of another is spread over the batch below, so that searches meet
  // exact score ties.
  std::vector<float> singles = data.vectors(40, 0);
  for (std::size_t i : {5, 6}) std::copy_n(&singles[3 * c_dim], c_dim, &singles[i * c_dim]);
  for (std::size_t i = 0; i < 40; ++i) korvane_index_add(h, 100 + i, &singles[i * c_dim]);

  std::vector<float> batch = data.vectors(300, 1);
  std::vector<std::uint64_t> ids(300);
  for (std::size_t i = 0; i < 300; ++i) ids[i] = 1000 + i;
  for (std::size_t i = 1; i < 12; ++i) {
    std::copy_n(&batch[7 * c_dim], c_dim, &batch[(7 + 23 * i) * c_dim]);
  }
  korvane_index_add_batch(h, ids.data(), batch.data(), 300, threads);

  for (std::uint64_t id : {105, 120, 1007, 1150, 1299}) korvane_index_remove(h, id);
  // More single adds after the removals, one of them re-using a removed id.
  const std::vector<float> more = data.vectors(5, 2);
  for (std::size_t i = 0; i < 5; ++i) {
    korvane_index_add(h, i == 0 ? 105 : 5000 + i, &more[i * c_dim]);
  }

  // Queries: fresh vectors, a copy of the tied group, a stored single.
  const std::size_t nq = 16;
  std::vector<float> queries = data.vectors(nq, 3);
  std::copy_n(&batch[7 * c_dim], c_dim, &queries[0]);
  std::copy_n(&singles[3 * c_dim], c_dim, &queries[c_dim]);

  const std::string dir = "/tmp/korvane-golden-" + std::to_string(::getpid());
  const std::string first = dir + "-a.korvane", second = dir + "-b.korvane";
  korvane_index_save(h, first.c_str());
  out.saved = digestFile(first);
  const Answers before = answer(h, queries, nq, threads);
  out.search = before.search;
  out.filtered = before.filtered;
  out.batch = before.batch;

  korvane_index* loaded = korvane_index_load(first.c_str());
  if (loaded != nullptr) {
    const Answers after = answer(loaded, queries, nq, threads);
    out.reload_answers_same = after.search == before.search &&
                              after.filtered == before.filtered && after.batch == before.batch;
    // A loaded graph draws levels from the fixed initial state again.
    const std::vector<float> late = data.vectors(20, 4);
    std::vector<std::uint64_t> late_ids(20);
    for (std::size_t i = 0; i < 20; ++i) late_ids[i] = 7000 + i;
    korvane_index_add_batch(loaded, late_ids.data(), late.data(), 10, threads);
    for (std::size_t i = 10; i < 20; ++i) korvane_index_add(loaded, late_ids[i], &late[i * c_dim]);
    korvane_index_save(loaded, second.c_str());
    out.reloaded = digestFile(second);
    korvane_index_destroy(loaded);
  }
  std::remove(first.c_str());
  std::remove(second.c_str());
  return out;
}

}  // namespace golden
