// Determinism pinned to fixed values. The other tests compare the library
// with itself (blocked with row-by-row, vector with scalar, batch with
// single); these compare it with answers computed once and written down, so
// that a change of any generator output, rotation bit, payload, rerank code,
// graph edge, tie rule, file byte or result score fails here.
//
// A mismatch means the library now computes something else for the same
// seed and the same calls. Files written before the change would still load,
// but indexes built from now on differ. If that is intended (a deliberate
// change of the format or of the arithmetic), regenerate the values with
//   build/tests/golden/golden_regenerate > tests/golden/golden_values.h
// and say in the commit why they moved. Otherwise it is a bug.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "golden_scenario.h"
#include "golden_values.h"

namespace golden {
namespace {

using korvane::RandomRotation;

// ---- the library's own streams, pinned ----

TEST(PinnedStreams, UniformsNormalsAndLevels) {
  EXPECT_EQ(uniformDigest(), c_uniform_seed42) << "uniformDouble changed";
  EXPECT_EQ(normalDigest(), c_normal_seed42) << "standardNormal changed";
  const std::vector<std::uint8_t> levels = firstLevels();
  std::size_t raised = 0;
  for (std::uint8_t l : levels) raised += l > 0;
  EXPECT_EQ(raised, c_first_levels_raised);
  EXPECT_EQ(hashBytes(levels.data(), levels.size()), c_first_levels) << "level drawing changed";
  // The level factor is the double nearest -0.28853900817779266 (-1/ln 32).
  EXPECT_EQ(std::bit_cast<std::uint64_t>(korvane::c_level_factor), 0xbfd2776c50ef9bfeULL);
}

// ---- rotations, full size ----

TEST(PinnedRotation, Seed0BlockedEqualsRowByRowAndThePinnedDigest) {
  auto blocked = RandomRotation::init(0);
  ASSERT_TRUE(blocked.has_value());
  EXPECT_EQ(rotationDigest(*blocked), c_rotation_seed0) << "the matrix of seed 0 changed";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the row-by-row definition takes minutes under a sanitizer; the optimised "
                  "build compares it";
#else
  auto plain = RandomRotation::initRowByRow(0);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(std::memcmp(blocked->rows().data(), plain->rows().data(), blocked->rows().size_bytes()),
            0)
      << "the blocked schedule no longer equals the definition";
#endif
}

// ---- a fixed build, its files and its answers ----

class PinnedBuild : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle = korvane_index_create(40, 42);
    ASSERT_NE(handle, nullptr);
  }
  static void TearDownTestSuite() { korvane_index_destroy(handle); }
  static korvane_index* handle;
};
korvane_index* PinnedBuild::handle = nullptr;

TEST_F(PinnedBuild, RotationOfSeed42) {
  EXPECT_EQ(rotationDigest(handle->index.rotation()), c_rotation_seed42);
}

TEST_F(PinnedBuild, FilesAndAnswersAreThePinnedOnesForEveryThreadCount) {
  // The first build runs on the created index; the others on indexes with
  // a copy of its rotation, which is what create makes.
  const RandomRotation& rotation = handle->index.rotation();
  for (std::size_t threads : {1, 3, 8}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    korvane_index* h =
        threads == 1 ? handle
                     : new korvane_index{testsupport::emptyIndex(rotation,
                                                                 korvane::RerankStore::sq8, 40)};
    const BuildDigests d = build(h, threads);
    if (h != handle) korvane_index_destroy(h);
    EXPECT_EQ(d.saved.bytes, c_saved_bytes);
    EXPECT_EQ(d.saved.hash, c_saved_file) << "the saved file is not the pinned one";
    EXPECT_EQ(d.reloaded.bytes, c_reloaded_bytes);
    EXPECT_EQ(d.reloaded.hash, c_reloaded_file)
        << "the file saved after reloading and adding is not the pinned one";
    EXPECT_EQ(d.search, c_search) << "korvane_search answers changed";
    EXPECT_EQ(d.filtered, c_filtered) << "korvane_search_filtered answers changed";
    EXPECT_EQ(d.batch, c_batch) << "korvane_search_batch answers changed";
    EXPECT_TRUE(d.reload_answers_same) << "the loaded index answers differently";
  }
}

}  // namespace
}  // namespace golden
