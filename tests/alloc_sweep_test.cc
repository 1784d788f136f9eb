// Allocation failure at the C interface. Every exported function that
// allocates is called with its 1st, 2nd, 3rd ... allocation failing until a
// call gets through without meeting the failure; after each failed call the
// result must be the documented code or NULL, the index exactly as before
// (for a batch insertion: exactly the committed prefix), the index still
// usable, and nothing leaked. Leaks are caught by LeakSanitizer in the
// sanitizer build and by the allocator's in-use byte count otherwise: per
// call where a failed call must keep nothing (create, context, batch
// search, save, load), and over the whole test where a failed call may keep
// spare capacity it reserved (insertion, removal, a context that grew).
//
// Each sweep prints how many failure points it exercised.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "c_api.h"
#include "support/failing_allocator.h"
#include "support/heap_usage.h"
#include "support/index_digest.h"
#include "support/index_parts.h"
#include "support/temp_dir.h"
#include "storage.h"
#include "support/test_data.h"

namespace {

using testdata::c_dim;

using testsupport::c_heap_slack;
using testsupport::heapInUse;

#define EXPECT_HEAP_BACK(now, then) \
  EXPECT_LE((now), (then) + c_heap_slack) << "leaked " << ((now) - (then)) << " bytes"

void report(const char* what, long points) {
  std::printf("alloc sweep: %-44s %4ld failure points\n", what, points);
  std::fflush(stdout);
}

// Runs `setup` with no failure armed, then `call` with the failure that the
// sweep armed: the sweep's count covers the call alone. Records the heap in
// use just before and after the call.
template <class Setup, class Call>
bool armedCall(Setup&& setup, Call&& call, std::size_t* before, std::size_t* after) {
  const long n = failing_allocator::countdown.load();
  failing_allocator::disarm();
  setup();
  *before = heapInUse();
  failing_allocator::failNthAllocation(n);
  const bool ok = call();
  const long left = failing_allocator::countdown.load();
  failing_allocator::disarm();
  *after = heapInUse();
  failing_allocator::failNthAllocation(left);  // sweep() reads whether it fired
  return ok;
}

struct Data {
  std::vector<float> vectors = testdata::clustered(80, 61, 0, 6);
  std::vector<float> queries = testdata::clustered(8, 61, 1, 6);
  const float* vec(std::size_t i) const { return vectors.data() + i * c_dim; }
  const float* query(std::size_t i) const { return queries.data() + i * c_dim; }
};

// Everything an insertion, a removal or a failed call could change, beyond
// the digest (payloads, rerank store, layers, tombstones, live count, level
// generator): the id map, seen through the ids a test uses.
struct State {
  std::uint64_t digest;
  std::vector<std::int64_t> internal;  // -1: not mapped
  bool operator==(const State&) const = default;
};
State stateOf(const korvane_index* h, std::uint64_t first_id, std::size_t ids) {
  State s{testdigest::digest(h->index), {}};
  for (std::uint64_t id = first_id; id < first_id + ids; ++id) {
    const std::uint64_t* i = h->index.internalOf(id);
    s.internal.push_back(i == nullptr ? -1 : std::int64_t(*i));
  }
  return s;
}

class AllocSweepTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    data = new Data;
    pristine = korvane_index_create(40, 9);
    ASSERT_NE(pristine, nullptr);
    report("(warm-up: stdout's buffer)", 0);
  }
  // Whatever a test made, it released: the heap is back where it started.
  void SetUp() override { baseline_ = heapInUse(); }
  void TearDown() override { EXPECT_HEAP_BACK(heapInUse(), baseline_); }
  static void TearDownTestSuite() {
    korvane_index_destroy(pristine);
    delete data;
  }

  // A new empty index with the pristine index's rotation, made without
  // drawing it again (a copy of the matrix instead of a second of work).
  // The same as korvane_index_create(40, 9).
  static korvane_index* fresh() {
    return new korvane_index{
        testsupport::emptyIndex(pristine->index.rotation(), korvane::RerankStore::sq8, 40)};
  }
  // fresh() with vectors 0 .. n - 1 under ids 1000 + i.
  static korvane_index* withVectors(std::size_t n) {
    korvane_index* h = fresh();
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(korvane_index_add(h, 1000 + i, data->vec(i)), 0);
    return h;
  }
  // A search with a new context works and finds something.
  static bool searchable(const korvane_index* h) {
    korvane_context* ctx = korvane_context_create(h, 32);
    if (ctx == nullptr) return false;
    std::uint64_t ids[5];
    float scores[5];
    const std::size_t n = korvane_search(h, ctx, data->query(0), 5, ids, scores);
    korvane_context_destroy(ctx);
    return n == std::min<std::size_t>(5, korvane_index_len(h));
  }

  static inline Data* data = nullptr;
  static inline korvane_index* pristine = nullptr;
  std::size_t baseline_ = 0;
};

