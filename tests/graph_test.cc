#include "graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/failing_allocator.h"

namespace korvane {
namespace {

// Fails the allocation n + 1 from now (0 = the next one) while in scope.
struct FailNthAllocation {
  explicit FailNthAllocation(long n) { failing_allocator::failNthAllocation(n + 1); }
  ~FailNthAllocation() { failing_allocator::disarm(); }
  FailNthAllocation(const FailNthAllocation&) = delete;
  FailNthAllocation& operator=(const FailNthAllocation&) = delete;
};

// ---------------------------------------------------------------------------
// Codes

// Bits [begin, begin + count) set: its distance to the zero code is count.
BitVector bitsRange(std::size_t begin, std::size_t count) {
  BitVector v = BitVector::zero();
  for (std::size_t i = begin; i < begin + count; ++i) v.words[i / 64] |= std::uint64_t{1} << (i % 64);
  return v;
}

BitVector randomCode(std::mt19937_64& rng) {
  BitVector v;
  for (auto& w : v.words) w = rng();
  return v;
}

// Each bit of `centre` flipped with probability flip_per_65536 / 65536.
BitVector perturb(const BitVector& centre, std::uint32_t flip_per_65536, std::mt19937_64& rng) {
  BitVector v = centre;
  for (auto& w : v.words) {
    std::uint64_t mask = 0;
    for (int b = 0; b < 64; b += 4) {
      const std::uint64_t r = rng();
      for (int q = 0; q < 4; ++q) {
        if (((r >> (16 * q)) & 0xFFFF) < flip_per_65536) mask |= std::uint64_t{1} << (b + q);
      }
    }
    w ^= mask;
  }
  return v;
}

// Clustered codes: `clusters` random centres, members flip each bit with
// probability 0.15. Uniform random codes are all about 1536 apart and have no
// meaningful neighbours.
struct ClusteredCodes {
  std::vector<BitVector> centres;
  std::mt19937_64 rng;
  std::uint32_t member_flip = 9830;  // 0.15 * 65536

