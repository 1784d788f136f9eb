// Bad input at the C interface: NULL arguments, non-finite vectors and
// queries, ids at the ends of the range, k, m and n at their extremes. The
// library must answer as its header says — a code, a count or NULL — and
// never crash, allocate absurdly or let one bad vector change the results
// of the others.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "c_api.h"
#include "support/index_digest.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#if defined(__SANITIZE_ADDRESS__)
// Absurd sizes must come back as a failed allocation, not as a sanitizer
// report: the library turns a refused nothrow allocation into NULL or -1.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
constexpr bool c_asan = true;
#else
constexpr bool c_asan = false;
#endif

namespace {

using testdata::c_dim;

constexpr float c_nan = std::numeric_limits<float>::quiet_NaN();
constexpr float c_inf = std::numeric_limits<float>::infinity();
constexpr std::uint64_t c_sentinel_id = 0xabababababababab;
constexpr float c_sentinel_score = -7.0f;

struct Hit {
  std::uint64_t id;
  float score;
  bool operator==(const Hit& o) const {
    return id == o.id && std::memcmp(&score, &o.score, sizeof score) == 0;
  }
};

std::vector<Hit> search(const korvane_index* h, const float* q, std::size_t k, std::size_t m) {
  korvane_context* ctx = korvane_context_create(h, m);
  EXPECT_NE(ctx, nullptr);
  std::vector<std::uint64_t> ids(256);
  std::vector<float> scores(256);
  const std::size_t n = korvane_search(h, ctx, q, k, ids.data(), scores.data());
  korvane_context_destroy(ctx);
  std::vector<Hit> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back({ids[i], scores[i]});
  return out;
}

std::vector<Hit> filtered(const korvane_index* h, const float* q,
                          const std::vector<std::uint64_t>& allowed, std::size_t k) {
  korvane_context* ctx = korvane_context_create(h, 8);
  EXPECT_NE(ctx, nullptr);
  std::vector<std::uint64_t> ids(256);
  std::vector<float> scores(256);
  const std::size_t n = korvane_search_filtered(h, ctx, q, allowed.data(), allowed.size(), k,
                                                ids.data(), scores.data());
  korvane_context_destroy(ctx);
  std::vector<Hit> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back({ids[i], scores[i]});
  return out;
}

std::vector<Hit> without(std::vector<Hit> hits, std::uint64_t id) {
  std::erase_if(hits, [&](const Hit& h) { return h.id == id; });
  return hits;
}

// Whether `part` is `whole` with at most `drops` entries left out, in the
// same order and with bit-identical scores.
bool isThinnedFrom(const std::vector<Hit>& part, const std::vector<Hit>& whole, std::size_t drops) {
  std::size_t j = 0;
  for (const Hit& h : part) {
    while (j < whole.size() && !(whole[j] == h)) ++j;
    if (j == whole.size()) return false;
    ++j;
  }
  return whole.size() <= part.size() + drops;
}

// One index of 200 clustered vectors (ids 1000 + i) for the whole suite,
// saved once so that tests which change an index work on a loaded copy.
class BadInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    data = new std::vector<float>(testdata::clustered(200, 23, 0, 8));
    queries = new std::vector<float>(testdata::clustered(12, 23, 1, 8));
    handle = korvane_index_create(40, 11);
    ASSERT_NE(handle, nullptr);
    for (std::size_t i = 0; i < 200; ++i) {
      ids.push_back(1000 + i);
      ASSERT_EQ(korvane_index_add(handle, 1000 + i, vec(i)), 0);
    }
    temp = new testsupport::TempDir;
    ASSERT_TRUE(temp->made());
    dir = new std::filesystem::path(temp->path());
    image = new std::filesystem::path(*dir / "clean.tqx");
    ASSERT_EQ(korvane_index_save(handle, image->c_str()), 0);
  }
  static void TearDownTestSuite() {
    korvane_index_destroy(handle);
    delete temp;
    delete data;
    delete queries;
    delete dir;
    delete image;
    ids.clear();
  }
  static const float* vec(std::size_t i) { return data->data() + i * c_dim; }
  static const float* query(std::size_t i) { return queries->data() + i * c_dim; }
  static korvane_index* copy() {
    korvane_index* h = korvane_index_load(image->c_str());
    EXPECT_NE(h, nullptr);
    return h;
  }

  static inline korvane_index* handle = nullptr;
  static inline std::vector<float>* data = nullptr;
  static inline std::vector<float>* queries = nullptr;
  static inline std::vector<std::uint64_t> ids;
  static inline testsupport::TempDir* temp = nullptr;
  static inline std::filesystem::path* dir = nullptr;
  static inline std::filesystem::path* image = nullptr;
};

