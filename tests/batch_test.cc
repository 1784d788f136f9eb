// Batch insertion and batch search: determinism across thread counts,
// agreement with the one-at-a-time operations, failure handling.
#include <gtest/gtest.h>

#include <bit>
#include <thread>

#include "c_api.h"
#include "support/failing_allocator.h"
#include "index.h"
#include "support/index_digest.h"
#include "support/test_data.h"
#include "support/index_parts.h"

namespace korvane {
namespace {

Index emptyIndex(std::size_t ef = 40) { return testsupport::emptyIndex(RerankStore::sq8, ef); }

std::vector<std::uint64_t> iota(std::size_t n, std::uint64_t first = 0) {
  std::vector<std::uint64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = first + i;
  return ids;
}

const std::vector<float>& data() {
  static const std::vector<float> d = testdata::clustered(2100, 31, 0, 30);
  return d;
}

TEST(AddBatch, SameIndexForEveryThreadCount) {
  const auto ids = iota(300);
  std::uint64_t expected = 0;
  for (std::size_t threads : {0u, 1u, 2u, 8u}) {
    SCOPED_TRACE(threads);
    Index index = emptyIndex();
    ASSERT_TRUE(index.addBatch(ids, data().data(), threads));
    ASSERT_EQ(index.liveCount(), 300u);
    ASSERT_TRUE(index.routing().checkInvariants());
    const std::uint64_t d = testdigest::digest(index);
    if (threads == 0) expected = d;
    EXPECT_EQ(d, expected);
  }
}

TEST(AddBatch, LargeBatchAndSingleVector) {
  // 2100 vectors run chunks of 1, 1, 2, 4, … 512, 1024 and 52.
  const auto ids = iota(2100);
  Index one = emptyIndex(), three = emptyIndex();
  ASSERT_TRUE(one.addBatch(ids, data().data(), 1));
  ASSERT_TRUE(three.addBatch(ids, data().data(), 3));
  EXPECT_EQ(testdigest::digest(one), testdigest::digest(three));
  EXPECT_TRUE(three.routing().checkInvariants());
  // A batch of one into that index, and into an empty one.
  const std::vector<std::uint64_t> single = {5000};
  ASSERT_TRUE(three.addBatch(single, data().data() + 7 * c_dim, 4));
  EXPECT_EQ(*three.internalOf(5000), 2100u);
  Index fresh = emptyIndex();
  ASSERT_TRUE(fresh.addBatch(single, data().data(), 2));
  EXPECT_EQ(fresh.routing().entryId(), 0u);
  EXPECT_EQ(fresh.liveCount(), 1u);
}

TEST(AddBatch, SameIdsAndLevelsAsOneByOne) {
  Index batch = emptyIndex(), single = emptyIndex();
  const auto ids = iota(500, 100);
  ASSERT_TRUE(batch.addBatch(ids, data().data(), 2));
  for (std::size_t i = 0; i < 500; ++i) {
    ASSERT_TRUE(single.add(ids[i], {data().data() + i * c_dim, c_dim}));
  }
  EXPECT_EQ(testdigest::levels(batch), testdigest::levels(single));
  EXPECT_EQ(batch.routing().levelRngState(), single.routing().levelRngState());
  for (std::size_t i = 0; i < 500; ++i) {
    ASSERT_EQ(*batch.internalOf(100 + i), i);
    ASSERT_EQ(batch.payloads()[i].id, single.payloads()[i].id);
    ASSERT_EQ(batch.payloads()[i].bias_scale, single.payloads()[i].bias_scale);
  }
}

TEST(AddBatch, DuplicatesInsertNothing) {
  Index index = emptyIndex();
  ASSERT_TRUE(index.addBatch({}, nullptr, 4));
  const auto ids = iota(10);
  ASSERT_TRUE(index.addBatch(ids, data().data(), 2));
  const std::uint64_t before = testdigest::digest(index);
  const std::vector<std::uint64_t> live = {50, 51, 3};
  const std::vector<std::uint64_t> repeated = {50, 51, 50};
  EXPECT_EQ(index.addBatch(live, data().data(), 2), std::unexpected(Error::DuplicateId));
  EXPECT_EQ(index.addBatch(repeated, data().data(), 2), std::unexpected(Error::DuplicateId));
  EXPECT_EQ(testdigest::digest(index), before);
  // After removal the id is free again; deleted nodes still count in the
  // graph (and so in the next chunk's size).
  ASSERT_TRUE(index.remove(3));
  ASSERT_TRUE(index.addBatch(live, data().data() + 10 * c_dim, 2));
  EXPECT_EQ(index.liveCount(), 12u);
  EXPECT_EQ(index.routing().nodeCount(), 13u);
}

TEST(AddBatch, FailedAllocationKeepsExactlyACommittedPrefix) {
  // Each attempt needs a fresh index (a copy of the 36 MiB rotation), so the
  // batch is kept small: 20 vectors still run six chunks.
  const std::size_t n = 20;
  const auto ids = iota(n);
  // Two threads: the slots of a chunk are planned on a worker besides the
  // calling thread (the allocation sweep test covers one and three).
  constexpr std::size_t threads = 2;
  std::vector<std::uint64_t> prefix_digest(n + 1);
  for (std::size_t p = 0; p <= n; ++p) {
    Index prefix = emptyIndex();
    ASSERT_TRUE(prefix.addBatch(std::span(ids).first(p), data().data(), threads));
    prefix_digest[p] = testdigest::digest(prefix);
  }
  Index index = emptyIndex();
  const long points = failing_allocator::sweep(
      [&] {
        // A fresh index for every attempt, made with the failure held back.
        const long at = failing_allocator::countdown.load();
        failing_allocator::disarm();
        index = emptyIndex();
        failing_allocator::failNthAllocation(at);
        return index.addBatch(ids, data().data(), threads).has_value();
      },
      [&](long nth, bool added) {
        ASSERT_FALSE(added) << nth;
        const std::size_t p = index.liveCount();
        ASSERT_LT(p, n);
        ASSERT_EQ(testdigest::digest(index), prefix_digest[p]) << "failure " << nth;
        ASSERT_TRUE(index.routing().checkInvariants());
        // Still usable: the rest goes in.
        ASSERT_TRUE(index.addBatch(std::span(ids).subspan(p), data().data() + p * c_dim,
                                   threads));
        ASSERT_EQ(index.liveCount(), n);
      });
  EXPECT_GT(points, 50);
  std::printf("allocation failure points exercised: %ld\n", points);
}

// ---- batch search ----

class BatchSearchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle = korvane_index_create(40, 21);
    ASSERT_NE(handle, nullptr);
    const auto ids = iota(1500);
    ASSERT_EQ(korvane_index_add_batch(handle, ids.data(), data().data(), 1500, 2), 0);
    queries = new std::vector<float>(testdata::clustered(37, 31, 1, 30));
  }
  static void TearDownTestSuite() {
    korvane_index_destroy(handle);
    delete queries;
  }
  static inline korvane_index* handle = nullptr;
  static inline std::vector<float>* queries = nullptr;
};

