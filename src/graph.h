// graph: the layered proximity graph over routing codes that every search
// walks and every insertion links into, and the scratch memory of one
// traversal.
//
// Memory layout:
//
//   RoutingGraph
//     layers[0]            dense: node id i sits at slot i; holds every node
//       bit_vectors[slot]  its code, contiguous and 64-byte aligned (6 cache
//                          lines each): what a search reads distances from
//                          and prefetches; each code is stored once per layer
//       links[slot]        NodeLinks {32 neighbour ids as u32, count}: 132
//                          bytes, two or three cache lines
//       ids                empty (the id is the slot)
//       slot_by_id         empty
//     layers[1 ..]         sparse, geometrically shrinking subsets: ids[slot]
//                          names the node, slot_by_id (u64 -> u32) finds it
//     entry_id             a node of the top layer where every walk starts
//     build_scratch        working memory of one-at-a-time insertion
//
//   A node present in several layers has one record per layer, each with its
//   own neighbour list. Edges are directed.
//
// Invariants (checkInvariants verifies all of them):
//   1. Layer 0 holds exactly the ids 0 .. node_count - 1, id i at slot i.
//   2. node_count > 0 implies at least one layer; only layer 0 is dense.
//   3. In every layer bit_vectors, links (and, sparse, ids) have one entry
//      per slot.
//   4. A sparse layer's slot_by_id maps each of its ids to its slot and holds
//      nothing else; no layer holds an id twice; a layer holds < 2^32 nodes
//      (so node ids, and neighbour ids, fit 32 bits).
//   5. A node of layer k is a node of every layer below k, with the same code.
//   6. A node's neighbours are nodes of the same layer, never the node
//      itself, each listed once; edge_count <= 32.
//   7. node_count > 0 implies entry_id is a node of the top layer.
//   8. ef_construction >= 32.
//
// Thread safety: route and planInsert (and the free traversal functions)
// only read the graph; any number of threads may run them at once, each
// with its own TraversalScratch, while no thread modifies the graph. Every
// other non-const operation needs exclusive access. The graph takes no lock.
//
// Allocation: route, planInsert, greedyDescend, searchLayer,
// selectNeighbors and linkBack never allocate. Insertions are all or
// nothing: every container they will touch is reserved before the first
// change, so an OutOfMemory leaves the graph exactly as it was, level
// generator included.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "bit_set.h"
#include "bitvec.h"
#include "hash_map.h"
#include "heap.h"
#include "alloc.h"
#include "buffer.h"
#include "constants.h"
#include "error.h"
#include "random.h"

namespace korvane {

// Highest level a node can have; a graph never has more than 32 layers.
inline constexpr std::size_t c_max_level = 31;
// -1 / ln(32) as the double nearest -0.28853900817779266: a level is
// trunc(ln(u) * c_level_factor).
inline constexpr double c_level_factor = -0.28853900817779266;
// Insertion searches never use a narrower beam than this.
inline constexpr std::size_t c_min_ef_construction = 32;
// Levels 0 .. c_plan_levels - 1 can be planned ahead of insertion.
inline constexpr std::size_t c_plan_levels = 4;

// Diagnostic counters of the last traversal. Nothing in the system reads
// them back; tests and benchmarks do.
struct TraversalStats {
  // Number of layers when the last routed search began.
  std::size_t layers_traversed = 0;
  // Node distance evaluations counted since then.
  std::size_t nodes_evaluated = 0;
};

// The out-links of one node in one layer: the first `count` entries of
// `ids` are its neighbours' node ids. A fresh record has 32 zero entries and
// count 0.
struct NodeLinks {
  std::array<std::uint32_t, c_max_edges> ids;
  std::uint32_t count;

  std::span<const std::uint32_t> neighbors() const noexcept {
    return {ids.data(), count < c_max_edges ? count : c_max_edges};
  }
  friend bool operator==(const NodeLinks&, const NodeLinks&) = default;
};

// One node of one layer as a whole: what a file stores and a loader adds.
struct GraphNode {
  std::uint64_t id;
  BitVector bit_vector;
  NodeLinks links;

  static GraphNode fresh(std::uint64_t id, const BitVector& code) noexcept {
    return GraphNode{id, code, NodeLinks{{}, 0}};
  }
};

// Allocator for the code array of a layer: 64-byte alignment puts every
// 384-byte code on exactly six cache lines. Goes through the global
// operator new like any container allocation.
template <class T>
struct CacheAlignedAllocator {
  using value_type = T;
  static constexpr std::align_val_t c_alignment{64};

