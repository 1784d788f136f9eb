// The exported functions: result codes, NULL handling and the rules that
// live at the C boundary (the 256 cap, m = 0, k = 0).
#include <gtest/gtest.h>

#include <vector>

#include "c_api.h"
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
