#include "index.h"

#include <gtest/gtest.h>

#include <limits>

#include <bit>
#include <cstring>
#include <memory>
#include <set>

#include "support/failing_allocator.h"
#include "support/test_data.h"
#include "support/index_parts.h"

namespace korvane {
namespace {

std::span<const float> vec(const std::vector<float>& data, std::size_t i) {
  return {data.data() + i * c_dim, c_dim};
}

using testsupport::emptyIndex;

// Everything an insertion may change, for before/after comparisons.
struct Snapshot {
  std::size_t payloads, live, nodes, layers, originals, codes, scales, tombstones;
  std::uint64_t entry;
  std::array<std::uint64_t, 4> rng;
  std::vector<std::uint32_t> edges;  // layer 0 edge counts
  bool operator==(const Snapshot&) const = default;
};
Snapshot snapshot(const Index& x) {
  Snapshot s{x.payloadCount(), x.liveCount(), x.routing().nodeCount(), x.routing().layerCount(),
             x.originals().size(), x.sq8().codes().size(), x.sq8().scales().size(),
             x.tombstones().size(), x.routing().entryId(), x.routing().levelRngState(), {}};
  if (x.routing().layerCount() > 0) {
    for (const NodeLinks& n : x.routing().layer(0).links) s.edges.push_back(n.count);
  }
  return s;
}

std::vector<SearchResult> searchOnce(const Index& index, std::size_t m, const float* q,
                                     std::size_t k) {
  auto ctx = SearchContext::init(index, m);
  EXPECT_TRUE(ctx.has_value());
  std::vector<SearchResult> out(k);
  out.resize(index.search(*ctx, q, out));
  return out;
}

bool sameResults(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id ||
        std::bit_cast<std::uint32_t>(a[i].score) != std::bit_cast<std::uint32_t>(b[i].score)) {
      return false;
    }
  }
  return true;
}

// The search written straight from its definition, one candidate at a time,
// with the scalar payload score: route, skip deleted, payload scores, a pool
// of min(4k, m) best payload scores rescored from the rerank store.
std::vector<SearchResult> referenceSearch(const Index& index, std::size_t m, const float* query,
                                          std::size_t k) {
  std::vector<float> rq(c_dim), dq(c_dim), lut(c_dim * 8);
  index.rotation().apply(query, rq.data());
  if (k == 0 || index.liveCount() == 0) return {};
  quantizeQuery(rq.data(), c_dim, dq.data());
  const LutConstants c = buildScoreLut(dq.data(), lut.data());
  TraversalScratch scratch;
  EXPECT_TRUE(scratch.ensureCapacity(index.routing().nodeCount(), m));
  const auto cands = index.routing().route(BitVector::fromF32(rq.data()), m, scratch);
  std::vector<SearchResult> out(k);
  TopK top(out);
  if (!index.hasRerankStore()) {
    for (const Candidate& cand : cands) {
      if (index.isDeleted(cand.id)) continue;
      const auto& p = index.payloads()[cand.id];
      top.offer({p.id, scoreLut(p, lut.data(), c.a, c.b)});
    }
  } else {
    std::vector<SearchResult> pool_items(std::min(4 * k, m));
    TopK pool(pool_items);
    for (const Candidate& cand : cands) {
      if (index.isDeleted(cand.id)) continue;
      pool.offer({cand.id, scoreLut(index.payloads()[cand.id], lut.data(), c.a, c.b)});
    }
    const std::size_t pooled = pool.sortDescending();
    for (std::size_t i = 0; i < pooled; ++i) {
      const std::uint64_t internal = pool_items[i].id;
      top.offer({index.payloads()[internal].id, index.rerankScore(internal, rq.data())});
    }
  }
  out.resize(top.sortDescending());
  return out;
}

TEST(IndexFrame, NewIndexAndRemoval) {
  auto created = Index::init(0, 5);
  ASSERT_TRUE(created.has_value());
  Index& index = *created;
  EXPECT_EQ(index.liveCount(), 0u);
  EXPECT_EQ(index.payloadCount(), 0u);
  EXPECT_EQ(index.rerankStore(), RerankStore::sq8);
  EXPECT_FALSE(index.calibFrozen());
  EXPECT_EQ(index.routing().efConstruction(), 32u);
  EXPECT_EQ(index.remove(123), (std::expected<bool, Error>(false)));
  EXPECT_EQ(index.tombstones().size(), 0u);
  EXPECT_FALSE(index.isDeleted(1000));
}

