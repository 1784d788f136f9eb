// The exported functions: result codes, NULL handling and the rules that
// live at the C boundary (the 256 cap, m = 0, k = 0).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "c_api.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace {

class CApiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle = korvane_index_create(0, 1);
    ASSERT_NE(handle, nullptr);
    data = new std::vector<float>(testdata::clustered(400, 9, 0, 10));
    for (std::size_t i = 0; i < 400; ++i) {
      ASSERT_EQ(korvane_index_add(handle, 100 + i, data->data() + i * testdata::c_dim), 0);
    }
  }
  static void TearDownTestSuite() {
    korvane_index_destroy(handle);
    delete data;
  }
  static inline korvane_index* handle = nullptr;
  static inline std::vector<float>* data = nullptr;
};

TEST_F(CApiTest, CodesAndCounts) {
  EXPECT_EQ(korvane_dim(), 3072u);
  EXPECT_EQ(korvane_routing_bits(), 3072u);
  EXPECT_EQ(korvane_index_len(handle), 400u);
  EXPECT_EQ(korvane_index_add(handle, 100, data->data()), -2);
  EXPECT_EQ(korvane_index_len(handle), 400u);
  EXPECT_EQ(korvane_index_remove(handle, 7), -1);
  EXPECT_EQ(korvane_index_remove(handle, 499), 0);
  EXPECT_EQ(korvane_index_remove(handle, 499), -1);
  EXPECT_EQ(korvane_index_len(handle), 399u);
  EXPECT_EQ(korvane_index_add(handle, 499, data->data() + 299 * testdata::c_dim), 0);
  EXPECT_EQ(korvane_index_len(handle), 400u);
}

TEST_F(CApiTest, SearchLimits) {
  korvane_context* ctx = korvane_context_create(handle, 300);
  ASSERT_NE(ctx, nullptr);
  std::vector<std::uint64_t> ids(1000, 0xdead);
  std::vector<float> scores(1000, -1.0f);
  EXPECT_EQ(korvane_search(handle, ctx, data->data(), 0, ids.data(), scores.data()), 0u);
  EXPECT_EQ(ids[0], 0xdeadu) << "k = 0 writes nothing";
  EXPECT_EQ(korvane_search(handle, ctx, data->data(), 1000, ids.data(), scores.data()), 256u);
  EXPECT_EQ(ids[256], 0xdeadu) << "nothing is written past the count";
  EXPECT_EQ(korvane_search_filtered(handle, ctx, data->data(), nullptr, 0, 5, ids.data(),
                                    scores.data()),
            0u);
  korvane_context_destroy(ctx);
  korvane_context* small = korvane_context_create(handle, 10);
  EXPECT_EQ(korvane_search(handle, small, data->data(), 50, ids.data(), scores.data()), 10u);
  korvane_context_destroy(small);
  EXPECT_EQ(korvane_context_create(handle, 0), nullptr);
}

TEST_F(CApiTest, NullArgumentsAreRejected) {
  korvane_context* ctx = korvane_context_create(handle, 8);
  std::uint64_t id = 0;
  float score = 0;
  korvane_index_destroy(nullptr);
  korvane_context_destroy(nullptr);
  EXPECT_EQ(korvane_index_len(nullptr), 0u);
  EXPECT_EQ(korvane_index_remove(nullptr, 1), -1);
  EXPECT_EQ(korvane_index_add(nullptr, 1, data->data()), -1);
  EXPECT_EQ(korvane_index_add(handle, 1, nullptr), -1);
  EXPECT_EQ(korvane_context_create(nullptr, 8), nullptr);
  EXPECT_EQ(korvane_search(nullptr, ctx, data->data(), 1, &id, &score), 0u);
  EXPECT_EQ(korvane_search(handle, nullptr, data->data(), 1, &id, &score), 0u);
  EXPECT_EQ(korvane_search(handle, ctx, nullptr, 1, &id, &score), 0u);
  EXPECT_EQ(korvane_search(handle, ctx, data->data(), 1, nullptr, &score), 0u);
  EXPECT_EQ(korvane_search_filtered(handle, ctx, data->data(), nullptr, 3, 1, &id, &score), 0u);
  korvane_context_destroy(ctx);
}