  CacheAlignedAllocator() noexcept = default;
  template <class U>
  CacheAlignedAllocator(const CacheAlignedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(::operator new(n * sizeof(T), c_alignment));
  }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, c_alignment); }

  template <class U>
  bool operator==(const CacheAlignedAllocator<U>&) const noexcept {
    return true;
  }
};

// One level of the graph. A node's slot indexes its code in `bit_vectors`,
// its links in `links` and, in a sparse layer, its id in `ids`.
//
// Lookups take an id the layer holds (precondition): a dense layer uses the
// id as the slot, a sparse one asks slot_by_id, where an absent id yields
// slot 0. References stay valid until the next append to the layer.
struct Layer {
  std::vector<BitVector, CacheAlignedAllocator<BitVector>> bit_vectors;
  std::vector<NodeLinks> links;
  std::vector<std::uint32_t> ids;     // sparse layers only
  HashMap<std::uint32_t> slot_by_id;  // sparse layers only
  bool dense = false;

  std::size_t size() const noexcept { return links.size(); }
  // Bytes the layer's arrays and map hold.
  std::size_t memoryBytes() const noexcept {
    return bit_vectors.capacity() * sizeof(BitVector) + links.capacity() * sizeof(NodeLinks) +
           ids.capacity() * sizeof(std::uint32_t) + slot_by_id.memoryBytes();
  }

  // Whether the layer holds `id`; unlike the lookups, valid for any id.
  bool contains(std::uint64_t id) const noexcept {
    return dense ? id < links.size() : slot_by_id.contains(id);
  }
  // The node id at `slot` (< size()).
  std::uint64_t idAt(std::size_t slot) const noexcept { return dense ? slot : ids[slot]; }
  // The node at `slot` as a whole record.
  GraphNode record(std::size_t slot) const noexcept {
    return GraphNode{idAt(slot), bit_vectors[slot], links[slot]};
  }

  std::uint32_t slotOf(std::uint64_t id) const noexcept {
    if (dense) return static_cast<std::uint32_t>(id);
    const std::uint32_t* slot = slot_by_id.find(id);
    return slot != nullptr ? *slot : 0;
  }
  const NodeLinks& linksOf(std::uint64_t id) const noexcept { return links[slotOf(id)]; }
  NodeLinks& linksOfMut(std::uint64_t id) noexcept { return links[slotOf(id)]; }
  const BitVector& bitsPtr(std::uint64_t id) const noexcept { return bit_vectors[slotOf(id)]; }

  // Makes sure one more record can be appended by addNodeReserved without
  // allocating. OutOfMemory leaves the layer's contents unchanged.
  [[nodiscard]] Status reserveOne() noexcept;
  // Appends `node` at slot size(); in a sparse layer maps node.id to that
  // slot (overwriting an earlier entry). Preconditions: reserveOne
  // succeeded since the last append; node.id and its neighbours are below
  // 2^32. Checks no duplicate and, in a dense layer, no id order: both are
  // the caller's duty.
  void addNodeReserved(const GraphNode& node) noexcept;
  // reserveOne, then addNodeReserved: the three containers stay consistent
  // when it fails.
  [[nodiscard]] Status addNode(const GraphNode& node) noexcept;
};

// Reusable working memory of one traversal at a time: the visited marks
// (one bit per internal node id, on every layer), the storage of the
// candidate queue and the storage of the result set. Move-only; the empty
// value owns nothing. Grown by ensureCapacity, never shrunk.
class TraversalScratch {
 public:
  TraversalScratch() noexcept = default;
  TraversalScratch(const TraversalScratch&) = delete;
  TraversalScratch& operator=(const TraversalScratch&) = delete;
  TraversalScratch(TraversalScratch&&) noexcept = default;
  TraversalScratch& operator=(TraversalScratch&&) noexcept = default;
  ~TraversalScratch() = default;

  // Grows each part independently to exactly what is asked when it is
  // smaller: `node_count` visited bits, `node_count` queue entries, `ef`
  // result entries. Contents are not kept. OutOfMemory leaves the scratch
  // safe to release and to grow again (a buffer is released before its
  // replacement is allocated, never twice).
  [[nodiscard]] Status ensureCapacity(std::size_t node_count, std::size_t ef) noexcept;

  const TraversalStats& stats() const noexcept { return stats_; }
  std::size_t visitedBits() const noexcept { return visited_.size(); }
  std::size_t candidateCapacity() const noexcept { return cand_buf_.size(); }
  std::size_t resultCapacity() const noexcept { return result_buf_.size(); }

