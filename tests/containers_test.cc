// The open-addressing map and the bit set, against simple models.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "bit_set.h"
#include "hash_map.h"
// Counts every allocation, so a test can assert that a call allocates
// nothing.
#include "support/failing_allocator.h"

namespace korvane {
namespace {

TEST(HashMap, RandomOperationsAgreeWithAModel) {
  std::mt19937_64 gen(1);
  HashMap<std::uint64_t> map;
  std::map<std::uint64_t, std::uint64_t> model;
  // Small key range so that inserts, overwrites and erases collide often;
  // keys include 0 and the largest u64.
  auto key = [&] {
    const std::uint64_t k = gen() % 600;
    return k == 599 ? ~0ULL : k;
  };
  for (int step = 0; step < 200000; ++step) {
    const std::uint64_t k = key();
    switch (gen() % 3) {
      case 0:
        ASSERT_TRUE(map.insert(k, step));
        model[k] = step;
        break;
      case 1:
        ASSERT_EQ(map.erase(k), model.erase(k) == 1);
        break;
      default: {
        const std::uint64_t* v = map.find(k);
        const auto it = model.find(k);
        ASSERT_EQ(v != nullptr, it != model.end());
        if (v != nullptr) {
          ASSERT_EQ(*v, it->second);
        }
      }
    }
    ASSERT_EQ(map.size(), model.size());
  }
  for (std::uint64_t k = 0; k < 600; ++k) EXPECT_EQ(map.contains(k), model.count(k) == 1);
}

TEST(HashMap, ReservedInsertionsDoNotGrow) {
  HashMap<std::uint32_t> map;
  ASSERT_TRUE(map.reserve(1000));
  // Room for 1000 means 1000 insertions and a second reserve of the same
  // size allocate nothing: a reserve that sized for fewer would have to
  // grow here.
  const long before = failing_allocator::allocations.load();
  for (std::uint32_t i = 0; i < 1000; ++i) map.insertReserved(i * 0x9E3779B97F4A7C15ULL, i);
  ASSERT_TRUE(map.reserve(1000));
  EXPECT_EQ(failing_allocator::allocations.load(), before);
  EXPECT_EQ(map.size(), 1000u);
  for (std::uint32_t i = 0; i < 1000; ++i) EXPECT_EQ(*map.find(i * 0x9E3779B97F4A7C15ULL), i);
  EXPECT_EQ(map.find(12345), nullptr);
}

TEST(BitSet, GrowthKeepsBitsAndClearsNewOnes) {
  BitSet bits;
  EXPECT_FALSE(bits.test(0));
  ASSERT_TRUE(bits.resize(70));
  bits.set(3);
  bits.set(69);
  ASSERT_TRUE(bits.resize(65));
  ASSERT_TRUE(bits.resize(200));
  EXPECT_TRUE(bits.test(3));
  EXPECT_FALSE(bits.test(69)) << "a bit cut off by shrinking comes back clear";
  EXPECT_FALSE(bits.test(500));
  bits.set(199);
  std::set<std::size_t> seen;
  bits.forEachSet([&](std::size_t i) { seen.insert(i); });
  EXPECT_EQ(seen, (std::set<std::size_t>{3, 199}));
  EXPECT_EQ(bits.count(), 2u);
  bits.clearAll();
  EXPECT_EQ(bits.count(), 0u);
}

}  // namespace
}  // namespace korvane