  ClusteredCodes(std::size_t clusters, std::uint64_t seed) : rng(seed) {
    for (std::size_t c = 0; c < clusters; ++c) centres.push_back(randomCode(rng));
  }
  // Two levels: `groups` random centres, `clusters` cluster centres spread
  // round-robin over them (each bit flipped with probability group_flip),
  // members around a cluster centre (member_flip). Nearby clusters give a
  // search a gradient to follow, as real data does.
  ClusteredCodes(std::size_t groups, std::size_t clusters, double group_flip, double member_flip_p,
                 std::uint64_t seed)
      : rng(seed), member_flip(static_cast<std::uint32_t>(member_flip_p * 65536)) {
    std::vector<BitVector> group_centres;
    for (std::size_t g = 0; g < groups; ++g) group_centres.push_back(randomCode(rng));
    const auto flip = static_cast<std::uint32_t>(group_flip * 65536);
    for (std::size_t c = 0; c < clusters; ++c) centres.push_back(perturb(group_centres[c % groups], flip, rng));
  }
  BitVector next() {
    const std::size_t c = rng() % centres.size();
    return perturb(centres[c], member_flip, rng);
  }
};

// ---------------------------------------------------------------------------
// Structural snapshot of a graph: equal snapshots mean equal layers, records,
// edges, code arrays, slot maps, entry, count and level generator.

struct NodeSnap {
  std::uint64_t id;
  BitVector code;
  std::vector<std::uint64_t> neighbors;
  bool operator==(const NodeSnap&) const = default;
};
struct LayerSnap {
  bool dense;
  std::vector<NodeSnap> nodes;
  std::vector<BitVector> codes;
  std::vector<std::optional<std::uint32_t>> slots;  // slot_by_id of each record's id
  std::size_t map_size;
  bool operator==(const LayerSnap&) const = default;
};
struct GraphSnap {
  std::vector<LayerSnap> layers;
  std::uint64_t entry;
  std::size_t count;
  std::size_t ef;
  std::array<std::uint64_t, 4> rng;
  bool operator==(const GraphSnap&) const = default;
};

GraphSnap snapshot(const RoutingGraph& g) {
  GraphSnap s{{}, g.entryId(), g.nodeCount(), g.efConstruction(), g.levelRngState()};
  for (std::size_t l = 0; l < g.layerCount(); ++l) {
    const Layer& layer = g.layer(l);
    LayerSnap ls{layer.dense, {}, {layer.bit_vectors.begin(), layer.bit_vectors.end()}, {},
                 layer.slot_by_id.size()};
    for (std::size_t s = 0; s < layer.size(); ++s) {
      const GraphNode n = layer.record(s);
      const auto nb = n.links.neighbors();
      ls.nodes.push_back({n.id, n.bit_vector, {nb.begin(), nb.end()}});
      const std::uint32_t* slot = layer.slot_by_id.find(n.id);
      ls.slots.push_back(slot != nullptr ? std::optional<std::uint32_t>(*slot) : std::nullopt);
    }
    s.layers.push_back(std::move(ls));
  }
  return s;
}

std::vector<std::uint64_t> neighborsOf(const RoutingGraph& g, std::size_t l, std::uint64_t id) {
  const auto nb = g.layer(l).linksOf(id).neighbors();
  return {nb.begin(), nb.end()};
}

std::vector<std::uint64_t> idsOf(std::span<const Candidate> c) {
  std::vector<std::uint64_t> ids;
  for (const Candidate& x : c) ids.push_back(x.id);
  return ids;
}

// ---------------------------------------------------------------------------
// Hand-built graphs through the load operations

struct NodeSpec {
  std::uint64_t id;
  BitVector code;
  std::vector<std::uint64_t> neighbors;
  std::optional<std::uint32_t> edge_count_override;
};
using LayerSpec = std::vector<NodeSpec>;

// A graph loaded from the specs; a record the loader refuses sets
// `*refused` (a failure when the caller passes none).
RoutingGraph load(const std::vector<LayerSpec>& layers, std::uint64_t entry, std::size_t count,
                  std::size_t ef = 32, bool* refused = nullptr) {
  RoutingGraph g = RoutingGraph::init(ef);
  for (std::size_t l = 0; l < layers.size(); ++l) {
    EXPECT_TRUE(g.appendLayerForLoad());
    for (const NodeSpec& spec : layers[l]) {
      GraphNode node = GraphNode::fresh(spec.id, spec.code);
      std::copy(spec.neighbors.begin(), spec.neighbors.end(), node.links.ids.begin());
      node.links.count =
          spec.edge_count_override.value_or(static_cast<std::uint32_t>(spec.neighbors.size()));
      const Status added = g.appendNodeForLoad(l, node);
      if (refused != nullptr) {
        *refused = *refused || !added;
      } else {
        EXPECT_TRUE(added);
      }
    }
  }
  g.finishLoad(entry, count);
  return g;
}

// A node whose distance to the zero query is `dist`.
NodeSpec at(std::uint64_t id, std::size_t dist, std::vector<std::uint64_t> neighbors) {
  return {id, bitsRange(0, dist), std::move(neighbors), std::nullopt};
}

std::span<const Candidate> routeWith(const RoutingGraph& g, const BitVector& q, std::size_t m,
                                     TraversalScratch& scratch) {
  EXPECT_TRUE(scratch.ensureCapacity(g.nodeCount(), m));
  return g.route(q, m, scratch);
}

// A graph of `n` nodes with random levels, built with insert.
RoutingGraph randomGraph(std::size_t n, std::uint64_t seed, std::size_t ef = 32) {
  RoutingGraph g = RoutingGraph::init(ef);
  ClusteredCodes codes(16, seed);
  for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(g.insert(i, codes.next()));
  return g;
}

// ---------------------------------------------------------------------------
// Lifecycle, levels, scratch

TEST(GraphInit, DefaultsAndFixedGeneratorState) {
  struct Row {
    std::size_t requested, expected;
  };
  for (const Row row : {Row{0, 32}, Row{31, 32}, Row{32, 32}, Row{500, 500}}) {
    SCOPED_TRACE(row.requested);
    const RoutingGraph g = RoutingGraph::init(row.requested);
    EXPECT_EQ(g.efConstruction(), row.expected);
    EXPECT_EQ(g.layerCount(), 0U);
    EXPECT_EQ(g.nodeCount(), 0U);
    EXPECT_EQ(g.entryId(), 0U);
    const std::array<std::uint64_t, 4> fixed = {0x6e789e6aa1b965f4ULL, 0x6c45d188009454fULL,
                                                0xf88bb8a8724c81ecULL, 0x1b39896a51a8749bULL};
    EXPECT_EQ(g.levelRngState(), fixed);
    EXPECT_TRUE(g.checkInvariants());
  }
}

TEST(GraphLevels, SameSequenceForEveryGraphAndGeometricDistribution) {
  RoutingGraph a = RoutingGraph::init(32);
  RoutingGraph b = RoutingGraph::init(200);
  constexpr std::size_t c_draws = 1'000'000;
  std::array<std::size_t, 33> at_least{};
  std::size_t highest = 0;
  for (std::size_t i = 0; i < c_draws; ++i) {
    const std::size_t level = a.drawLevel();
    if (i < 10'000) {
      ASSERT_EQ(level, b.drawLevel()) << "draw " << i;
    }
    highest = std::max(highest, level);
    for (std::size_t l = 0; l <= level; ++l) ++at_least[l];
  }
  EXPECT_LE(highest, 31U);
  // Expected 1/32 and 1/1024; tolerances about six standard deviations.
  EXPECT_NEAR(static_cast<double>(at_least[1]) / c_draws, 1.0 / 32, 0.0011);
  EXPECT_NEAR(static_cast<double>(at_least[2]) / c_draws, 1.0 / 1024, 0.00019);
  EXPECT_LT(at_least[4], 20U);  // expected about one in 10^6

  // A loaded graph starts from the first value again.
  RoutingGraph loaded = load({{at(0, 1, {})}}, 0, 1);
  RoutingGraph fresh = RoutingGraph::init(32);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(loaded.drawLevel(), fresh.drawLevel());
}

TEST(GraphLevels, InsertDrawsTheNextLevel) {
  RoutingGraph by_insert = RoutingGraph::init(32);
  RoutingGraph by_level = RoutingGraph::init(32);
  RoutingGraph levels = RoutingGraph::init(32);
  ClusteredCodes codes(4, 3);
  for (std::uint64_t i = 0; i < 300; ++i) {
    const BitVector code = codes.next();
    ASSERT_TRUE(by_insert.insert(i, code));
    ASSERT_TRUE(by_level.insertWithLevel(i, code, levels.drawLevel()));
  }
  GraphSnap a = snapshot(by_insert), b = snapshot(by_level);
  EXPECT_NE(a.rng, b.rng);  // only by_insert advanced its own generator
  EXPECT_EQ(a.rng, levels.levelRngState());
  a.rng = b.rng;
  EXPECT_TRUE(a == b);
}

TEST(TraversalScratch, GrowsExactlyAndNeverShrinks) {
  TraversalScratch s;
  ASSERT_TRUE(s.ensureCapacity(10, 40));
  ASSERT_TRUE(s.ensureCapacity(5, 50));
  EXPECT_EQ(s.visitedBits(), 10U);
  EXPECT_EQ(s.candidateCapacity(), 10U);
  EXPECT_EQ(s.resultCapacity(), 50U);

  // A failed growth leaves a scratch that can be released or grown again.
  for (long n = 0;; ++n) {
    ASSERT_TRUE(s.ensureCapacity(10, 10));
    Status st;
    {
      FailNthAllocation fail(n);
      st = s.ensureCapacity(1000, 300);
    }
    if (st) break;
    EXPECT_EQ(st.error(), Error::OutOfMemory);
    if (n % 2 == 0) s = TraversalScratch{};
    ASSERT_TRUE(s.ensureCapacity(1000, 300));
    EXPECT_TRUE(s.fits(1000, 300));
    s = TraversalScratch{};
  }
  EXPECT_TRUE(s.fits(1000, 300));
}

TEST(GraphLayers, LoadedLayersAndLookups) {
  RoutingGraph g = RoutingGraph::init(32);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(g.appendLayerForLoad());
  ASSERT_EQ(g.layerCount(), 3U);
  EXPECT_TRUE(g.layer(0).dense);
  EXPECT_FALSE(g.layer(1).dense);
  EXPECT_FALSE(g.layer(2).dense);
  EXPECT_TRUE(g.checkInvariants());  // empty layers, no nodes
  EXPECT_EQ(g.appendNodeForLoad(3, GraphNode::fresh(0, BitVector::zero())).error(),
            Error::CorruptIndex);

  const RoutingGraph h = load({{at(0, 1, {}), at(1, 2, {}), at(2, 3, {})}, {at(2, 3, {}), at(1, 2, {})}}, 2, 3);
  ASSERT_TRUE(h.checkInvariants());
  const Layer& sparse = h.layer(1);
  EXPECT_EQ(sparse.slotOf(2), 0U);
  EXPECT_EQ(sparse.slotOf(1), 1U);
  EXPECT_EQ(sparse.slotOf(0), 0U);  // absent
  EXPECT_FALSE(sparse.contains(0));
  EXPECT_EQ(sparse.bitsPtr(1), bitsRange(0, 2));
  EXPECT_EQ(h.layer(0).slotOf(2), 2U);
}

// ---------------------------------------------------------------------------
// Search

TEST(GraphSearch, EmptyGraphAndZeroWidthTouchNothing) {
  TraversalScratch scratch;
  const RoutingGraph empty = RoutingGraph::init(32);
  EXPECT_TRUE(routeWith(empty, BitVector::zero(), 10, scratch).empty());
  EXPECT_EQ(scratch.stats().nodes_evaluated, 0U);
  EXPECT_EQ(scratch.stats().layers_traversed, 0U);

  const RoutingGraph g = randomGraph(50, 1);
  ASSERT_EQ(routeWith(g, BitVector::zero(), 5, scratch).size(), 5U);
  const TraversalStats before = scratch.stats();
  EXPECT_GT(before.nodes_evaluated, 0U);
  EXPECT_TRUE(routeWith(g, BitVector::zero(), 0, scratch).empty());
  EXPECT_TRUE(routeWith(empty, BitVector::zero(), 3, scratch).empty());
  EXPECT_EQ(scratch.stats().nodes_evaluated, before.nodes_evaluated);
  EXPECT_EQ(scratch.stats().layers_traversed, before.layers_traversed);

  // A scratch too small for the graph gives nothing rather than a stray write.
  TraversalScratch small;
  ASSERT_TRUE(small.ensureCapacity(10, 5));
  EXPECT_TRUE(g.route(BitVector::zero(), 5, small).empty());
}

TEST(GraphSearch, OneNode) {
  RoutingGraph g = RoutingGraph::init(32);
  ASSERT_TRUE(g.insertWithLevel(0, bitsRange(10, 7), 0));
  TraversalScratch scratch;
  const auto found = routeWith(g, BitVector::zero(), 4, scratch);
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found[0].id, 0U);
  EXPECT_EQ(found[0].dist, 7U);
}

TEST(GraphSearch, WideBeamReturnsEveryNodeSorted) {
  const RoutingGraph g = randomGraph(400, 2);
  std::mt19937_64 rng(5);
  TraversalScratch scratch;
  for (int q = 0; q < 5; ++q) {
    const BitVector query = randomCode(rng);
    const auto found = routeWith(g, query, 1000, scratch);
    ASSERT_EQ(found.size(), 400U);
    std::vector<bool> seen(400, false);
    for (std::size_t i = 0; i < found.size(); ++i) {
      ASSERT_LT(found[i].id, 400U);
      EXPECT_FALSE(seen[found[i].id]);
      seen[found[i].id] = true;
      EXPECT_EQ(found[i].dist, query.distance(g.layer(0).bitsPtr(found[i].id)));
      if (i > 0) {
        EXPECT_LE(found[i - 1].dist, found[i].dist);
      }
    }
  }
}

TEST(GraphSearch, TieRulesAndResultOrder) {
  // One layer; query zero; at(id, d, list) is a node at distance d.
  struct Row {
    std::string name;
    LayerSpec layer;
    std::size_t m;
    std::vector<std::uint64_t> expected;
    std::size_t evaluations;
  };
  std::vector<std::uint64_t> spokes, star_order = {0};
  LayerSpec star;
  for (std::uint64_t i = 1; i <= 32; ++i) {
    spokes.push_back(i);
    star_order.push_back(i);
    star.push_back(at(i, 1, {}));
  }
  star.insert(star.begin(), at(0, 1, spokes));
  const std::vector<Row> rows = {
      // Node 2 ties the farthest kept distance and is not admitted, so node
      // 6 behind it stays unseen; node 4 pops with a distance equal to the
      // farthest kept one and is still expanded, which reaches node 5; node
      // 2, rejected once, is not counted again when met from node 5.
      {"ties at a full result set",
       {at(0, 5, {1, 2}), at(1, 3, {3, 4}), at(2, 5, {6}), at(3, 5, {6}), at(4, 4, {5}),
        at(5, 2, {2}), at(6, 0, {})},
       2, {5, 1}, 6},
      {"a tying neighbour never enters the queue",
       {at(0, 5, {1}), at(1, 5, {2}), at(2, 0, {})}, 1, {0}, 2},
      // The farthest-first heap holds 2 [2], 1 [1], 0 [1] after the pushes
      // of 0, 1, 2; the stable sort keeps 1 before 0 (not insertion order).
      {"equal distances keep heap storage order",
       {at(0, 1, {1, 2}), at(1, 1, {}), at(2, 2, {})}, 3, {1, 0, 2}, 3},
      // All equal: no push moves anything, so storage order is insertion
      // order, and a stable sort must keep it across its merge runs.
      {"33 equal distances stay in insertion order", star, 33, star_order, 33},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RoutingGraph g = load({row.layer}, 0, row.layer.size());
    ASSERT_TRUE(g.checkInvariants());
    TraversalScratch scratch;
    EXPECT_EQ(idsOf(routeWith(g, BitVector::zero(), row.m, scratch)), row.expected);
    EXPECT_EQ(scratch.stats().nodes_evaluated, row.evaluations);
    EXPECT_EQ(scratch.stats().layers_traversed, 1U);
  }
}

TEST(GraphSearch, GreedyDescendTieRules) {
  // Layer 1 of each graph holds the walk; layer 0 holds everything.
  struct Row {
    std::string name;
    std::vector<NodeSpec> upper;  // start node first
    std::uint64_t expected;
    std::size_t evaluations;
  };
  const std::vector<Row> rows = {
      {"no neighbours", {at(0, 5, {})}, 0, 1},
      {"an equally near neighbour does not move the walk", {at(0, 5, {1}), at(1, 5, {0})}, 0, 2},
      {"first of several equally nearer neighbours",
       {at(0, 5, {1, 2, 3}), at(1, 6, {}), at(2, 3, {}), at(3, 3, {})}, 2, 1 + 3 + 0},
      {"the pass scans the whole list against the best so far",
       {at(0, 9, {1, 2, 3}), at(1, 4, {}), at(2, 2, {}), at(3, 3, {0})}, 2, 1 + 3 + 0},
      {"walks on until no neighbour is strictly nearer",
       {at(0, 9, {1}), at(1, 6, {2, 0}), at(2, 4, {3}), at(3, 4, {})}, 2, 1 + 1 + 2 + 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LayerSpec base;
    for (std::uint64_t id = 0; id < row.upper.size(); ++id) base.push_back({id, row.upper[id].code, {}, {}});
    const RoutingGraph g = load({base, row.upper}, 0, base.size());
    ASSERT_TRUE(g.checkInvariants());
    TraversalStats stats;
    EXPECT_EQ(greedyDescend(g.layer(1), BitVector::zero(), 0, stats), row.expected);
    EXPECT_EQ(stats.nodes_evaluated, row.evaluations);
  }
}

TEST(GraphSearch, CountsEvaluationsAcrossThreeLayers) {
  // Distances to the zero query: 0 [10], 1 [8], 2 [6], 3 [4], 4 [2], 5 [1].
  const std::vector<LayerSpec> layers = {
      {at(0, 10, {1}), at(1, 8, {0, 2}), at(2, 6, {1, 3}), at(3, 4, {2, 4}), at(4, 2, {3, 5}),
       at(5, 1, {4})},
      {at(1, 8, {0, 2}), at(0, 10, {1}), at(2, 6, {1})},
      {at(0, 10, {1}), at(1, 8, {0})},
  };
  const RoutingGraph g = load(layers, 0, 6);
  ASSERT_TRUE(g.checkInvariants());
  TraversalScratch scratch;
  const auto found = routeWith(g, BitVector::zero(), 2, scratch);
  EXPECT_EQ(idsOf(found), (std::vector<std::uint64_t>{5, 4}));
  EXPECT_EQ(scratch.stats().layers_traversed, 3U);
  // Layer 2: start 0, list of 0 (1 entry), list of 1 (1) -> ends on 1.
  // Layer 1: start 1, list of 1 (2), list of 2 (1) -> ends on 2.
  // Layer 0: entry 2, then first meetings of 1, 3, 4, 5.
  EXPECT_EQ(scratch.stats().nodes_evaluated, (1 + 1 + 1) + (1 + 2 + 1) + (1 + 4));
}

TEST(GraphSearch, ConcurrentRoutesMatchSequentialOnes) {
  const RoutingGraph g = randomGraph(2000, 9);
  std::mt19937_64 rng(10);
  std::vector<BitVector> queries;
  for (int i = 0; i < 64; ++i) queries.push_back(randomCode(rng));
  std::vector<std::vector<std::uint64_t>> expected;
  TraversalScratch scratch;
  for (const BitVector& q : queries) expected.push_back(idsOf(routeWith(g, q, 40, scratch)));

  constexpr int c_threads = 4;
  std::vector<std::vector<std::vector<std::uint64_t>>> got(c_threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < c_threads; ++t) {
    threads.emplace_back([&, t] {
      TraversalScratch own;
      if (!own.ensureCapacity(g.nodeCount(), 40)) return;
      for (const BitVector& q : queries) got[t].push_back(idsOf(g.route(q, 40, own)));
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < c_threads; ++t) EXPECT_EQ(got[t], expected) << "thread " << t;
}

// ---------------------------------------------------------------------------
// Invariant checker on damaged graphs

TEST(GraphInvariants, DamagedGraphsAreCorrupt) {
  const BitVector c0 = bitsRange(0, 1), c1 = bitsRange(0, 2), c2 = bitsRange(0, 3);
  struct Row {
    std::string name;
    std::vector<LayerSpec> layers;
    std::uint64_t entry;
    std::size_t count;
    bool valid;
  };
  auto n = [](std::uint64_t id, BitVector code, std::vector<std::uint64_t> nb) {
    return NodeSpec{id, code, std::move(nb), std::nullopt};
  };
  const LayerSpec base = {n(0, c0, {1, 2}), n(1, c1, {0}), n(2, c2, {0, 1})};
  const std::vector<Row> rows = {
      {"valid two-layer graph", {base, {n(2, c2, {0}), n(0, c0, {2})}}, 2, 3, true},
      {"empty graph with empty layers", {{}, {}}, 0, 0, true},
      {"nodes counted but no layer", {}, 0, 3, false},
      {"layer 0 out of id order", {{n(1, c1, {}), n(0, c0, {}), n(2, c2, {})}}, 0, 3, false},
      {"layer 0 shorter than the count", {{n(0, c0, {}), n(1, c1, {})}}, 0, 3, false},
      {"neighbour outside the layer", {base, {n(2, c2, {1}), n(0, c0, {2})}}, 2, 3, false},
      {"neighbour beyond every node", {{n(0, c0, {7}), n(1, c1, {}), n(2, c2, {})}}, 0, 3, false},
      {"self link", {{n(0, c0, {1}), n(1, c1, {1}), n(2, c2, {})}}, 0, 3, false},
      {"duplicate neighbour", {{n(0, c0, {1, 2, 1}), n(1, c1, {}), n(2, c2, {})}}, 0, 3, false},
      {"too many edges",
       {{NodeSpec{0, c0, {1}, 33}, n(1, c1, {}), n(2, c2, {})}}, 0, 3, false},
      {"entry not in the top layer", {base, {n(2, c2, {}), n(0, c0, {})}}, 1, 3, false},
      {"entry beyond every node", {base}, 5, 3, false},
      {"upper node missing below", {base, {n(2, c2, {})}, {n(1, c1, {})}}, 1, 3, false},
      {"upper node beyond every node", {base, {n(4, c2, {})}}, 4, 3, false},
      {"id twice in a sparse layer", {base, {n(2, c2, {}), n(2, c2, {})}}, 2, 3, false},
      {"code differs between layers", {base, {n(2, c0, {})}}, 2, 3, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A damaged record is refused when it is added (layer 0 holds ids by
    // slot) or by the invariant check.
    bool refused = false;
    const RoutingGraph g = load(row.layers, row.entry, row.count, 32, &refused);
    const Status s = g.checkInvariants();
    if (row.valid) {
      EXPECT_FALSE(refused);
      EXPECT_TRUE(s);
    } else if (!refused) {
      ASSERT_FALSE(s);
      EXPECT_EQ(s.error(), Error::CorruptIndex);
    }
  }
}

// ---------------------------------------------------------------------------
// Insertion

TEST(GraphInsert, FirstNodes) {
  struct Row {
    std::string name;
    std::size_t loaded_layers;  // empty layers present before the first insertion
    std::size_t level;
    std::size_t expected_layers;
  };
  const std::vector<Row> rows = {
      {"level 2 on a fresh graph", 0, 2, 3},
      {"level 0 into three empty loaded layers", 3, 0, 3},
      {"level 4 above two empty loaded layers", 2, 4, 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RoutingGraph g = RoutingGraph::init(32);
    for (std::size_t l = 0; l < row.loaded_layers; ++l) ASSERT_TRUE(g.appendLayerForLoad());
    ASSERT_TRUE(g.insertWithLevel(0, bitsRange(0, 9), row.level));
    ASSERT_TRUE(g.checkInvariants());
    EXPECT_EQ(g.nodeCount(), 1U);
    EXPECT_EQ(g.entryId(), 0U);
    ASSERT_EQ(g.layerCount(), row.expected_layers);
    for (std::size_t l = 0; l < g.layerCount(); ++l) {
      EXPECT_EQ(g.layer(l).dense, l == 0);
      ASSERT_EQ(g.layer(l).size(), 1U);
      EXPECT_EQ(g.layer(l).idAt(0), 0U);
      EXPECT_EQ(g.layer(l).links[0].count, 0U);
    }
  }
}

TEST(GraphInsert, SecondNodeLinksBothWays) {
  RoutingGraph g = RoutingGraph::init(32);
  ASSERT_TRUE(g.insertWithLevel(0, bitsRange(0, 9), 1));
  ASSERT_TRUE(g.insertWithLevel(1, bitsRange(5, 9), 0));
  ASSERT_TRUE(g.checkInvariants());
  EXPECT_EQ(neighborsOf(g, 0, 1), (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(neighborsOf(g, 0, 0), (std::vector<std::uint64_t>{1}));
  EXPECT_TRUE(neighborsOf(g, 1, 0).empty());
  EXPECT_EQ(g.entryId(), 0U);
}

TEST(GraphInsert, EntryPointMovesOnlyAboveTheTop) {
  RoutingGraph g = randomGraph(200, 4);
  const std::size_t top = g.layerCount() - 1;
  const std::uint64_t entry = g.entryId();
  ClusteredCodes codes(16, 4);

  ASSERT_TRUE(g.insertWithLevel(200, codes.next(), top));
  EXPECT_EQ(g.entryId(), entry);
  EXPECT_EQ(g.layerCount(), top + 1);

  ASSERT_TRUE(g.insertWithLevel(201, codes.next(), top + 2));
  ASSERT_TRUE(g.checkInvariants());
  EXPECT_EQ(g.entryId(), 201U);
  ASSERT_EQ(g.layerCount(), top + 3);
  for (std::size_t l = top + 1; l <= top + 2; ++l) {
    ASSERT_EQ(g.layer(l).size(), 1U);
    EXPECT_EQ(g.layer(l).idAt(0), 201U);
    EXPECT_EQ(g.layer(l).links[0].count, 0U);
  }
  EXPECT_FALSE(neighborsOf(g, top, 201).empty());  // linked where others live

  // Invalid arguments change nothing.
  const GraphSnap before = snapshot(g);
  EXPECT_EQ(g.insertWithLevel(5, codes.next(), 0).error(), Error::Unexpected);
  EXPECT_EQ(g.insertWithLevel(202, codes.next(), 32).error(), Error::Unexpected);
  EXPECT_EQ(g.commitPlanned(202, codes.next(), InsertPlan{}).error(), Error::Unexpected);
  EXPECT_TRUE(snapshot(g) == before);
}

TEST(GraphInsert, FullListIsRebuiltByTheSelectionOverThirtyThree) {
  // A hub with a zero code lists 32 spokes, farthest first; spoke i has
  // its own run of bits, i + 5 long, so all spokes and the newcomer are
  // mutually diverse (the distance between two of them is the sum of their
  // distances to the hub). The newcomer selects the hub first, and the hub's
  // full list is rebuilt: sorted by distance, the farthest of 33 dropped.
  struct Row {
    std::string name;
    std::size_t newcomer_dist;
    std::vector<std::uint64_t> expected_hub;
  };
  std::vector<std::uint64_t> sorted_spokes, with_newcomer = {33};
  for (std::uint64_t i = 1; i <= 32; ++i) sorted_spokes.push_back(i);
  for (std::uint64_t i = 1; i <= 31; ++i) with_newcomer.push_back(i);
  const std::vector<Row> rows = {
      {"nearest newcomer displaces the farthest spoke", 3, with_newcomer},
      {"farthest newcomer is dropped, the list still reordered", 100, sorted_spokes},
      {"a tie with the farthest spoke drops the newcomer (pool order)", 37, sorted_spokes},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LayerSpec layer0;
    std::vector<std::uint64_t> hub_list;
    for (std::uint64_t i = 32; i >= 1; --i) hub_list.push_back(i);
    layer0.push_back({0, BitVector::zero(), hub_list, {}});
    for (std::uint64_t i = 1; i <= 32; ++i) layer0.push_back({i, bitsRange(40 * i, i + 5), {0}, {}});
    RoutingGraph g = load({layer0}, 0, 33, 64);
    ASSERT_TRUE(g.checkInvariants());

    ASSERT_TRUE(g.insertWithLevel(33, bitsRange(40 * 33, row.newcomer_dist), 0));
    ASSERT_TRUE(g.checkInvariants());
    EXPECT_EQ(neighborsOf(g, 0, 0), row.expected_hub);
    // A list with room gains the link at the end.
    EXPECT_EQ(neighborsOf(g, 0, 1), (std::vector<std::uint64_t>{0, 33}));
    // The newcomer: the hub, then the spokes in distance order (not diverse:
    // each is nearer to the hub than to the newcomer).
    const std::vector<std::uint64_t> newcomer = neighborsOf(g, 0, 33);
    ASSERT_EQ(newcomer.size(), 32U);
    EXPECT_EQ(newcomer[0], 0U);
    EXPECT_EQ(newcomer[1], 1U);
    EXPECT_EQ(newcomer[31], 31U);
  }
}

TEST(GraphInsert, SelectNeighbors) {
  // Node i < 40 has its own run of 40 bits, so two of them are 80 apart.
  // Nodes 40 and 41 share node 0's code; node 42 is 40 from node 0 and 80
  // from every other node.
  LayerSpec layer0;
  for (std::uint64_t i = 0; i < 40; ++i) layer0.push_back({i, bitsRange(40 * i, 40), {}, {}});
  layer0.push_back({40, bitsRange(0, 40), {}, {}});
  layer0.push_back({41, bitsRange(0, 40), {}, {}});
  BitVector near0 = bitsRange(0, 20);
  const BitVector far_bits = bitsRange(1600, 20);
  for (std::size_t w = 0; w < BitVector::c_words; ++w) near0.words[w] |= far_bits.words[w];
  layer0.push_back({42, near0, {}, {}});
  const RoutingGraph g = load({layer0}, 0, 43);
  ASSERT_TRUE(g.checkInvariants());
  const Layer& layer = g.layer(0);
  ASSERT_EQ(layer.bitsPtr(42).distance(layer.bitsPtr(0)), 40U);
  ASSERT_EQ(layer.bitsPtr(42).distance(layer.bitsPtr(1)), 80U);

  struct Row {
    std::string name;
    std::vector<Candidate> candidates;
    std::vector<std::uint64_t> expected;
  };
  std::vector<Candidate> five, forty;
  for (std::uint64_t i = 0; i < 5; ++i) five.push_back({i, static_cast<std::uint32_t>(50 + i)});
  std::vector<std::uint64_t> first32;
  for (std::uint64_t i = 0; i < 40; ++i) forty.push_back({i, static_cast<std::uint32_t>(50 + i)});
  for (std::uint64_t i = 0; i < 32; ++i) first32.push_back(i);
  const std::vector<Row> rows = {
      {"no candidates", {}, {}},
      {"five diverse candidates", five, {0, 1, 2, 3, 4}},
      {"forty candidates give 32", forty, first32},
      // The base has node 0's code: only the equal-code test stops node 40.
      {"an equal code at distance 0 goes to the fill pass", {{0, 0}, {40, 0}, {1, 40}}, {0, 1, 40}},
      {"equal codes go to the fill pass", {{0, 50}, {40, 50}, {1, 60}, {41, 70}, {2, 80}},
       {0, 1, 2, 40, 41}},
      // Node 42 lies 40 from the chosen node 0 but 60 from the base, so it
      // waits for the fill pass; node 3 is exactly as far from the chosen
      // ones as from the base, which still counts as diverse.
      {"strictly nearer to a chosen one waits for the fill pass",
       {{1, 50}, {0, 60}, {42, 60}, {2, 70}, {3, 80}}, {1, 0, 2, 3, 42}},
      {"duplicate ids are listed once", {{0, 50}, {0, 50}, {1, 60}}, {0, 1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::array<std::uint32_t, c_max_edges> out{};
    const std::uint32_t count = selectNeighbors(layer, row.candidates, out);
    EXPECT_EQ(std::vector<std::uint64_t>(out.begin(), out.begin() + count), row.expected);
  }
}

TEST(GraphInsert, PlanThenCommitEqualsInsertWithLevel) {
  ClusteredCodes codes(16, 77);
  std::vector<BitVector> extra;
  for (int i = 0; i < 8; ++i) extra.push_back(codes.next());

  RoutingGraph probe = randomGraph(600, 21);
  const std::size_t top = probe.layerCount() - 1;
  ASSERT_GE(top, 1U);
  for (std::size_t level : {std::size_t{0}, std::size_t{1}, top}) {
    if (level >= c_plan_levels) continue;
    SCOPED_TRACE(level);
    RoutingGraph direct = randomGraph(600, 21);
    RoutingGraph planned = randomGraph(600, 21);
    for (std::size_t k = 0; k < extra.size(); ++k) {
      const std::uint64_t id = direct.nodeCount();
      TraversalScratch scratch;
      ASSERT_TRUE(planned.prepareScratch(scratch));
      const InsertPlan plan = planned.planInsert(extra[k], level, scratch);
      ASSERT_TRUE(plan.planned);
      EXPECT_EQ(plan.level, level);
      ASSERT_TRUE(planned.commitPlanned(id, extra[k], plan));
      ASSERT_TRUE(direct.insertWithLevel(id, extra[k], level));
      ASSERT_TRUE(planned.checkInvariants());
      ASSERT_TRUE(snapshot(planned) == snapshot(direct));
    }
  }

  // Plans that cannot be made come back unplanned and all zero.
  TraversalScratch scratch;
  ASSERT_TRUE(probe.prepareScratch(scratch));
  const RoutingGraph empty = RoutingGraph::init(32);
  std::vector<InsertPlan> unplanned = {empty.planInsert(extra[0], 0, scratch),
                                       probe.planInsert(extra[0], top + 1, scratch),
                                       probe.planInsert(extra[0], 4, scratch)};
  TraversalScratch tiny;
  unplanned.push_back(probe.planInsert(extra[0], 0, tiny));
  for (const InsertPlan& p : unplanned) {
    EXPECT_FALSE(p.planned);
    EXPECT_EQ(p.level, 0U);
    EXPECT_EQ(p.links, (decltype(p.links){}));
  }
}

TEST(GraphInsert, RandomizedMixKeepsInvariants) {
  RoutingGraph g = RoutingGraph::init(40);
  ClusteredCodes codes(8, 123);
  std::mt19937_64 rng(321);
  std::vector<TraversalScratch> scratches(3);
  std::size_t planned_commits = 0;
  while (g.nodeCount() < 1500) {
    const std::uint64_t mode = rng() % 3;
    if (mode == 0) {
      ASSERT_TRUE(g.insert(g.nodeCount(), codes.next()));
    } else if (mode == 1) {
      ASSERT_TRUE(g.insertWithLevel(g.nodeCount(), codes.next(), g.drawLevel()));
    } else {
      // A chunk planned against the graph as it stands, committed in order;
      // what could not be planned is inserted directly.
      const std::size_t chunk = 1 + rng() % 6;
      std::vector<BitVector> chunk_codes;
      std::vector<std::size_t> levels;
      std::vector<InsertPlan> plans;
      for (std::size_t i = 0; i < chunk; ++i) {
        chunk_codes.push_back(codes.next());
        levels.push_back(g.drawLevel());
        TraversalScratch& s = scratches[i % scratches.size()];
        ASSERT_TRUE(g.prepareScratch(s));
        plans.push_back(g.planInsert(chunk_codes[i], levels[i], s));
      }
      for (std::size_t i = 0; i < chunk; ++i) {
        if (plans[i].planned) {
          ASSERT_TRUE(g.commitPlanned(g.nodeCount(), chunk_codes[i], plans[i]));
          ++planned_commits;
        } else {
          ASSERT_TRUE(g.insertWithLevel(g.nodeCount(), chunk_codes[i], levels[i]));
        }
        ASSERT_TRUE(g.checkInvariants()) << "after node " << g.nodeCount();
      }
      continue;
    }
    ASSERT_TRUE(g.checkInvariants()) << "after node " << g.nodeCount();
  }
  EXPECT_GT(planned_commits, 100U);
  EXPECT_GE(g.layerCount(), 2U);
}

// Runs `op` with the 0th, 1st, 2nd, ... allocation failing until it
// succeeds; after each failure the graph must equal its earlier snapshot
// and pass the invariant check. Returns the number of failed attempts.
template <class Op>
long failEachAllocationUntilSuccess(RoutingGraph& g, Op op) {
  const GraphSnap before = snapshot(g);
  for (long n = 0; n < 10'000; ++n) {
    Status s;
    {
      FailNthAllocation fail(n);
      s = op();
    }
    if (s) return n;
    EXPECT_EQ(s.error(), Error::OutOfMemory);
    EXPECT_TRUE(snapshot(g) == before) << "after failing allocation " << n;
    EXPECT_TRUE(g.checkInvariants());
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "never succeeded";
  return -1;
}

TEST(GraphInsert, InjectedAllocationFailureLeavesNoTrace) {
  ClusteredCodes codes(8, 55);
  struct Row {
    std::string name;
    std::size_t initial_nodes;
    int kind;  // 0 insert, 1 insertWithLevel at top + extra, 2 commitPlanned
    std::size_t extra_levels;
  };
  const std::vector<Row> rows = {
      {"insert into an empty graph", 0, 0, 0},
      {"first node with new layers", 0, 1, 3},
      {"insert", 300, 0, 0},
      {"insertWithLevel creating two layers", 300, 1, 2},
      {"insertWithLevel at the top", 300, 1, 0},
      {"commitPlanned", 300, 2, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RoutingGraph g = randomGraph(row.initial_nodes, 31);
    for (int round = 0; round < 3; ++round) {
      const BitVector code = codes.next();
      const std::uint64_t id = g.nodeCount();
      long failures = 0;
      if (row.kind == 0) {
        failures = failEachAllocationUntilSuccess(g, [&] { return g.insert(id, code); });
      } else if (row.kind == 1) {
        const std::size_t level = (g.layerCount() == 0 ? 0 : g.layerCount() - 1) + row.extra_levels;
        failures = failEachAllocationUntilSuccess(g, [&] { return g.insertWithLevel(id, code, level); });
      } else {
        TraversalScratch scratch;
        ASSERT_TRUE(g.prepareScratch(scratch));
        const InsertPlan plan = g.planInsert(code, 0, scratch);
        ASSERT_TRUE(plan.planned);
        failures = failEachAllocationUntilSuccess(g, [&] { return g.commitPlanned(id, code, plan); });
      }
      ASSERT_FALSE(::testing::Test::HasFailure());
      ASSERT_EQ(g.nodeCount(), id + 1);
      ASSERT_TRUE(g.checkInvariants());
      // Round 0 grows every container the insertion touches.
      if (round == 0 && row.kind != 2) {
        EXPECT_GE(failures, 1);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Quality

// Recall@10 with ties counted fairly: a returned node counts when its
// distance is at most the 10th smallest true distance.
TEST(GraphQuality, RecallOfClusteredCodes) {
  constexpr std::size_t c_nodes = 20'000;
  constexpr std::size_t c_queries = 200;
  constexpr std::size_t c_k = 10;
  ClusteredCodes codes(50, 2000, 0.15, 0.10, 2024);
  std::vector<BitVector> base;
  RoutingGraph g = RoutingGraph::init(64);
  for (std::size_t i = 0; i < c_nodes; ++i) {
    base.push_back(codes.next());
    ASSERT_TRUE(g.insert(i, base.back()));
  }
  ASSERT_TRUE(g.checkInvariants());

  std::vector<BitVector> queries;
  std::vector<std::uint32_t> kth;
  for (std::size_t q = 0; q < c_queries; ++q) {
    queries.push_back(codes.next());
    std::vector<std::uint32_t> d;
    for (const BitVector& b : base) d.push_back(queries.back().distance(b));
    std::nth_element(d.begin(), d.begin() + (c_k - 1), d.end());
    kth.push_back(d[c_k - 1]);
  }

  TraversalScratch scratch;
  for (std::size_t m : {64, 256}) {
    std::size_t hits = 0;
    for (std::size_t q = 0; q < c_queries; ++q) {
      const auto found = routeWith(g, queries[q], m, scratch);
      ASSERT_EQ(found.size(), m);
      std::size_t h = 0;
      for (std::size_t i = 0; i < c_k; ++i) h += found[i].dist <= kth[q] ? 1 : 0;
      hits += h;
    }
    const double recall = static_cast<double>(hits) / (c_queries * c_k);
    RecordProperty("recall_m" + std::to_string(m), std::to_string(recall));
    // Measured 0.999 (m = 64) and 0.999 (m = 256) with these codes
    // (reported as test properties). Choosing the 32 nearest candidates
    // without the diversity rule gives about 0.75 on codes like these, and a
    // graph without back links next to nothing.
    EXPECT_GE(recall, m == 64 ? 0.95 : 0.97) << "m = " << m;
  }
}

}  // namespace
}  // namespace korvane