TEST_F(AllocSweepTest, Create) {
  korvane_index* made = nullptr;
  std::size_t before = 0, after = 0;
  const long points = failing_allocator::sweep(
      [&] {
        return armedCall([] {}, [&] { return (made = korvane_index_create(40, 9)) != nullptr; },
                         &before, &after);
      },
      [&](long n, bool ok) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(ok) << "NULL on failure";
        EXPECT_HEAP_BACK(after, before);
      });
  report("korvane_index_create", points);
  ASSERT_NE(made, nullptr);
  EXPECT_GT(points, 0);
  EXPECT_EQ(std::memcmp(made->index.rotation().rows().data(), pristine->index.rotation().rows().data(),
                        c_dim * c_dim * sizeof(float)),
            0);
  // The survivor is a whole index, and fresh() makes the same one.
  korvane_index* copy = withVectors(20);
  for (std::size_t i = 0; i < 20; ++i) ASSERT_EQ(korvane_index_add(made, 1000 + i, data->vec(i)), 0);
  EXPECT_EQ(stateOf(made, 1000, 20), stateOf(copy, 1000, 20));
  korvane_index_destroy(copy);
  korvane_index_destroy(made);
}

// Insertions into an index growing from empty to 40 vectors: every growth
// of its arrays, maps and graph layers meets a failure once.
TEST_F(AllocSweepTest, Add) {
  korvane_index* h = fresh();
  long total = 0;
  for (std::size_t i = 0; i < 40; ++i) {
    SCOPED_TRACE("vector " + std::to_string(i));
    const State was = stateOf(h, 1000, 40);
    std::size_t before = 0, after = 0;
    total += failing_allocator::sweep(
        [&] {
          return armedCall([] {}, [&] { return korvane_index_add(h, 1000 + i, data->vec(i)) == 0; },
                           &before, &after);
        },
        [&](long n, bool ok) {
          SCOPED_TRACE(n);
          ASSERT_FALSE(ok);
          EXPECT_EQ(stateOf(h, 1000, 40), was) << "a failed insertion leaves no trace";
          EXPECT_TRUE(h->index.routing().checkInvariants());
          if (i > 0) {
            EXPECT_TRUE(searchable(h));
          }
        });
    ASSERT_EQ(korvane_index_len(h), i + 1);
  }
  report("korvane_index_add (40 insertions from empty)", total);
  EXPECT_GT(total, 0);
  // The survivor is the index that no failure ever touched.
  korvane_index* clean = withVectors(40);
  EXPECT_EQ(stateOf(h, 1000, 40), stateOf(clean, 1000, 40));
  korvane_index_destroy(clean);
  korvane_index_destroy(h);
}