  // Whether a graph search over `node_count` nodes with result sets of up
  // to `ef` entries fits.
  std::size_t memoryBytes() const noexcept {
    return visited_.memoryBytes() + (cand_buf_.size() + result_buf_.size()) * sizeof(Candidate);
  }

  bool fits(std::size_t node_count, std::size_t ef) const noexcept {
    return visited_.size() >= node_count && cand_buf_.size() >= node_count &&
           result_buf_.size() >= ef;
  }

 private:
  friend class RoutingGraph;
  friend std::span<const Candidate> searchLayer(const Layer&, const BitVector&, std::uint64_t,
                                                std::size_t, TraversalScratch&) noexcept;

  BitSet visited_;
  Buffer<Candidate> cand_buf_;
  Buffer<Candidate> result_buf_;
  TraversalStats stats_;
};

// The precomputed links of one node for levels 0 .. 3. The all-zero value
// is the unplanned plan.
struct InsertPlan {
  std::size_t level = 0;
  std::array<NodeLinks, c_plan_levels> links{};
  bool planned = false;
};

// Traversal steps. They read the layer only and allocate nothing.

// Greedy walk from `start_id` (a node of the layer): each pass scans the
// whole list of the node it started from and moves to the first strictly
// nearer neighbour of smallest distance; stops when none is strictly
// nearer. Counts the start node and every scanned list in full.
std::uint64_t greedyDescend(const Layer& layer, const BitVector& query, std::uint64_t start_id,
                            TraversalStats& stats) noexcept;

// Best-first beam search of width min(ef, layer size) from `entry_id` (a node
// of the layer). Returns up to that many nodes, nearest first (stable on
// ties), as a range of the scratch's result storage, valid until the next
// traversal with this scratch. An empty layer or ef = 0 gives an empty range.
// Precondition: the scratch fits the graph the layer belongs to (visited
// bits and queue entries for every node id, result entries for the beam).
std::span<const Candidate> searchLayer(const Layer& layer, const BitVector& query,
                                       std::uint64_t entry_id, std::size_t ef,
                                       TraversalScratch& scratch) noexcept;

// The diversity rule. `candidates` are sorted by ascending distance to the
// base node. A candidate is taken in the first pass unless it lies strictly
// nearer to an already chosen one than to the base, or has exactly its code;
// a second pass tops the list up with the skipped ones in order. Returns the
// count written to `out`, min(32, distinct candidate ids).
std::uint32_t selectNeighbors(const Layer& layer, std::span<const Candidate> candidates,
                              std::array<std::uint32_t, c_max_edges>& out) noexcept;

// Adds the edge from_id -> to_id. A list with room gets it at the end; a
// full one is rebuilt by selectNeighbors over its 32 neighbours and to_id,
// which drops exactly one of the 33 (possibly to_id). Both ids are nodes of
// the layer.
void linkBack(Layer& layer, std::uint64_t from_id, std::uint64_t to_id) noexcept;

// Draws one level, 0 .. 31, from `rng`: with u = 1 − uniformDouble(rng) in
// (0, 1], the level is trunc(ln(u) * c_level_factor), capped at 31, so a
// node reaches level L or more with probability 32^-L.
std::size_t drawLevel(Xoshiro256pp& rng) noexcept;

// The layered graph. Move-only; fields are private so that the invariants
// above hold between calls.
class RoutingGraph {
 public:
  // An empty graph: no layers, entry_id 0, node_count 0, ef_construction =
  // max(ef_construction, 32), the level generator in its fixed initial
  // state. Allocates nothing.
  static RoutingGraph init(std::size_t ef_construction) noexcept;

  RoutingGraph(const RoutingGraph&) = delete;
  RoutingGraph& operator=(const RoutingGraph&) = delete;
  RoutingGraph(RoutingGraph&&) noexcept = default;
  RoutingGraph& operator=(RoutingGraph&&) noexcept = default;
  ~RoutingGraph() = default;

  std::size_t nodeCount() const noexcept { return node_count_; }
  std::uint64_t entryId() const noexcept { return entry_id_; }
  std::size_t efConstruction() const noexcept { return ef_construction_; }
  std::size_t layerCount() const noexcept { return layers_.size(); }
  // Precondition: i < layerCount().
  const Layer& layer(std::size_t i) const noexcept { return layers_[i]; }
  const TraversalScratch& buildScratch() const noexcept { return build_scratch_; }
  // Bytes the layers and the build scratch hold.
  std::size_t memoryBytes() const noexcept;

  // The beam width a search over the current graph needs room for when its
  // requested width is `ef`: min(ef, node count + 1). An insertion search
  // never holds more nodes than one layer has.
  std::size_t beamFor(std::size_t ef) const noexcept;