// Every failure leaves a message for its thread that says what failed and
// why; successes leave it alone.
TEST_F(CApiTest, FailuresSayWhy) {
  testsupport::TempDir dir;
  const std::string missing = dir.file("missing.korvane");
  const std::string damaged = dir.file("damaged.korvane");
  const std::vector<float> v(data->begin(), data->begin() + testdata::c_dim);
  const std::uint64_t repeated[] = {9001, 9002, 9001};
  const std::uint64_t live[] = {9003, 150};
  std::FILE* f = std::fopen(damaged.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("TQX5 but nothing after it", f);
  std::fclose(f);
  struct Case {
    const char* call;
    std::function<bool()> fails;
    std::string message;  // a regular expression
  };
  const std::vector<Case> cases = {
      {"load a missing file", [&] { return korvane_index_load(missing.c_str()) == nullptr; },
       "cannot open '" + missing + "': No such file or directory \\(errno 2\\)"},
      {"load a directory", [&] { return korvane_index_load(dir.path().c_str()) == nullptr; },
       "'" + dir.path() + "' is not a regular file"},
      {"load a damaged file", [&] { return korvane_index_load(damaged.c_str()) == nullptr; },
       "'" + damaged + "' was made for another dimension"},
      {"save into a missing directory",
       [&] { return korvane_index_save(handle, (missing + "/x").c_str()) == -1; },
       "cannot create a file in the directory of '.*/x': No such file or directory \\(errno 2\\)"},
      {"add a live id", [&] { return korvane_index_add(handle, 150, v.data()) == -2; },
       "id 150 is already in the index"},
      {"batch with a repeated id",
       [&] { return korvane_index_add_batch(handle, repeated, data->data(), 3, 1) == -2; },
       "id 9001 occurs twice in the batch \\(again at position 2\\)"},
      {"batch with a live id",
       [&] { return korvane_index_add_batch(handle, live, data->data(), 2, 1) == -2; },
       "id 150 \\(position 1 of the batch\\) is already in the index"},
      {"remove an absent id", [&] { return korvane_index_remove(handle, 7) == -1; },
       "id 7 is not in the index"},
      {"an unknown store", [&] { return korvane_index_create_with_store(0, 0, 3) == nullptr; },
       "unknown rerank store 3.*"},
      {"m = 0", [&] { return korvane_context_create(handle, 0) == nullptr; },
       "korvane_context_create: m must be at least 1"},
      {"a NULL argument", [&] { return korvane_index_add(nullptr, 1, v.data()) == -1; },
       "korvane_index_add: a required argument is NULL"},
      {"too large a batch search",
       [&] {
         std::size_t count = 0;
         return korvane_search_batch(handle, v.data(), std::size_t{1} << 40, std::size_t{1} << 20,
                                     16, 1, nullptr, nullptr, &count) == -1;
       },
       "korvane_search_batch: n \\* k .* is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    ASSERT_TRUE(c.fails());
    EXPECT_THAT(korvane_last_error(), testing::MatchesRegex(c.message));
  }
  EXPECT_EQ(korvane_index_len(handle), 400u) << "the refused insertions left no trace";

  // A success leaves the message; another thread's failure is its own.
  const std::string last = korvane_last_error();
  EXPECT_EQ(korvane_index_remove(handle, 100), 0);
  ASSERT_EQ(korvane_index_add(handle, 100, data->data()), 0);
  std::string other;
  std::thread([&] {
    other = korvane_last_error();
    (void)korvane_index_remove(handle, 5);
  }).join();
  EXPECT_EQ(other, "") << "a thread starts with no message";
  EXPECT_EQ(korvane_last_error(), last);
}

TEST_F(CApiTest, VersionStoreMembershipIdsAndMemory) {
  EXPECT_THAT(korvane_version(), testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+"));
  EXPECT_EQ(korvane_index_store(handle), KORVANE_STORE_SQ8);
  EXPECT_EQ(korvane_index_store(nullptr), -1);
  EXPECT_EQ(korvane_index_contains(handle, 100), 1);
  EXPECT_EQ(korvane_index_contains(handle, 99), 0);
  EXPECT_EQ(korvane_index_contains(nullptr, 100), 0);

  ASSERT_EQ(korvane_index_remove(handle, 101), 0);
  ASSERT_EQ(korvane_index_add(handle, 777, data->data() + testdata::c_dim), 0);
  EXPECT_EQ(korvane_index_contains(handle, 101), 0);
  EXPECT_EQ(korvane_index_ids(handle, nullptr, 0), 400u);
  std::vector<std::uint64_t> ids(401, 0);
  EXPECT_EQ(korvane_index_ids(handle, ids.data(), 5), 400u);
  EXPECT_NE(ids[4], 0u);
  EXPECT_EQ(ids[5], 0u) << "nothing past the capacity";
  ASSERT_EQ(korvane_index_ids(handle, ids.data(), ids.size()), 400u);
  EXPECT_EQ(ids[399], 777u) << "in the order they were added";
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 101), 0);
  std::vector<std::uint64_t> sorted(ids.begin(), ids.begin() + 400);
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "each once";
  EXPECT_EQ(korvane_index_ids(handle, nullptr, 3), 0u);
  ASSERT_EQ(korvane_index_remove(handle, 777), 0);
  ASSERT_EQ(korvane_index_add(handle, 101, data->data() + testdata::c_dim), 0);

  // The rotation (36 MiB), then about 5 KB a vector.
  const std::size_t bytes = korvane_index_memory_bytes(handle);
  EXPECT_GT(bytes, 3072u * 3072u * 4u + 400u * 4000u);
  EXPECT_LT(bytes, 3072u * 3072u * 4u + 400u * 40000u);
  EXPECT_EQ(korvane_index_memory_bytes(nullptr), 0u);
}

TEST(CApi, SameSeedSameCallsSameResults) {
  const auto data = testdata::clustered(100, 10, 0, 4);
  korvane_index* a = korvane_index_create(33, 77);
  korvane_index* b = korvane_index_create(33, 77);
  ASSERT_TRUE(a && b);
  for (std::size_t i = 0; i < 100; ++i) {
    ASSERT_EQ(korvane_index_add(a, i, data.data() + i * testdata::c_dim), 0);
    ASSERT_EQ(korvane_index_add(b, i, data.data() + i * testdata::c_dim), 0);
  }
  EXPECT_EQ(a->index.routing().efConstruction(), 33u);
  korvane_context* ca = korvane_context_create(a, 32);
  korvane_context* cb = korvane_context_create(b, 32);
  for (std::size_t q = 0; q < 10; ++q) {
    std::uint64_t ia[10], ib[10];
    float sa[10], sb[10];
    const float* query = data.data() + q * testdata::c_dim;
    const std::size_t na = korvane_search(a, ca, query, 10, ia, sa);
    ASSERT_EQ(na, korvane_search(b, cb, query, 10, ib, sb));
    for (std::size_t i = 0; i < na; ++i) {
      ASSERT_EQ(ia[i], ib[i]);
      ASSERT_EQ(sa[i], sb[i]);
    }
  }
  korvane_context_destroy(ca);
  korvane_context_destroy(cb);
  korvane_index_destroy(a);
  korvane_index_destroy(b);
}

}  // namespace
