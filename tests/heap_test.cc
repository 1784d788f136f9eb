#include "heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace korvane {
namespace {

constexpr float c_nan = std::numeric_limits<float>::quiet_NaN();

// Offers `offers` to a TopK of capacity k and returns what sortDescending
// leaves behind.
std::vector<SearchResult> collect(std::size_t k, const std::vector<SearchResult>& offers) {
  std::vector<SearchResult> storage(k);
  TopK top(storage);
  for (const SearchResult& r : offers) top.offer(r);
  const std::size_t count = top.sortDescending();
  EXPECT_EQ(top.heap.len, 0U);
  return {storage.begin(), storage.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::vector<std::uint64_t> idsOf(const std::vector<SearchResult>& results) {
  std::vector<std::uint64_t> ids;
  for (const SearchResult& r : results) ids.push_back(r.id);
  return ids;
}

TEST(TopK, EdgeCases) {
  struct Row {
    std::string name;
    std::size_t k;
    std::vector<SearchResult> offers;
    std::vector<std::uint64_t> expected_ids;  // after sortDescending
  };
  const float just_above_one = std::nextafter(1.0F, 2.0F);
  const std::vector<Row> rows = {
      {"k = 0 ignores everything", 0, {{1, 1.0F}, {2, 2.0F}}, {}},
      {"keeps the k highest", 3, {{1, 5.0F}, {2, 1.0F}, {3, 4.0F}, {4, 2.0F}, {5, 3.0F}}, {1, 3, 5}},
      {"fewer than k keeps all", 5, {{1, 1.0F}, {2, 3.0F}}, {2, 1}},
      {"a tie with the lowest kept is not admitted", 2, {{1, 2.0F}, {2, 1.0F}, {3, 1.0F}}, {1, 2}},
      {"larger by one ulp replaces", 2, {{1, 2.0F}, {2, 1.0F}, {3, just_above_one}}, {1, 3}},
      // A NaN ranks below every number: dropped by a full collector, kept
      // while there is room, displaced by any number, and sorted last.
      {"NaN offered to a full collector is dropped", 2, {{1, 1.0F}, {2, 2.0F}, {3, c_nan}}, {2, 1}},
      {"NaN at the root is replaced by a number", 2, {{1, c_nan}, {2, 5.0F}, {3, -7.0F}}, {2, 3}},
      {"NaN kept while there is room, after every number", 3,
       {{1, c_nan}, {2, -1e30F}, {3, c_nan}}, {2, 3, 1}},
      {"a NaN does not displace a NaN", 1, {{1, c_nan}, {2, c_nan}}, {1}},
      // Equal keys pop as A, C, B; each pop parks behind the heap, so the
      // descending array reads B, C, A.
      {"equal scores follow the sift rules", 3, {{'A', 1.0F}, {'B', 1.0F}, {'C', 1.0F}},
       {'B', 'C', 'A'}},
      {"equal score at the root of a full set stays", 3,
       {{'A', 1.0F}, {'B', 1.0F}, {'C', 1.0F}, {'D', 1.0F}, {'E', 2.0F}}, {'E', 'B', 'C'}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<SearchResult> got = collect(row.k, row.offers);
    EXPECT_EQ(idsOf(got), row.expected_ids);
  }
}

TEST(TopK, RefillAfterSortDescending) {
  std::vector<SearchResult> storage(2);
  TopK top(storage);
  top.offer({1, 1.0F});
  top.offer({2, 2.0F});
  top.offer({3, 3.0F});
  EXPECT_EQ(top.sortDescending(), 2U);
  EXPECT_EQ(storage[0].id, 3U);
  EXPECT_EQ(storage[1].id, 2U);
  EXPECT_EQ(top.sortDescending(), 0U);

  // Refilled from scratch: earlier results leave no trace.
  top.offer({7, -1.0F});
  EXPECT_EQ(top.sortDescending(), 1U);
  EXPECT_EQ(storage[0].id, 7U);
  EXPECT_EQ(storage[0].score, -1.0F);
}

TEST(TopK, MatchesSortedReferenceOnDistinctScores) {
  std::mt19937_64 rng(7);
  for (std::size_t k : {1, 2, 7, 64, 256}) {
    SCOPED_TRACE(k);
    std::vector<SearchResult> offers;
    std::vector<float> pool(1000);
    for (std::size_t i = 0; i < pool.size(); ++i) pool[i] = static_cast<float>(i) * 0.25F - 50.0F;
    std::shuffle(pool.begin(), pool.end(), rng);
    for (std::size_t i = 0; i < pool.size(); ++i) offers.push_back({i, pool[i]});

    const std::vector<SearchResult> got = collect(k, offers);
    std::vector<SearchResult> expected = offers;
    std::sort(expected.begin(), expected.end(),
              [](const SearchResult& a, const SearchResult& b) { return a.score > b.score; });
    expected.resize(std::min(k, expected.size()));
    EXPECT_EQ(idsOf(got), idsOf(expected));
  }
}

TEST(BinaryHeap, PopPeekAndTieOrder) {
  std::vector<Candidate> storage(8);
  BinaryHeap<Candidate, closer> heap{storage, 0};
  EXPECT_FALSE(heap.pop().has_value());
  EXPECT_FALSE(heap.peek().has_value());
  EXPECT_EQ(heap.len, 0U);

  // Repeated runs over the same input give the same order: A, C, B.
  for (int run = 0; run < 2; ++run) {
    heap.push({'A', 4});
    heap.push({'B', 4});
    heap.push({'C', 4});
    ASSERT_EQ(heap.peek()->id, static_cast<std::uint64_t>('A'));
    EXPECT_EQ(heap.pop()->id, static_cast<std::uint64_t>('A'));
    EXPECT_EQ(heap.pop()->id, static_cast<std::uint64_t>('C'));
    EXPECT_EQ(heap.pop()->id, static_cast<std::uint64_t>('B'));
    EXPECT_FALSE(heap.pop().has_value());
  }
}

TEST(BinaryHeap, OrdersAndKeepsTheInvariant) {
  std::mt19937_64 rng(11);
  std::vector<Candidate> near_storage(300), far_storage(300);
  BinaryHeap<Candidate, closer> near{near_storage, 0};
  BinaryHeap<Candidate, farther> far{far_storage, 0};
  std::vector<std::uint32_t> keys;
  for (std::uint64_t i = 0; i < 300; ++i) {
    const auto d = static_cast<std::uint32_t>(rng() % 40);  // many ties
    keys.push_back(d);
    near.push({i, d});
    far.push({i, d});
    for (std::size_t c = 1; c < near.len; ++c) {
      ASSERT_FALSE(closer(near.items[c], near.items[(c - 1) / 2]));
      ASSERT_FALSE(farther(far.items[c], far.items[(c - 1) / 2]));
    }
  }
  std::sort(keys.begin(), keys.end());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(near.pop()->dist, keys[i]);
    EXPECT_EQ(far.pop()->dist, keys[keys.size() - 1 - i]);
  }
  EXPECT_TRUE(near.empty());
  EXPECT_TRUE(far.empty());
}

}  // namespace
}  // namespace korvane