TEST_F(BatchSearchTest, RowsEqualSingleSearches) {
  const std::size_t n = 37;
  for (auto [k, m] : {std::pair<std::size_t, std::size_t>{10, 64}, {1, 16}, {256, 300}}) {
    korvane_context* ctx = korvane_context_create(handle, m);
    std::vector<std::uint64_t> want_ids(n * k);
    std::vector<float> want_scores(n * k);
    std::vector<std::size_t> want_counts(n);
    for (std::size_t q = 0; q < n; ++q) {
      want_counts[q] = korvane_search(handle, ctx, queries->data() + q * c_dim, k,
                                      &want_ids[q * k], &want_scores[q * k]);
    }
    korvane_context_destroy(ctx);
    for (std::size_t threads : {0u, 1u, 3u}) {
      SCOPED_TRACE(testing::Message() << "k " << k << " m " << m << " threads " << threads);
      std::vector<std::uint64_t> ids(n * k, 7);
      std::vector<float> scores(n * k, -5.0f);
      std::vector<std::size_t> counts(n, 99);
      ASSERT_EQ(korvane_search_batch(handle, queries->data(), n, k, m, threads, ids.data(),
                                     scores.data(), counts.data()),
                0);
      ASSERT_EQ(counts, want_counts);
      for (std::size_t q = 0; q < n; ++q) {
        for (std::size_t i = 0; i < k; ++i) {
          if (i < counts[q]) {
            ASSERT_EQ(ids[q * k + i], want_ids[q * k + i]);
            ASSERT_EQ(std::bit_cast<std::uint32_t>(scores[q * k + i]),
                      std::bit_cast<std::uint32_t>(want_scores[q * k + i]));
          } else {
            ASSERT_EQ(ids[q * k + i], 7u) << "entries beyond the count are untouched";
          }
        }
      }
    }
  }
}

TEST_F(BatchSearchTest, EdgeCases) {
  std::vector<std::uint64_t> ids(3 * 300, 1);
  std::vector<float> scores(3 * 300, 1.0f);
  std::vector<std::size_t> counts(3, 9);
  EXPECT_EQ(korvane_search_batch(handle, queries->data(), 0, 10, 64, 2, ids.data(), scores.data(),
                                 counts.data()),
            0);
  EXPECT_EQ(counts[0], 9u) << "n = 0 writes nothing";
  EXPECT_EQ(korvane_search_batch(handle, queries->data(), 3, 0, 64, 2, ids.data(), scores.data(),
                                 counts.data()),
            0);
  EXPECT_EQ(counts, (std::vector<std::size_t>{0, 0, 0}));
  EXPECT_EQ(ids[0], 1u);
  EXPECT_EQ(korvane_search_batch(handle, queries->data(), 3, 10, 0, 2, ids.data(), scores.data(),
                                 counts.data()),
            0);
  EXPECT_EQ(counts, (std::vector<std::size_t>{0, 0, 0})) << "m = 0 gives no results";
  EXPECT_EQ(korvane_search_batch(handle, queries->data(), 3, 300, 400, 8, ids.data(),
                                 scores.data(), counts.data()),
            0);
  EXPECT_EQ(counts, (std::vector<std::size_t>{300, 300, 300})) << "k is not capped here";
  EXPECT_EQ(korvane_search_batch(handle, queries->data(), std::size_t{1} << 40, std::size_t{1} << 20,
                                 64, 1, ids.data(), scores.data(), counts.data()),
            -1)
      << "n * k of 2^60 or more is refused";
}

TEST_F(BatchSearchTest, ConcurrentSearchesWithOwnContexts) {
  const std::size_t k = 10;
  std::vector<std::uint64_t> want(37 * k);
  std::vector<float> want_scores(37 * k);
  std::vector<std::size_t> want_counts(37);
  ASSERT_EQ(korvane_search_batch(handle, queries->data(), 37, k, 64, 1, want.data(),
                                 want_scores.data(), want_counts.data()),
            0);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      korvane_context* ctx = korvane_context_create(handle, 64);
      for (std::size_t q = t; q < 37; q += 2) {
        std::uint64_t ids[10];
        float scores[10];
        const std::size_t n = korvane_search(handle, ctx, queries->data() + q * c_dim, k, ids,
                                             scores);
        if (n != want_counts[q] || !std::equal(ids, ids + n, &want[q * k])) ++mismatches[t];
      }
      korvane_context_destroy(ctx);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace korvane