TEST(Insertion, IdsDuplicatesAndReAdding) {
  Index index = emptyIndex(RerankStore::sq8);
  const auto data = testdata::clustered(5, 1, 0);
  for (std::uint64_t id : {7, 8, 9}) ASSERT_TRUE(index.add(id, vec(data, id - 7)));
  EXPECT_EQ(index.liveCount(), 3u);
  for (std::uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(index.payloads()[i].id, 7 + i);
    EXPECT_EQ(*index.internalOf(7 + i), i);
  }
  const Snapshot before = snapshot(index);
  EXPECT_EQ(index.add(7, vec(data, 3)), std::unexpected(Error::DuplicateId));
  EXPECT_EQ(snapshot(index), before) << "a duplicate draws no level and stores nothing";

  EXPECT_EQ(index.remove(8), (std::expected<bool, Error>(true)));
  EXPECT_EQ(index.remove(8), (std::expected<bool, Error>(false)));
  EXPECT_EQ(index.liveCount(), 2u);
  EXPECT_EQ(index.tombstones().size(), 3u);
  EXPECT_TRUE(index.isDeleted(1));
  ASSERT_TRUE(index.add(8, vec(data, 4)));
  EXPECT_EQ(*index.internalOf(8), 3u);
  EXPECT_EQ(index.liveCount(), 3u);
  EXPECT_EQ(index.payloadCount(), 4u);
  EXPECT_EQ(index.payloads()[1].id, 8u);
  EXPECT_EQ(index.payloads()[3].id, 8u);
  EXPECT_TRUE(index.routing().checkInvariants());
}

TEST(Insertion, RerankRecordsFollowTheStoreKind) {
  const auto data = testdata::clustered(2, 2, 0);
  std::vector<float> rotated(c_dim);
  for (RerankStore kind : {RerankStore::none, RerankStore::fp32, RerankStore::sq8}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Index index = emptyIndex(kind);
    ASSERT_TRUE(index.add(1, vec(data, 0)));
    ASSERT_TRUE(index.add(2, vec(data, 1)));
    EXPECT_EQ(index.originals().size(), kind == RerankStore::fp32 ? 2 * c_dim : 0);
    EXPECT_EQ(index.sq8().codes().size(), kind == RerankStore::sq8 ? 2 * c_dim : 0);
    EXPECT_EQ(index.sq8().scales().size(), kind == RerankStore::sq8 ? 2u : 0u);
    EXPECT_EQ(index.hasRerankStore(), kind != RerankStore::none);
    index.rotation().apply(data.data() + c_dim, rotated.data());
    if (kind == RerankStore::fp32) {
      EXPECT_EQ(std::memcmp(index.originals().data() + c_dim, rotated.data(), c_dim * 4), 0);
    }
  }
}

// A small index of each store kind over clustered data, shared by the
// search tests.
class SearchTest : public ::testing::Test {
 protected:
  static constexpr std::size_t c_n = 600;
  static void SetUpTestSuite() {
    data = new std::vector<float>(testdata::clustered(c_n, 3, 0, 20));
    queries = new std::vector<float>(testdata::clustered(20, 3, 1, 20));
    for (RerankStore kind : {RerankStore::none, RerankStore::fp32, RerankStore::sq8}) {
      auto* index = new Index(emptyIndex(kind));
      for (std::size_t i = 0; i < c_n; ++i) ASSERT_TRUE(index->add(1000 + i, vec(*data, i)));
      indexes[static_cast<int>(kind)] = index;
    }
  }
  static void TearDownTestSuite() {
    for (Index*& x : indexes) {
      delete x;
      x = nullptr;
    }
    delete data;
    delete queries;
  }
  static const float* query(std::size_t q) { return queries->data() + q * c_dim; }
  static Index& index(RerankStore kind) { return *indexes[static_cast<int>(kind)]; }

  static inline std::vector<float>* data = nullptr;
  static inline std::vector<float>* queries = nullptr;
  static inline Index* indexes[3] = {nullptr, nullptr, nullptr};
};

TEST_F(SearchTest, MatchesTheReferenceDefinitionBitForBit) {
  for (RerankStore kind : {RerankStore::none, RerankStore::fp32, RerankStore::sq8}) {
    for (auto [k, m] : {std::pair<std::size_t, std::size_t>{10, 64}, {20, 64}, {1, 1}, {50, 10},
                        {5, 700}, {256, 256}}) {
      SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " k " << k << " m " << m);
      for (std::size_t q = 0; q < 5; ++q) {
        const auto got = searchOnce(index(kind), m, query(q), k);
        ASSERT_TRUE(sameResults(got, referenceSearch(index(kind), m, query(q), k)));
        ASSERT_LE(got.size(), std::min(k, m));
        for (std::size_t i = 1; i < got.size(); ++i) ASSERT_GE(got[i - 1].score, got[i].score);
      }
    }
  }
}