  // Grows `scratch` for planInsert on this graph: node count + 1 nodes and
  // a beam of beamFor(ef_construction). OutOfMemory as ensureCapacity.
  [[nodiscard]] Status prepareScratch(TraversalScratch& scratch) const noexcept;

  // Up to min(m, node count) nodes near `query`, nearest first: a greedy
  // descent through the upper layers, then a beam of that width on layer 0.
  // An empty graph or m = 0 gives an empty range and leaves the counters
  // alone; otherwise the counters restart. The range lies in the scratch and
  // is valid until its next traversal. Precondition:
  // scratch.ensureCapacity(nodeCount(), m) since the graph last grew; a
  // scratch that does not fit yields an empty range.
  std::span<const Candidate> route(const BitVector& query, std::size_t m,
                                   TraversalScratch& scratch) const noexcept;

  // Draws the level (advancing the generator) and inserts as
  // insertWithLevel. On failure the generator is restored as well.
  [[nodiscard]] Status insert(std::uint64_t id, const BitVector& code) noexcept;

  // Links node `id` with `code` into layers 0 .. level (creating layers
  // above the top as needed; a node above the top becomes the entry point).
  // Preconditions: id == nodeCount(), level <= 31; a violation yields
  // Error::Unexpected and changes nothing. OutOfMemory changes nothing.
  [[nodiscard]] Status insertWithLevel(std::uint64_t id, const BitVector& code,
                                       std::size_t level) noexcept;

  // Searches out the links `code` would get at `level` against the graph as
  // it stands, without changing it. Unplanned (all zero) on an empty graph,
  // for a level above the top layer index or of 4 or more, and when the
  // scratch does not fit (see prepareScratch).
  InsertPlan planInsert(const BitVector& code, std::size_t level,
                        TraversalScratch& scratch) const noexcept;

  // Adds node `id` with the planned lists and their back links. No search,
  // no new layer, no change of the entry point. Preconditions: id ==
  // nodeCount(), plan planned by planInsert on this graph (possibly before
  // later insertions); a plan that is not planned or does not fit the
  // graph yields Error::Unexpected and changes nothing. OutOfMemory changes
  // nothing.
  [[nodiscard]] Status commitPlanned(std::uint64_t id, const BitVector& code,
                                     const InsertPlan& plan) noexcept;

  // Draws one level, 0 .. 31; a node reaches level L or more with
  // probability 32^-L. Advances the generator.
  std::size_t drawLevel() noexcept;
  std::array<std::uint64_t, 4> levelRngState() const noexcept { return level_rng_.s; }
  // The level generator, for callers that draw levels ahead and give back
  // the ones they did not use (batch insertion).
  const Xoshiro256pp& levelRng() const noexcept { return level_rng_; }
  void setLevelRng(const Xoshiro256pp& rng) noexcept { level_rng_ = rng; }

  // Loading: start from init(stored ef), append every stored layer in order,
  // then each layer's records in slot order, then finishLoad; finally
  // checkInvariants. The layers' code arrays and slot maps are rebuilt here.
  [[nodiscard]] Status appendLayerForLoad() noexcept;
  // CorruptIndex when layer_idx is not an existing layer, or when the
  // record's id is not its slot in the dense layer 0 (or beyond 32 bits).
  [[nodiscard]] Status appendNodeForLoad(std::size_t layer_idx, const GraphNode& node) noexcept;
  void finishLoad(std::uint64_t entry_id, std::size_t node_count) noexcept;

  // Verifies every invariant listed at the top of this header; CorruptIndex
  // on the first violation. Reads nothing outside the graph's structures,
  // whatever their contents.
  [[nodiscard]] Status checkInvariants() const noexcept;

 private:
  RoutingGraph() noexcept = default;

  static Xoshiro256pp initialLevelRng() noexcept;
  // Appends empty layers until there are `count`; the first ever is dense.
  [[nodiscard]] Status ensureLayerCount(std::size_t count) noexcept;
  // Reserves layer-list room and every touched layer for a node in layers
  // 0 .. level; prepares the layers to be appended in `fresh_layers`.
  [[nodiscard]] Status reserveForInsert(std::size_t level, std::vector<Layer>& fresh_layers) noexcept;

  std::vector<Layer> layers_;
  std::uint64_t entry_id_ = 0;
  std::size_t node_count_ = 0;
  std::size_t ef_construction_ = c_min_ef_construction;
  Xoshiro256pp level_rng_{};
  TraversalScratch build_scratch_;
};

}  // namespace korvane