TEST_F(BadInputTest, NullArgumentsAreRejected) {
  korvane_context* ctx = korvane_context_create(handle, 16);
  ASSERT_NE(ctx, nullptr);
  const std::uint64_t digest = testdigest::digest(handle->index);
  std::uint64_t one_id = 5, out_id = c_sentinel_id;
  float out_score = c_sentinel_score;
  std::size_t count = 77;
  const float* q = query(0);
  const std::string path = (*dir / "null.tqx").string();
  struct Case {
    const char* call;
    std::function<bool()> rejected;
  };
  const Case cases[] = {
      {"len(NULL)", [&] { return korvane_index_len(nullptr) == 0; }},
      {"remove(NULL)", [&] { return korvane_index_remove(nullptr, 1000) == -1; }},
      {"add(NULL, ..)", [&] { return korvane_index_add(nullptr, 1, q) == -1; }},
      {"add(h, id, NULL)", [&] { return korvane_index_add(handle, 1, nullptr) == -1; }},
      {"add_batch(NULL, ..)",
       [&] { return korvane_index_add_batch(nullptr, &one_id, q, 1, 1) == -1; }},
      {"add_batch(h, NULL ids)",
       [&] { return korvane_index_add_batch(handle, nullptr, q, 1, 1) == -1; }},
      {"add_batch(h, ids, NULL coords)",
       [&] { return korvane_index_add_batch(handle, &one_id, nullptr, 1, 1) == -1; }},
      {"add_batch n = 0 needs no arrays",
       [&] { return korvane_index_add_batch(handle, nullptr, nullptr, 0, 1) == 0; }},
      {"context_create(NULL)", [&] { return korvane_context_create(nullptr, 16) == nullptr; }},
      {"search(NULL, ..)",
       [&] { return korvane_search(nullptr, ctx, q, 1, &out_id, &out_score) == 0; }},
      {"search(h, NULL ctx)",
       [&] { return korvane_search(handle, nullptr, q, 1, &out_id, &out_score) == 0; }},
      {"search(h, ctx, NULL query)",
       [&] { return korvane_search(handle, ctx, nullptr, 1, &out_id, &out_score) == 0; }},
      {"search(.., NULL ids)",
       [&] { return korvane_search(handle, ctx, q, 1, nullptr, &out_score) == 0; }},
      {"search(.., NULL scores)",
       [&] { return korvane_search(handle, ctx, q, 1, &out_id, nullptr) == 0; }},
      {"filtered(NULL, ..)",
       [&] {
         return korvane_search_filtered(nullptr, ctx, q, ids.data(), 1, 1, &out_id,
                                        &out_score) == 0;
       }},
      {"filtered(h, NULL ctx)",
       [&] {
         return korvane_search_filtered(handle, nullptr, q, ids.data(), 1, 1, &out_id,
                                        &out_score) == 0;
       }},
      {"filtered(.., NULL query)",
       [&] {
         return korvane_search_filtered(handle, ctx, nullptr, ids.data(), 1, 1, &out_id,
                                        &out_score) == 0;
       }},
      {"filtered(.., NULL allowed, len 3)",
       [&] {
         return korvane_search_filtered(handle, ctx, q, nullptr, 3, 1, &out_id, &out_score) == 0;
       }},
      {"filtered(.., NULL ids)",
       [&] {
         return korvane_search_filtered(handle, ctx, q, ids.data(), 1, 1, nullptr,
                                        &out_score) == 0;
       }},
      {"filtered(.., NULL scores)",
       [&] {
         return korvane_search_filtered(handle, ctx, q, ids.data(), 1, 1, &out_id, nullptr) ==
                0;
       }},
      {"search_batch(NULL, ..)",
       [&] {
         return korvane_search_batch(nullptr, q, 1, 1, 16, 1, &out_id, &out_score, &count) == -1;
       }},
      {"search_batch(h, NULL queries)",
       [&] {
         return korvane_search_batch(handle, nullptr, 1, 1, 16, 1, &out_id, &out_score,
                                     &count) == -1;
       }},
      {"search_batch(.., NULL ids)",
       [&] {
         return korvane_search_batch(handle, q, 1, 1, 16, 1, nullptr, &out_score, &count) == -1;
       }},
      {"search_batch(.., NULL scores)",
       [&] {
         return korvane_search_batch(handle, q, 1, 1, 16, 1, &out_id, nullptr, &count) == -1;
       }},
      {"search_batch(.., NULL counts)",
       [&] {
         return korvane_search_batch(handle, q, 1, 1, 16, 1, &out_id, &out_score, nullptr) == -1;
       }},
      {"save(NULL, path)", [&] { return korvane_index_save(nullptr, path.c_str()) == -1; }},
      {"save(h, NULL)", [&] { return korvane_index_save(handle, nullptr) == -1; }},
      {"load(NULL)", [&] { return korvane_index_load(nullptr) == nullptr; }},
      {"destroy(NULL)",
       [&] {
         korvane_index_destroy(nullptr);
         korvane_context_destroy(nullptr);
         return true;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    EXPECT_TRUE(c.rejected());
    EXPECT_EQ(out_id, c_sentinel_id) << "nothing is written";
    EXPECT_EQ(out_score, c_sentinel_score);
    EXPECT_EQ(count, 77u);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(testdigest::digest(handle->index), digest) << "the index is unchanged";
  EXPECT_EQ(korvane_index_len(handle), 200u);
  // Without the queries, counts or results that a call does not need,
  // NULL is fine: n = 0, or k = 0.
  EXPECT_EQ(korvane_search_batch(handle, nullptr, 0, 5, 16, 1, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(korvane_search_batch(handle, q, 1, 0, 16, 1, nullptr, nullptr, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(korvane_search_filtered(handle, ctx, q, nullptr, 0, 5, &out_id, &out_score), 0u);
  korvane_context_destroy(ctx);
}

// Vectors with non-finite (or extreme) components are accepted and may come
// back with any score, but the others must score and rank exactly as in an
// index without them.
struct BadVector {
  const char* name;
  std::function<void(float*)> spoil;  // applied to a copy of a stored vector
  bool nan_score;                     // scores NaN against every query
};

const std::vector<BadVector>& badVectors() {
  static const std::vector<BadVector> all = {
      {"NaN component", [](float* v) { v[5] = c_nan; }, false},
      {"all NaN", [](float* v) { std::fill_n(v, c_dim, c_nan); }, false},
      {"+inf component", [](float* v) { v[100] = c_inf; }, true},
      {"-inf component", [](float* v) { v[2000] = -c_inf; }, true},
      // Every rotated component is a sum of +inf and -inf terms: all NaN, as
      // for an all-NaN vector, and its scores are finite.
      {"all +inf", [](float* v) { std::fill_n(v, c_dim, c_inf); }, false},
      {"largest floats (the rotation overflows)",
       [](float* v) { std::fill_n(v, c_dim, std::numeric_limits<float>::max()); }, true},
      {"one largest float", [](float* v) { v[7] = std::numeric_limits<float>::max(); }, false},
      {"subnormal components",
       [](float* v) { std::fill_n(v, c_dim, std::numeric_limits<float>::denorm_min()); }, false},
      {"zero vector", [](float* v) { std::fill_n(v, c_dim, 0.0f); }, false},
  };
  return all;
}

// A finite query whose routing code equals the bad vector's (Hamming
// distance 0), so that its graph search meets the bad vector first:
// q = R^T t with t_j = +1 where the rotated bad vector is positive, else -1
// (a NaN component has routing bit 0).
std::vector<float> alongside(const korvane_index* h, const std::vector<float>& bad) {
  const korvane::RandomRotation& r = h->index.rotation();
  std::vector<float> rotated(c_dim);
  r.apply(bad.data(), rotated.data());
  std::vector<double> q(c_dim, 0.0);
  for (std::size_t j = 0; j < c_dim; ++j) {
    const double t = rotated[j] > 0 ? 1.0 : -1.0;
    const float* row = r.rows().data() + j * c_dim;
    for (std::size_t i = 0; i < c_dim; ++i) q[i] += t * row[i];
  }
  return std::vector<float>(q.begin(), q.end());
}

// Each bad vector is added alone to a copy of the clean index (and removed
// again) and queries are compared with the clean index: a filtered scan
// over all ids must give exactly the clean results, the bad vector possibly
// taking one place; a graph search wide enough to reach every node (m = 400
// > 201 nodes) may lose at most two entries (one to the bad vector's place
// in the rerank pool, one to its place in the result). After the removal
// both searches equal the clean ones exactly.
//
// The cases that offer a NaN score to a collector first (the bad id at the
// head of the allow-list, the query that routes to the bad vector first)
// run only when `nan_first` is set; see NanScoresDoNotDisturbOtherResults.
void checkBadVectors(korvane_index* clean, korvane_index* dirty,
                     const std::vector<std::uint64_t>& ids, const float* base,
                     const std::vector<float>& queries, bool nan_first) {
  std::uint64_t bad_id = 900000;
  for (const BadVector& b : badVectors()) {
    if (nan_first && !b.nan_score) continue;
    SCOPED_TRACE(b.name);
    std::vector<float> v(base, base + c_dim);
    b.spoil(v.data());
    ++bad_id;
    ASSERT_EQ(korvane_index_add(dirty, bad_id, v.data()), 0) << "accepted";
    ASSERT_EQ(korvane_index_len(dirty), ids.size() + 1);
    ASSERT_TRUE(dirty->index.routing().checkInvariants());
    std::vector<std::vector<float>> qs;
    for (std::size_t qi = 0; qi < 4; ++qi) {
      qs.emplace_back(queries.begin() + std::ptrdiff_t(qi * c_dim),
                      queries.begin() + std::ptrdiff_t((qi + 1) * c_dim));
    }
    qs.push_back(alongside(dirty, v));
    for (const bool head : {false, true}) {
      for (std::size_t qi = 0; qi < qs.size(); ++qi) {
        const bool along = qi + 1 == qs.size();
        if ((head || along) && b.nan_score != nan_first) continue;
        if (nan_first && !head && !along) continue;
        SCOPED_TRACE(std::string(head ? "bad id first in the list, " : "bad id in the list, ") +
                     (along ? "query along the bad vector" : "query " + std::to_string(qi)));
        std::vector<std::uint64_t> allowed = ids;
        allowed.insert(head ? allowed.begin() : allowed.begin() + 100, bad_id);
        const float* q = qs[qi].data();
        for (std::size_t k : {1, 10, 256}) {
          const std::vector<Hit> want = filtered(clean, q, ids, k);
          const std::vector<Hit> got = filtered(dirty, q, allowed, k);
          EXPECT_EQ(got.size(), std::min<std::size_t>(k, allowed.size()));
          const std::vector<Hit> others = without(got, bad_id);
          EXPECT_TRUE(std::equal(others.begin(), others.end(), want.begin()))
              << "k " << k << ": the others' filtered results changed";
          // A NaN score ranks below every number: it is returned only after
          // all the finite ones, here only when k exceeds them.
          if (b.nan_score) {
            const bool returned = others.size() < got.size();
            EXPECT_EQ(returned, k > ids.size()) << "k " << k;
            if (returned) {
              EXPECT_EQ(got.back().id, bad_id);
              EXPECT_TRUE(std::isnan(got.back().score));
            }
          }
        }
        if (head) continue;
        const std::vector<Hit> want = search(clean, q, 10, 400);
        ASSERT_EQ(want.size(), 10u);
        EXPECT_TRUE(isThinnedFrom(without(search(dirty, q, 10, 400), bad_id), want, 2))
            << "the others' graph search results changed";
      }
    }
    ASSERT_EQ(korvane_index_remove(dirty, bad_id), 0);
    for (const std::vector<float>& q : qs) {
      EXPECT_EQ(filtered(dirty, q.data(), ids, 10), filtered(clean, q.data(), ids, 10));
      EXPECT_EQ(search(dirty, q.data(), 10, 400), search(clean, q.data(), 10, 400));
    }
  }
  EXPECT_TRUE(dirty->index.routing().checkInvariants());
}

TEST_F(BadInputTest, NonFiniteVectorsLeaveOtherResultsAlone) {
  korvane_index* dirty = copy();
  ASSERT_NE(dirty, nullptr);
  checkBadVectors(handle, dirty, ids, vec(3), *queries, false);
  korvane_index_destroy(dirty);
}

// A vector with an infinite component (or one whose rotation overflows) has
// an sq8 scale of +inf and codes of 0, so every query scores it NaN. A NaN
// at the root of a full top-k collector would never be displaced and keep
// better results out: a filtered search whose allow-list starts with such an
// id would return the first k - 1 listed ids instead of the best ones.
TEST_F(BadInputTest, NanScoresDoNotDisturbOtherResults) {
  korvane_index* dirty = copy();
  ASSERT_NE(dirty, nullptr);
  checkBadVectors(handle, dirty, ids, vec(3), *queries, true);
  korvane_index_destroy(dirty);
}

TEST_F(BadInputTest, NonFiniteQueriesAreAnsweredAndLeaveTheContextClean) {
  korvane_context* ctx = korvane_context_create(handle, 64);
  ASSERT_NE(ctx, nullptr);
  const std::vector<Hit> reference = search(handle, query(0), 10, 64);
  ASSERT_EQ(reference.size(), 10u);
  struct Case {
    const char* name;
    std::function<void(float*)> spoil;
  };
  const Case cases[] = {
      {"NaN component", [](float* q) { q[0] = c_nan; }},
      {"all NaN", [](float* q) { std::fill_n(q, c_dim, c_nan); }},
      {"+inf component", [](float* q) { q[9] = c_inf; }},
      {"-inf component", [](float* q) { q[3000] = -c_inf; }},
      {"all +inf", [](float* q) { std::fill_n(q, c_dim, c_inf); }},
      {"largest floats", [](float* q) { std::fill_n(q, c_dim, std::numeric_limits<float>::max()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Row 0 of the batch is the bad query, row 1 a good one.
    std::vector<float> qs(2 * c_dim);
    std::copy_n(query(1), c_dim, qs.data());
    c.spoil(qs.data());
    std::copy_n(query(0), c_dim, qs.data() + c_dim);
    std::vector<std::uint64_t> out_ids(20, c_sentinel_id);
    std::vector<float> out_scores(20, c_sentinel_score);
    const std::size_t n = korvane_search(handle, ctx, qs.data(), 10, out_ids.data(), out_scores.data());
    EXPECT_LE(n, 10u);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_TRUE(out_ids[i] >= 1000 && out_ids[i] < 1200) << out_ids[i];
      EXPECT_EQ(std::count(out_ids.begin(), out_ids.begin() + std::ptrdiff_t(n), out_ids[i]), 1);
    }
    const std::size_t f = korvane_search_filtered(handle, ctx, qs.data(), ids.data(), ids.size(), 10,
                                                  out_ids.data(), out_scores.data());
    // Entries that score NaN are never returned (a NaN query scores NaN
    // against everything).
    EXPECT_LE(f, 10u);
    for (std::size_t i = 0; i < f; ++i) EXPECT_TRUE(out_ids[i] >= 1000 && out_ids[i] < 1200);
    std::size_t counts[2] = {99, 99};
    ASSERT_EQ(korvane_search_batch(handle, qs.data(), 2, 10, 64, 2, out_ids.data(),
                                   out_scores.data(), counts),
              0);
    EXPECT_LE(counts[0], 10u);
    ASSERT_EQ(counts[1], 10u);
    for (std::size_t i = 0; i < 10; ++i) {
      EXPECT_EQ((Hit{out_ids[10 + i], out_scores[10 + i]}), reference[i]) << "batch row " << i;
    }
    // The context that served the bad query answers the next one as a fresh
    // context does.
    const std::size_t again = korvane_search(handle, ctx, query(0), 10, out_ids.data(), out_scores.data());
    ASSERT_EQ(again, 10u);
    for (std::size_t i = 0; i < 10; ++i) {
      EXPECT_EQ((Hit{out_ids[i], out_scores[i]}), reference[i]) << "result " << i;
    }
  }
  korvane_context_destroy(ctx);
}

TEST_F(BadInputTest, ExtremeKAndM) {
  korvane_context* wide = korvane_context_create(handle, 300);
  ASSERT_NE(wide, nullptr);
  const float* q = query(2);
  std::vector<std::uint64_t> out_ids(300, c_sentinel_id);
  std::vector<float> out_scores(300, c_sentinel_score);
  auto run = [&](korvane_context* ctx, std::size_t k) {
    std::fill(out_ids.begin(), out_ids.end(), c_sentinel_id);
    const std::size_t n = korvane_search(handle, ctx, q, k, out_ids.data(), out_scores.data());
    EXPECT_EQ(out_ids[n], c_sentinel_id) << "k " << k << ": nothing past the count";
    std::vector<Hit> hits;
    for (std::size_t i = 0; i < n; ++i) hits.push_back({out_ids[i], out_scores[i]});
    return hits;
  };
  auto runFiltered = [&](std::size_t k) {
    std::fill(out_ids.begin(), out_ids.end(), c_sentinel_id);
    const std::size_t n = korvane_search_filtered(handle, wide, q, ids.data(), ids.size(), k,
                                                  out_ids.data(), out_scores.data());
    EXPECT_EQ(out_ids[n], c_sentinel_id) << "k " << k << ": nothing past the count";
    std::vector<Hit> hits;
    for (std::size_t i = 0; i < n; ++i) hits.push_back({out_ids[i], out_scores[i]});
    return hits;
  };
  EXPECT_TRUE(run(wide, 0).empty());
  EXPECT_EQ(run(wide, 1).size(), 1u);
  // m = 300 > 200 nodes: the whole index comes back, and k beyond 256 is
  // capped without any other effect.
  const std::vector<Hit> all = run(wide, 256);
  EXPECT_EQ(all.size(), 200u);
  EXPECT_EQ(run(wide, 257), all);
  EXPECT_EQ(run(wide, SIZE_MAX), all);
  EXPECT_TRUE(runFiltered(0).empty());
  EXPECT_EQ(runFiltered(1).size(), 1u);
  const std::vector<Hit> scan = runFiltered(256);
  EXPECT_EQ(scan.size(), 200u);
  EXPECT_EQ(runFiltered(SIZE_MAX), scan);
  // Both see every vector and score it from the same record.
  EXPECT_EQ(scan, all);

  korvane_context* narrow = korvane_context_create(handle, 1);
  ASSERT_NE(narrow, nullptr);
  EXPECT_LE(run(narrow, 10).size(), 1u);
  korvane_context_destroy(narrow);

  // Breadths whose buffers cannot exist: NULL, not a crash. m * 16 bytes
  // wraps around 64 bits from SIZE_MAX / 16 + 1 on.
  for (std::size_t m : {SIZE_MAX, SIZE_MAX / 2, SIZE_MAX / 16 + 1, std::size_t{1} << 40}) {
    SCOPED_TRACE(m);
    EXPECT_EQ(korvane_context_create(handle, m), nullptr);
  }
  korvane_context_destroy(wide);
}

TEST_F(BadInputTest, BatchSearchRefusesHugeResultsWithoutTouchingTheArrays) {
  std::uint64_t out_ids[4] = {c_sentinel_id, c_sentinel_id, c_sentinel_id, c_sentinel_id};
  float out_scores[4] = {c_sentinel_score, c_sentinel_score, c_sentinel_score, c_sentinel_score};
  std::size_t counts[4] = {77, 77, 77, 77};
  struct Case {
    std::size_t n, k, m;
  };
  const std::size_t big = std::size_t{1} << 30;
  const Case cases[] = {
      {1, std::size_t{1} << 60, 16},        // n * k = 2^60: refused up front
      {big, big, 16},                        // 2^60
      {std::size_t{1} << 33, std::size_t{1} << 33, 16},  // n * k wraps to 0 in 64 bits
      {SIZE_MAX, 1, 16},
      {3, SIZE_MAX, 16},
      {1, std::size_t{1} << 59, 16},        // below the limit; 2^63 bytes cannot be had
      {1, std::size_t{1} << 40, 16},        // 16 TiB
      {1, 10, SIZE_MAX},                     // contexts that cannot exist
      {1, 10, std::size_t{1} << 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("n " + std::to_string(c.n) + " k " + std::to_string(c.k) + " m " +
                 std::to_string(c.m));
    // Only one query exists: a call that read the n queries would fault.
    EXPECT_EQ(korvane_search_batch(handle, query(0), c.n, c.k, c.m, 1, out_ids, out_scores, counts),
              -1);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(out_ids[i], c_sentinel_id);
      EXPECT_EQ(out_scores[i], c_sentinel_score);
    }
  }
  // m = 0 is accepted here and yields nothing; threads beyond any sense are
  // capped and change no result.
  ASSERT_EQ(korvane_search_batch(handle, queries->data(), 3, 4, 0, 1, out_ids, out_scores, counts), 0);
  EXPECT_EQ(counts[0] + counts[1] + counts[2], 0u);
  std::vector<std::uint64_t> a_ids(3 * 10), b_ids(3 * 10);
  std::vector<float> a_scores(3 * 10), b_scores(3 * 10);
  std::size_t a_counts[3], b_counts[3];
  ASSERT_EQ(korvane_search_batch(handle, queries->data(), 3, 10, 32, 1, a_ids.data(),
                                 a_scores.data(), a_counts),
            0);
  ASSERT_EQ(korvane_search_batch(handle, queries->data(), 3, 10, 32, SIZE_MAX, b_ids.data(),
                                 b_scores.data(), b_counts),
            0);
  EXPECT_TRUE(std::equal(a_counts, a_counts + 3, b_counts));
  EXPECT_EQ(a_ids, b_ids);
  EXPECT_EQ(std::memcmp(a_scores.data(), b_scores.data(), a_scores.size() * sizeof(float)), 0);
}

TEST_F(BadInputTest, BatchInsertionOfAnImpossibleCountIsRefusedBeforeReadingIt) {
  korvane_index* h = copy();
  ASSERT_NE(h, nullptr);
  const std::uint64_t digest = testdigest::digest(h->index);
  const std::uint64_t one_id = 1;
  // The id set for n ids cannot be sized, so nothing is read past the one
  // id and vector that exist. (Under AddressSanitizer a throwing allocation
  // of an impossible size is fatal whatever the options, so the case that
  // reaches the allocator runs only without it.)
  std::vector<std::size_t> counts = {SIZE_MAX, SIZE_MAX / 2};
  if (!c_asan) counts.push_back(std::size_t{1} << 40);
  for (std::size_t n : counts) {
    SCOPED_TRACE(n);
    EXPECT_EQ(korvane_index_add_batch(h, &one_id, query(0), n, 1), -1);
  }
  EXPECT_EQ(testdigest::digest(h->index), digest);
  // Any thread count works and changes nothing in the result.
  std::vector<std::uint64_t> new_ids = {1, 2, 3, 4, 5};
  ASSERT_EQ(korvane_index_add_batch(h, new_ids.data(), queries->data(), 5, SIZE_MAX), 0);
  korvane_index* one = copy();
  ASSERT_EQ(korvane_index_add_batch(one, new_ids.data(), queries->data(), 5, 1), 0);
  EXPECT_EQ(testdigest::digest(h->index), testdigest::digest(one->index));
  korvane_index_destroy(one);
  korvane_index_destroy(h);
}

TEST_F(BadInputTest, IdsAtTheEndsOfTheRange) {
  korvane_index* h = copy();
  ASSERT_NE(h, nullptr);
  const std::vector<std::uint64_t> edge = {0, 1, UINT64_MAX, UINT64_MAX - 1,
                                           std::uint64_t{1} << 63, (std::uint64_t{1} << 63) + 1};
  for (std::size_t i = 0; i < edge.size(); ++i) {
    SCOPED_TRACE(edge[i]);
    ASSERT_EQ(korvane_index_add(h, edge[i], query(i)), 0);
    EXPECT_EQ(korvane_index_add(h, edge[i], query(i)), -2);
  }
  const std::uint64_t twice[] = {UINT64_MAX, 7, UINT64_MAX};
  EXPECT_EQ(korvane_index_add_batch(h, twice, queries->data(), 3, 2), -2);
  EXPECT_EQ(korvane_index_len(h), 206u);
  const std::vector<Hit> found = filtered(h, query(0), edge, 256);
  ASSERT_EQ(found.size(), edge.size());
  for (std::uint64_t id : edge) {
    EXPECT_EQ(std::count_if(found.begin(), found.end(), [&](const Hit& x) { return x.id == id; }),
              1);
  }
  for (std::size_t i = 0; i < edge.size(); ++i) {
    const std::vector<Hit> self = search(h, query(i), 5, 64);
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(self[0].id, edge[i]) << "a vector is its own nearest neighbour";
  }
  // They survive a round trip, then go and come back.
  const std::string path = (*dir / "edge.tqx").string();
  ASSERT_EQ(korvane_index_save(h, path.c_str()), 0);
  korvane_index* loaded = korvane_index_load(path.c_str());
  ASSERT_NE(loaded, nullptr);
  korvane_index_destroy(h);
  EXPECT_EQ(filtered(loaded, query(0), edge, 256), found);
  for (std::uint64_t id : edge) {
    SCOPED_TRACE(id);
    EXPECT_EQ(korvane_index_remove(loaded, id), 0);
    EXPECT_EQ(korvane_index_remove(loaded, id), -1);
  }
  EXPECT_TRUE(filtered(loaded, query(0), edge, 256).empty());
  ASSERT_EQ(korvane_index_add_batch(loaded, edge.data(), queries->data(), edge.size(), 3), 0);
  EXPECT_EQ(filtered(loaded, query(0), edge, 256).size(), edge.size());
  EXPECT_EQ(korvane_index_len(loaded), 206u);
  EXPECT_TRUE(loaded->index.routing().checkInvariants());
  korvane_index_destroy(loaded);
}

TEST_F(BadInputTest, DuplicateAndZeroVectors) {
  korvane_index* h = copy();
  ASSERT_NE(h, nullptr);
  // 40 copies of one vector, one at a time and in a batch, and 20 zero
  // vectors: routing codes at distance 0 from each other everywhere.
  std::vector<std::uint64_t> copies;
  for (std::uint64_t i = 0; i < 20; ++i) {
    copies.push_back(5000 + i);
    ASSERT_EQ(korvane_index_add(h, 5000 + i, vec(7)), 0);
  }
  std::vector<float> batch(20 * c_dim);
  std::vector<std::uint64_t> batch_ids;
  for (std::size_t i = 0; i < 20; ++i) {
    std::copy_n(vec(7), c_dim, batch.data() + i * c_dim);
    batch_ids.push_back(5020 + i);
  }
  copies.insert(copies.end(), batch_ids.begin(), batch_ids.end());
  ASSERT_EQ(korvane_index_add_batch(h, batch_ids.data(), batch.data(), 20, 2), 0);
  const std::vector<float> zero(c_dim, 0.0f);
  std::vector<std::uint64_t> zeros;
  for (std::uint64_t i = 0; i < 20; ++i) {
    zeros.push_back(6000 + i);
    ASSERT_EQ(korvane_index_add(h, 6000 + i, zero.data()), 0);
  }
  ASSERT_TRUE(h->index.routing().checkInvariants());
  // Every copy has the same record, so the same score, bit for bit.
  const std::vector<Hit> same = filtered(h, vec(7), copies, 256);
  ASSERT_EQ(same.size(), 40u);
  for (const Hit& x : same) EXPECT_EQ(std::memcmp(&x.score, &same[0].score, sizeof(float)), 0);
  for (const Hit& x : filtered(h, vec(7), zeros, 256)) EXPECT_EQ(x.score, 0.0f);
  // The graph search finds the copies (and the original, id 1007) first.
  // The graph search puts the copies it finds first, all with that score.
  // (It need not find all 41: once the copies' neighbour lists hold 32
  // copies, a further copy is the one each full list drops, so later
  // copies can be reachable only through the filtered scan.)
  const std::vector<Hit> near = search(h, vec(7), 41, 400);
  ASSERT_EQ(near.size(), 41u);
  const auto isCopy = [](const Hit& x) { return x.id == 1007 || (x.id >= 5000 && x.id < 5040); };
  const auto found = std::size_t(std::count_if(near.begin(), near.end(), isCopy));
  EXPECT_GE(found, 20u);
  for (std::size_t i = 0; i < near.size(); ++i) {
    EXPECT_EQ(isCopy(near[i]), i < found) << "rank " << i << ": id " << near[i].id;
    if (i < found) {
      EXPECT_EQ(std::memcmp(&near[i].score, &same[0].score, sizeof(float)), 0);
    }
  }
  // The zero query scores everything 0.
  for (const Hit& x : search(h, zero.data(), 10, 64)) EXPECT_EQ(x.score, 0.0f);
  korvane_index_destroy(h);
}

// The build breadth is raised to 32 and is otherwise unbounded: a graph
// search never holds more than the node count, so SIZE_MAX builds the same
// index as any breadth above the number of vectors.
TEST_F(BadInputTest, ExtremeBuildBreadth) {
  // The empty index's image, with the stored breadth patched.
  korvane_index* empty = korvane_index_create(0, 3);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->index.routing().efConstruction(), 32u);
  const std::string path = (*dir / "breadth.tqx").string();
  ASSERT_EQ(korvane_index_save(empty, path.c_str()), 0);
  korvane_index_destroy(empty);
  // Without its checksum trailer, as another writer may write it, so that
  // the patched header loads.
  ASSERT_EQ(::truncate(path.c_str(), std::filesystem::file_size(path) - 24), 0);
  auto withBreadth = [&](std::uint64_t ef) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    EXPECT_NE(f, nullptr);
    std::fseek(f, 24, SEEK_SET);  // ef_construction, u64 little-endian
    std::fwrite(&ef, sizeof ef, 1, f);
    std::fclose(f);
    korvane_index* h = korvane_index_load(path.c_str());
    EXPECT_NE(h, nullptr) << korvane_last_error();
    if (h == nullptr) return std::uint64_t{0};
    EXPECT_EQ(h->index.routing().efConstruction(), ef);
    for (std::size_t i = 0; i < 60; ++i) EXPECT_EQ(korvane_index_add(h, i, vec(i)), 0);
    const std::uint64_t more[] = {100, 101, 102};
    EXPECT_EQ(korvane_index_add_batch(h, more, vec(100), 3, 2), 0);
    EXPECT_TRUE(h->index.routing().checkInvariants());
    const std::uint64_t d = testdigest::digest(h->index);
    korvane_index_destroy(h);
    return d;
  };
  EXPECT_EQ(withBreadth(SIZE_MAX), withBreadth(64));
}

}  // namespace