// A batch of 12 into an index of 4 (chunks of 4 and 8), on the calling
// thread and on worker threads. After a failure the vectors committed so far
// stay: the index must equal one that got exactly that prefix of the batch
// (whatever the thread count, which changes no result).
TEST_F(AllocSweepTest, AddBatch) {
  constexpr std::size_t c_base = 4, c_batch = 12;
  constexpr std::size_t c_span = 2000 + c_batch - 1000;  // ids 1000 .. 2011
  std::vector<std::uint64_t> ids;
  for (std::size_t i = 0; i < c_batch; ++i) ids.push_back(2000 + i);
  const float* coords = data->vec(c_base);
  std::map<std::size_t, State> prefix;  // committed count -> expected state
  auto expected = [&](std::size_t committed) {
    if (!prefix.count(committed)) {
      korvane_index* ref = withVectors(c_base);
      EXPECT_EQ(korvane_index_add_batch(ref, ids.data(), coords, committed, 1), 0);
      prefix[committed] = stateOf(ref, 1000, c_span);
      korvane_index_destroy(ref);
    }
    return prefix[committed];
  };
  for (std::size_t threads : {0, 3}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    korvane_index* h = nullptr;
    std::size_t before = 0, after = 0;
    std::size_t partial = 0;
    const long points = failing_allocator::sweep(
        [&] {
          return armedCall(
              [&] {
                korvane_index_destroy(h);
                h = withVectors(c_base);
              },
              [&] { return korvane_index_add_batch(h, ids.data(), coords, c_batch, threads) == 0; },
              &before, &after);
        },
        [&](long n, bool ok) {
          SCOPED_TRACE(n);
          ASSERT_FALSE(ok);
          const std::size_t live = korvane_index_len(h);
          ASSERT_GE(live, c_base);
          ASSERT_LT(live, c_base + c_batch);
          if (live > c_base) ++partial;
          EXPECT_EQ(stateOf(h, 1000, c_span), expected(live - c_base))
              << "exactly the first " << live - c_base << " vectors of the batch";
          EXPECT_TRUE(h->index.routing().checkInvariants());
          EXPECT_TRUE(searchable(h));
        });
    report(threads == 0 ? "korvane_index_add_batch (12 into 4, 1 thread)"
                        : "korvane_index_add_batch (12 into 4, 3 threads)",
           points);
    std::printf("alloc sweep:   of which %zu left a committed prefix\n", partial);
    EXPECT_GT(points, 0);
    EXPECT_GT(partial, 0u);
    EXPECT_EQ(stateOf(h, 1000, c_span), expected(c_batch));
    korvane_index_destroy(h);
  }
}

// The first removal allocates the deletion marks; so does the removal of a
// vector added after the marks were last sized, once they need another word.
TEST_F(AllocSweepTest, Remove) {
  korvane_index* h = withVectors(30);
  long total = 0;
  for (std::uint64_t id : {1005, 1069}) {
    SCOPED_TRACE(id);
    if (id == 1069) {
      for (std::size_t i = 30; i < 70; ++i) ASSERT_EQ(korvane_index_add(h, 1000 + i, data->vec(i)), 0);
    }
    const State was = stateOf(h, 1000, 70);
    std::size_t before = 0, after = 0;
    total += failing_allocator::sweep(
        [&] {
          return armedCall([] {}, [&] { return korvane_index_remove(h, id) == 0; }, &before, &after);
        },
        [&](long n, bool ok) {
          SCOPED_TRACE(n);
          ASSERT_FALSE(ok) << "-1, and the id stays live";
          EXPECT_EQ(stateOf(h, 1000, 70), was);
          EXPECT_TRUE(searchable(h));
        });
    EXPECT_EQ(h->index.internalOf(id), nullptr);
  }
  report("korvane_index_remove (marks sized twice)", total);
  EXPECT_GE(total, 2);
  EXPECT_EQ(korvane_index_len(h), 68u);
  korvane_index_destroy(h);
}

TEST_F(AllocSweepTest, ContextCreate) {
  korvane_index* h = withVectors(30);
  const State was = stateOf(h, 1000, 30);
  korvane_context* ctx = nullptr;
  std::size_t before = 0, after = 0;
  const long points = failing_allocator::sweep(
      [&] {
        return armedCall([] {}, [&] { return (ctx = korvane_context_create(h, 64)) != nullptr; },
                         &before, &after);
      },
      [&](long n, bool ok) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(ok) << "NULL";
        EXPECT_HEAP_BACK(after, before);
      });
  report("korvane_context_create", points);
  ASSERT_NE(ctx, nullptr);
  EXPECT_GT(points, 0);
  EXPECT_EQ(stateOf(h, 1000, 30), was);
  korvane_context_destroy(ctx);
  korvane_index_destroy(h);
}