TEST_F(SearchTest, ScoresAreInnerProducts) {
  // fp32: a stored vector queried by itself scores its squared norm (1 for
  // unit vectors) up to f32 error, and comes first.
  const Index& fp32 = index(RerankStore::fp32);
  const auto self = searchOnce(fp32, 64, data->data() + 17 * c_dim, 10);
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self[0].id, 1017u);
  EXPECT_NEAR(self[0].score, 1.0f, 1e-5f);
  for (const SearchResult& r : self) {
    EXPECT_NEAR(r.score, testdata::exactDot(data->data() + 17 * c_dim,
                                            data->data() + (r.id - 1000) * c_dim), 1e-4);
  }
  // sq8: 8-bit approximations of the same products.
  for (const SearchResult& r : searchOnce(index(RerankStore::sq8), 64, query(0), 10)) {
    EXPECT_NEAR(r.score, testdata::exactDot(query(0), data->data() + (r.id - 1000) * c_dim), 2e-2);
  }
}

TEST_F(SearchTest, RecallAgainstBruteForce) {
  // Measured on this data (600 clustered unit vectors, ef_construction 64,
  // 20 queries from the same distribution): recall@10 at m = 64 is about
  // 0.97 with the sq8 store and 0.9 without a store; the floors leave a wide
  // margin and still catch a broken graph, score table or rerank step.
  for (auto [kind, floor] : {std::pair{RerankStore::sq8, 0.85}, {RerankStore::fp32, 0.85},
                             {RerankStore::none, 0.6}}) {
    std::size_t hits = 0, total = 0;
    for (std::size_t q = 0; q < 20; ++q) {
      const auto truth = testdata::bruteForce(*data, query(q), 10);
      const std::set<std::uint64_t> want(truth.begin(), truth.end());
      for (const SearchResult& r : searchOnce(index(kind), 64, query(q), 10)) {
        hits += want.count(r.id - 1000);
      }
      total += 10;
    }
    EXPECT_GE(double(hits) / double(total), floor) << "kind " << int(kind);
  }
}

TEST_F(SearchTest, EdgeCases) {
  Index& idx = index(RerankStore::sq8);
  EXPECT_TRUE(searchOnce(idx, 64, query(0), 0).empty());
  EXPECT_EQ(searchOnce(idx, 10, query(0), 50).size(), 10u);
  // With m at least the node count every vector is a candidate.
  EXPECT_EQ(searchOnce(idx, 2000, query(0), 256).size(), 256u);
}

TEST_F(SearchTest, FilteredSearch) {
  for (RerankStore kind : {RerankStore::none, RerankStore::sq8}) {
    Index& idx = index(kind);
    auto ctx = SearchContext::init(idx, 16);
    ASSERT_TRUE(ctx);
    std::vector<SearchResult> out(10);
    EXPECT_EQ(idx.searchFiltered(*ctx, query(0), {}, out), 0u);
    const std::vector<std::uint64_t> allowed = {1005, 1, 1005, 1300, 99999, 1599};
    const std::size_t n = idx.searchFiltered(*ctx, query(0), allowed, out);
    ASSERT_EQ(n, 4u) << "unknown ids skipped, the repeated one scored twice";
    std::multiset<std::uint64_t> got;
    for (std::size_t i = 0; i < n; ++i) got.insert(out[i].id);
    EXPECT_EQ(got, (std::multiset<std::uint64_t>{1005, 1005, 1300, 1599}));
    if (kind == RerankStore::sq8) {
      EXPECT_EQ(out[0].score, idx.rerankScore(*idx.internalOf(out[0].id), ctx->rotatedQuery()));
    }
  }
}

TEST(Search, RemovedVectorsAreNeverReturned) {
  Index index = emptyIndex(RerankStore::sq8);
  const auto data = testdata::clustered(200, 4, 0, 5);
  for (std::size_t i = 0; i < 200; ++i) ASSERT_TRUE(index.add(i, vec(data, i)));
  for (std::size_t i = 0; i < 200; i += 2) ASSERT_EQ(index.remove(i), (std::expected<bool, Error>(true)));
  for (std::size_t q = 0; q < 10; ++q) {
    for (const SearchResult& r : searchOnce(index, 256, data.data() + q * c_dim, 50)) {
      EXPECT_EQ(r.id % 2, 1u);
    }
  }
  auto ctx = SearchContext::init(index, 16);
  std::vector<SearchResult> out(10);
  const std::vector<std::uint64_t> removed_ids = {0, 2, 4};
  EXPECT_EQ(index.searchFiltered(*ctx, data.data(), removed_ids, out), 0u);
  for (std::size_t i = 1; i < 200; i += 2) ASSERT_TRUE(index.remove(i));
  EXPECT_EQ(index.liveCount(), 0u);
  EXPECT_TRUE(searchOnce(index, 64, data.data(), 10).empty());
  EXPECT_EQ(index.routing().nodeCount(), 200u);
}

