// The three rerank stores through the C interface: an index created with
// each kind keeps it across insertion, saving and loading, scores exactly
// as its kind defines, builds the same files on any number of threads, and
// the full-precision store reaches a higher recall than the 8-bit one.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "c_api.h"
#include "rotation.h"
#include "support/index_parts.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "turboquant.h"

namespace {

using korvane::c_dim;
using korvane::RerankStore;

constexpr std::size_t c_n = 600;
constexpr std::size_t c_queries = 40;
constexpr std::size_t c_k = 10;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

const char* nameOf(int kind) {
  return kind == KORVANE_STORE_NONE ? "none" : kind == KORVANE_STORE_FP32 ? "fp32" : "sq8";
}

struct Answers {
  std::vector<std::uint64_t> ids;
  std::vector<float> scores;
  std::vector<std::size_t> counts;
  bool operator==(const Answers& o) const {
    return ids == o.ids && counts == o.counts &&
           std::memcmp(scores.data(), o.scores.data(), scores.size() * sizeof(float)) == 0;
  }
};

Answers searchAll(korvane_index* h, const std::vector<float>& queries, std::size_t m) {
  Answers a;
  a.ids.assign(c_queries * c_k, ~0ULL);
  a.scores.assign(c_queries * c_k, 0.0f);
  a.counts.assign(c_queries, 0);
  korvane_context* ctx = korvane_context_create(h, m);
  EXPECT_NE(ctx, nullptr);
  for (std::size_t q = 0; q < c_queries; ++q) {
    a.counts[q] = korvane_search(h, ctx, &queries[q * c_dim], c_k, &a.ids[q * c_k],
                                 &a.scores[q * c_k]);
  }
  korvane_context_destroy(ctx);
  return a;
}

class StoreKinds : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    data = new std::vector<float>(testdata::clustered(c_n, 61, 0, 40));
    queries = new std::vector<float>(testdata::clustered(c_queries, 61, 1, 40));
    for (std::size_t i = 0; i < c_n; ++i) ids.push_back(5000 + i);
  }
  static void TearDownTestSuite() {
    delete data;
    delete queries;
  }
  // A created index of the kind: 100 single additions, then a batch.
  static korvane_index* build(int kind, std::size_t threads) {
    korvane_index* h = korvane_index_create_with_store(40, 8, kind);
    EXPECT_NE(h, nullptr);
    for (std::size_t i = 0; i < 100; ++i) {
      EXPECT_EQ(korvane_index_add(h, ids[i], &(*data)[i * c_dim]), 0);
    }
    EXPECT_EQ(korvane_index_add_batch(h, &ids[100], &(*data)[100 * c_dim], c_n - 100, threads), 0);
    return h;
  }
  static inline std::vector<float>* data = nullptr;
  static inline std::vector<float>* queries = nullptr;
  static inline std::vector<std::uint64_t> ids;
};

TEST_P(StoreKinds, KeepsItsKindAndScoresAsItDefines) {
  const int kind = GetParam();
  korvane_index* h = build(kind, 2);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(korvane_index_store(h), kind);
  const korvane::Index& index = h->index;
  const Answers before = searchAll(h, *queries, 64);

  // Every score is the kind's own: the exact float inner product of the
  // rotated vectors (fp32), the 8-bit one (sq8), the payload estimate
  // (none), each against a plain evaluation.
  std::vector<float> rq(c_dim), rv(c_dim), decoded(c_dim), table(8 * c_dim);
  for (std::size_t q = 0; q < c_queries; ++q) {
    index.rotation().apply(&(*queries)[q * c_dim], rq.data());
    korvane::quantizeQuery(rq.data(), c_dim, decoded.data());
    const korvane::LutConstants c = korvane::buildScoreLut(decoded.data(), table.data());
    ASSERT_EQ(before.counts[q], c_k);
    for (std::size_t r = 0; r < c_k; ++r) {
      const std::uint64_t id = before.ids[q * c_k + r];
      const std::uint64_t internal = *index.internalOf(id);
      float want = 0;
      if (kind == KORVANE_STORE_FP32) {
        index.rotation().apply(&(*data)[(id - 5000) * c_dim], rv.data());
        want = korvane::dotScalar(rq.data(), rv.data(), c_dim);
      } else if (kind == KORVANE_STORE_SQ8) {
        want = korvane::dotSq8Scalar(rq.data(), index.sq8().codes().data() + c_dim * internal,
                                     c_dim) *
               index.sq8().scales()[internal];
      } else {
        want = korvane::scoreLut(index.payloads()[internal], table.data(), c.a, c.b);
      }
      ASSERT_EQ(bits(before.scores[q * c_k + r]), bits(want)) << "query " << q << " rank " << r;
    }
  }

  // Saved and loaded, it is the same kind and answers the same.
  testsupport::TempDir dir;
  const std::string path = dir.file(std::string(nameOf(kind)) + ".korvane");
  ASSERT_EQ(korvane_index_save(h, path.c_str()), 0);
  korvane_index* loaded = korvane_index_load(path.c_str());
  ASSERT_NE(loaded, nullptr) << korvane_last_error();
  EXPECT_EQ(korvane_index_store(loaded), kind);
  EXPECT_TRUE(searchAll(loaded, *queries, 64) == before);
  // And a loaded index grows as a created one does.
  const std::vector<float> more = testdata::clustered(3, 62, 0, 4);
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(korvane_index_add(h, 90 + i, &more[i * c_dim]), 0);
    ASSERT_EQ(korvane_index_add(loaded, 90 + i, &more[i * c_dim]), 0);
  }
  EXPECT_TRUE(searchAll(loaded, *queries, 64) == searchAll(h, *queries, 64));
  korvane_index_destroy(loaded);
  korvane_index_destroy(h);
}