// A context made for a small index grows on its first search of a larger
// one. If it cannot, the search returns 0, and the context still works
// afterwards. A context that fits allocates nothing, and neither do the
// filtered search, the live count and a removal that finds room.
TEST_F(AllocSweepTest, SearchThatMustGrowItsContext) {
  // 70 nodes: the visited set needs a second word, the candidate buffer
  // grows from 4 entries.
  korvane_index* small = withVectors(4);
  korvane_index* big = withVectors(70);
  korvane_context* fits = korvane_context_create(big, 32);
  ASSERT_NE(fits, nullptr);
  std::uint64_t ids[10], want_ids[10];
  float scores[10], want_scores[10];
  const std::size_t want = korvane_search(big, fits, data->query(1), 10, want_ids, want_scores);
  ASSERT_EQ(want, 10u);

  korvane_context* ctx = nullptr;
  std::size_t count = 0;
  std::size_t before = 0, after = 0;
  const long points = failing_allocator::sweep(
      [&] {
        return armedCall(
            [&] {
              korvane_context_destroy(ctx);
              ctx = korvane_context_create(small, 32);
            },
            [&] { return (count = korvane_search(big, ctx, data->query(1), 10, ids, scores)) != 0; },
            &before, &after);
      },
      [&](long n, bool ok) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(ok) << "0 results when the context cannot grow";
        // The context is still usable: the next search grows it.
        ASSERT_EQ(korvane_search(big, ctx, data->query(1), 10, ids, scores), want);
        EXPECT_EQ(std::memcmp(ids, want_ids, sizeof ids), 0);
        EXPECT_EQ(std::memcmp(scores, want_scores, sizeof scores), 0);
      });
  report("korvane_search (context grows)", points);
  EXPECT_GE(points, 2);
  ASSERT_EQ(count, want);
  EXPECT_EQ(std::memcmp(ids, want_ids, sizeof ids), 0);
  korvane_context_destroy(ctx);

  // Per-query work allocates nothing.
  std::uint64_t allowed[] = {1000, 1003, 1007, 99};
  const auto none = [](auto&& call) {
    return failing_allocator::sweep([&] { return call(); }, [](long, bool) {});
  };
  EXPECT_EQ(none([&] { return korvane_search(big, fits, data->query(2), 10, ids, scores) > 0; }), 0);
  EXPECT_EQ(none([&] {
              return korvane_search_filtered(big, fits, data->query(2), allowed, 4, 10, ids,
                                             scores) > 0;
            }),
            0);
  EXPECT_EQ(none([&] { return korvane_index_len(big) == 70; }), 0);
  ASSERT_EQ(korvane_index_remove(big, 1001), 0);
  EXPECT_EQ(none([&] { return korvane_index_remove(big, 1002) == 0; }), 0);
  korvane_context_destroy(fits);
  korvane_index_destroy(small);
  korvane_index_destroy(big);
}