// A NaN score ranks below every number: no finite result is lost to one,
// and NaN-scored entries come only after every finite one.
TEST(Search, NanScoresRankBelowEveryNumber) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const auto data = testdata::clustered(2, 5, 0);
  const std::vector<float> all_nan(c_dim, nan);
  for (RerankStore store : {RerankStore::sq8, RerankStore::none}) {
    SCOPED_TRACE(static_cast<int>(store));
    Index index = emptyIndex(store);
    ASSERT_TRUE(index.add(1, vec(data, 0)));
    ASSERT_TRUE(index.add(2, vec(data, 1)));
    // All NaN: its payload scores NaN; its 8-bit copy is all zeros and
    // scores a finite 0.
    ASSERT_TRUE(index.add(3, all_nan));
    auto ctx = SearchContext::init(index, 16);
    ASSERT_TRUE(ctx);
    std::vector<SearchResult> out(10);
    const auto sorted = [](std::span<const SearchResult> r) {
      for (std::size_t i = 1; i < r.size(); ++i) {
        if (!std::isnan(r[i].score) && (std::isnan(r[i - 1].score) || r[i - 1].score < r[i].score)) {
          return false;
        }
      }
      return true;
    };

    // The query equals A: C is in the answer, with 0 (sq8) or last, NaN.
    std::size_t n = index.search(*ctx, data.data(), out);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(out[0].id, 1u);
    EXPECT_TRUE(sorted(std::span(out).first(n)));
    const auto c = std::find_if(out.begin(), out.begin() + 3, [](auto& r) { return r.id == 3; });
    ASSERT_NE(c, out.begin() + 3);
    if (store == RerankStore::sq8) {
      EXPECT_EQ(c->score, 0.0f);
    } else {
      EXPECT_EQ(c, out.begin() + 2);
      EXPECT_TRUE(std::isnan(c->score));
    }

    // Filtered, with C listed first.
    const std::uint64_t allowed[] = {3, 1, 2};
    n = index.searchFiltered(*ctx, data.data(), allowed, out);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(out[0].id, 1u);
    EXPECT_TRUE(sorted(std::span(out).first(n)));
    if (store == RerankStore::none) {
      EXPECT_EQ(out[2].id, 3u);
    }

    // A NaN query scores everything NaN and still answers.
    n = index.search(*ctx, all_nan.data(), out);
    EXPECT_EQ(n, 3u);
    for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(std::isnan(out[i].score));
    n = index.searchFiltered(*ctx, all_nan.data(), allowed, out);
    EXPECT_EQ(n, 3u);
  }
}

TEST(Search, ContextMadeBeforeTheIndexGrewStillMatchesAFreshOne) {
  Index index = emptyIndex(RerankStore::sq8);
  const auto data = testdata::clustered(300, 5, 0, 5);
  auto old_ctx = SearchContext::init(index, 32);  // sized for one node
  ASSERT_TRUE(old_ctx);
  for (std::size_t i = 0; i < 300; ++i) {
    ASSERT_TRUE(index.add(i, vec(data, i)));
    if (i % 50 == 0 || i == 299) {
      std::vector<SearchResult> out(10);
      out.resize(index.search(*old_ctx, data.data() + 7 * c_dim, out));
      ASSERT_TRUE(sameResults(out, searchOnce(index, 32, data.data() + 7 * c_dim, 10))) << i;
    }
  }
}

TEST(Insertion, FailedAllocationLeavesNoTrace) {
  Index index = emptyIndex(RerankStore::sq8);
  const auto data = testdata::clustered(80, 6, 0, 3);
  // Grow the index through several sizes so that failures meet container
  // growth, new layers and full neighbour lists.
  long points = 0;
  for (std::size_t i = 0; i < 80; ++i) {
    const Snapshot before = snapshot(index);
    points += failing_allocator::sweep(
        [&] { return index.add(i, vec(data, i)).has_value(); },
        [&](long n, bool added) {
          ASSERT_FALSE(added) << "failure " << n << " was reported as success";
          ASSERT_EQ(snapshot(index), before) << "failure " << n;
          ASSERT_TRUE(index.routing().checkInvariants());
        });
    ASSERT_EQ(index.liveCount(), i + 1);
  }
  EXPECT_GT(points, 80);
  // Still usable and equal to an index built without failures.
  Index clean = emptyIndex(RerankStore::sq8);
  for (std::size_t i = 0; i < 80; ++i) ASSERT_TRUE(clean.add(i, vec(data, i)));
  EXPECT_EQ(snapshot(index), snapshot(clean));
  EXPECT_TRUE(sameResults(searchOnce(index, 32, data.data(), 10), searchOnce(clean, 32, data.data(), 10)));
}

}  // namespace
}  // namespace korvane