TEST_P(StoreKinds, SameFilesOnEveryThreadCount) {
  const int kind = GetParam();
  testsupport::TempDir dir;
  std::vector<std::vector<std::uint8_t>> files;
  korvane_index* first = build(kind, 1);
  ASSERT_NE(first, nullptr);
  for (std::size_t threads : {1, 3}) {
    SCOPED_TRACE(threads);
    // The second build reuses the first one's rotation: the same index a
    // created one is.
    korvane_index* h = first;
    if (threads != 1) {
      h = new korvane_index{testsupport::emptyIndex(first->index.rotation(),
                                                    static_cast<RerankStore>(kind), 40)};
      for (std::size_t i = 0; i < 100; ++i) {
        ASSERT_EQ(korvane_index_add(h, ids[i], &(*data)[i * c_dim]), 0);
      }
      ASSERT_EQ(
          korvane_index_add_batch(h, &ids[100], &(*data)[100 * c_dim], c_n - 100, threads), 0);
    }
    const std::string path = dir.file(std::to_string(threads));
    ASSERT_EQ(korvane_index_save(h, path.c_str()), 0);
    files.push_back(testsupport::readFileBytes(path));
    if (h != first) korvane_index_destroy(h);
  }
  korvane_index_destroy(first);
  EXPECT_EQ(files[0], files[1]);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StoreKinds,
                         ::testing::Values(KORVANE_STORE_NONE, KORVANE_STORE_FP32,
                                           KORVANE_STORE_SQ8),
                         [](const auto& info) { return std::string(nameOf(info.param)); });

// Exact scores put near-ties in the right order: at the same breadth the
// fp32 store's recall is clearly above the 8-bit store's.
TEST(StoreRecall, Fp32IsAboveSq8AtTheSameBreadth) {
  constexpr std::size_t n = 3000, nq = 100;
  const std::vector<float> data = testdata::clustered(n, 63, 0, 50);
  const std::vector<float> queries = testdata::clustered(nq, 63, 1, 50);
  std::vector<std::uint64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = i;
  double recall[2] = {0, 0};
  korvane_index* sq8 = korvane_index_create_with_store(64, 3, KORVANE_STORE_SQ8);
  ASSERT_NE(sq8, nullptr);
  korvane_index* fp32 = new korvane_index{
      testsupport::emptyIndex(sq8->index.rotation(), RerankStore::fp32, 64)};
  korvane_index* both[2] = {sq8, fp32};
  for (korvane_index* h : both) ASSERT_EQ(korvane_index_add_batch(h, ids.data(), data.data(), n, 2), 0);
  std::vector<std::uint64_t> out(nq * c_k);
  std::vector<float> scores(nq * c_k);
  std::vector<std::size_t> counts(nq);
  for (int s = 0; s < 2; ++s) {
    ASSERT_EQ(korvane_search_batch(both[s], queries.data(), nq, c_k, 256, 2, out.data(),
                                   scores.data(), counts.data()),
              0);
    std::size_t hits = 0;
    for (std::size_t q = 0; q < nq; ++q) {
      const auto truth = testdata::bruteForce(data, &queries[q * c_dim], c_k);
      for (std::size_t r = 0; r < counts[q]; ++r) {
        hits += std::count(truth.begin(), truth.end(), out[q * c_k + r]) > 0;
      }
    }
    recall[s] = double(hits) / double(nq * c_k);
  }
  std::printf("recall@10 at m = 256: sq8 %.3f, fp32 %.3f\n", recall[0], recall[1]);
  EXPECT_GE(recall[1], 0.995);
  EXPECT_GE(recall[0], 0.95);
  EXPECT_GT(recall[1], recall[0]);
  for (korvane_index* h : both) korvane_index_destroy(h);
}

}  // namespace