TEST_F(AllocSweepTest, SearchBatch) {
  korvane_index* h = withVectors(40);
  constexpr std::size_t c_n = 5, c_k = 10;
  std::vector<std::uint64_t> want_ids(c_n * c_k);
  std::vector<float> want_scores(c_n * c_k);
  std::size_t want_counts[c_n];
  ASSERT_EQ(korvane_search_batch(h, data->queries.data(), c_n, c_k, 32, 1, want_ids.data(),
                                 want_scores.data(), want_counts),
            0);
  for (std::size_t threads : {1, 3}) {
    SCOPED_TRACE(threads);
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
    std::size_t counts[c_n];
    std::size_t before = 0, after = 0;
    const long points = failing_allocator::sweep(
        [&] {
          return armedCall(
              [&] {
                ids.assign(c_n * c_k, 0xabababababababab);
                scores.assign(c_n * c_k, -7.0f);
                std::fill_n(counts, c_n, std::size_t{77});
              },
              [&] {
                return korvane_search_batch(h, data->queries.data(), c_n, c_k, 32, threads,
                                            ids.data(), scores.data(), counts) == 0;
              },
              &before, &after);
        },
        [&](long n, bool ok) {
          SCOPED_TRACE(n);
          EXPECT_FALSE(ok) << "-1";
          EXPECT_HEAP_BACK(after, before);
          EXPECT_EQ(ids, std::vector<std::uint64_t>(c_n * c_k, 0xabababababababab))
              << "no result is copied";
          EXPECT_EQ(scores, std::vector<float>(c_n * c_k, -7.0f));
          EXPECT_TRUE(std::all_of(counts, counts + c_n, [](std::size_t c) { return c == 77; }))
              << "no count is written";
        });
    report(threads == 1 ? "korvane_search_batch (1 thread)" : "korvane_search_batch (3 threads)",
           points);
    EXPECT_GT(points, 0);
    EXPECT_TRUE(std::equal(counts, counts + c_n, want_counts));
    EXPECT_EQ(ids, want_ids);
    EXPECT_EQ(std::memcmp(scores.data(), want_scores.data(), scores.size() * sizeof(float)), 0);
  }
  korvane_index_destroy(h);
}

// A failed save leaves the file that was there, and no other file.
TEST_F(AllocSweepTest, SaveAndLoad) {
  const testsupport::TempDir temp;
  ASSERT_TRUE(temp.made());
  const std::filesystem::path dir = temp.path();
  const std::filesystem::path path = dir / "index.tqx";

  korvane_index* old = withVectors(3);
  ASSERT_EQ(korvane_index_save(old, path.c_str()), 0);
  korvane_index_destroy(old);
  const std::vector<std::uint8_t> old_bytes = testsupport::readFileBytes(path);

  // Several layers, deletions and a re-added id, so that the loader has
  // every kind of section to allocate for.
  korvane_index* h = withVectors(40);
  ASSERT_EQ(korvane_index_remove(h, 1003), 0);
  ASSERT_EQ(korvane_index_remove(h, 1017), 0);
  ASSERT_EQ(korvane_index_add(h, 1003, data->vec(41)), 0);
  const State was = stateOf(h, 1000, 41);
  std::size_t before = 0, after = 0;
  const long save_points = failing_allocator::sweep(
      [&] {
        return armedCall([] {}, [&] { return korvane_index_save(h, path.c_str()) == 0; }, &before,
                         &after);
      },
      [&](long n, bool ok) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(ok) << "-1";
        EXPECT_HEAP_BACK(after, before);
        EXPECT_EQ(testsupport::readFileBytes(path), old_bytes) << "the previous file is intact";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                                std::filesystem::directory_iterator()),
                  1)
            << "no temporary file is left";
        EXPECT_EQ(stateOf(h, 1000, 41), was);
      });
  report("korvane_index_save", save_points);
  EXPECT_GT(save_points, 0);

  korvane_index* loaded = nullptr;
  const long load_points = failing_allocator::sweep(
      [&] {
        return armedCall([] {}, [&] { return (loaded = korvane_index_load(path.c_str())) != nullptr; },
                         &before, &after);
      },
      [&](long n, bool ok) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(ok) << "NULL";
        EXPECT_HEAP_BACK(after, before);
      });
  report("korvane_index_load", load_points);
  EXPECT_GT(load_points, 0);
  ASSERT_NE(loaded, nullptr);
  // The loaded index is the saved one (its level generator restarts).
  const korvane::Index& a = h->index;
  const korvane::Index& b = loaded->index;
  EXPECT_EQ(a.payloadCount(), b.payloadCount());
  EXPECT_EQ(a.liveCount(), b.liveCount());
  auto ia = korvane::serialize(a, std::vector<korvane::Label>(a.payloadCount()));
  auto ib = korvane::serialize(b, std::vector<korvane::Label>(b.payloadCount()));
  ASSERT_TRUE(ia && ib);
  EXPECT_TRUE(*ia == *ib);
  EXPECT_TRUE(searchable(loaded));
  korvane_index_destroy(loaded);
  korvane_index_destroy(h);
}

}  // namespace
