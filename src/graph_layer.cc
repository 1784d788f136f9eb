// Layer records, traversal scratch, graph lifecycle, level drawing, loading
// and the invariant check.
#include <algorithm>
#include <cmath>
#include <utility>

#include "graph.h"

namespace korvane {

namespace {

// A layer addresses its records with 32-bit slots.
constexpr std::size_t c_max_layer_nodes = std::size_t{1} << 32;

}  // namespace

// ---------------------------------------------------------------------------
// Layer

Status Layer::reserveOne() noexcept {
  // One node short of 2^32: slots, node ids and neighbour ids all fit u32.
  if (links.size() >= c_max_layer_nodes - 1) return std::unexpected(Error::OutOfMemory);
  if (auto s = tryReserveMore(links, 1); !s) return s;
  if (auto s = tryReserveMore(bit_vectors, 1); !s) return s;
  if (!dense) {
    if (auto s = tryReserveMore(ids, 1); !s) return s;
    if (auto s = slot_by_id.reserve(slot_by_id.size() + 1); !s) return s;
  }
  return ok();
}

void Layer::addNodeReserved(const GraphNode& node) noexcept {
  const auto slot = static_cast<std::uint32_t>(links.size());
  links.push_back(node.links);
  bit_vectors.push_back(node.bit_vector);
  if (!dense) {
    ids.push_back(static_cast<std::uint32_t>(node.id));
    slot_by_id.insertReserved(node.id, slot);
  }
}

Status Layer::addNode(const GraphNode& node) noexcept {
  if (auto s = reserveOne(); !s) return s;
  addNodeReserved(node);
  return ok();
}

// ---------------------------------------------------------------------------
// TraversalScratch

Status TraversalScratch::ensureCapacity(std::size_t node_count, std::size_t ef) noexcept {
  if (visited_.size() < node_count) {
    if (auto s = visited_.resize(node_count); !s) return s;
  }
  // The old buffer goes first so that the peak stays at one buffer; after a
  // failed allocation the member is empty and owns nothing.
  if (cand_buf_.size() < node_count) {
    cand_buf_.release();
    auto grown = Buffer<Candidate>::make(node_count);
    if (!grown) return std::unexpected(grown.error());
    cand_buf_ = std::move(*grown);
  }
  if (result_buf_.size() < ef) {
    result_buf_.release();
    auto grown = Buffer<Candidate>::make(ef);
    if (!grown) return std::unexpected(grown.error());
    result_buf_ = std::move(*grown);
  }
  return ok();
}

// ---------------------------------------------------------------------------
// RoutingGraph: lifecycle and levels

Xoshiro256pp RoutingGraph::initialLevelRng() noexcept {
  // Fixed for every graph, independent of the index seed; a loaded graph
  // starts from here again.
  return Xoshiro256pp{{0x6e789e6aa1b965f4ULL, 0x6c45d188009454fULL, 0xf88bb8a8724c81ecULL,
                       0x1b39896a51a8749bULL}};
}

RoutingGraph RoutingGraph::init(std::size_t ef_construction) noexcept {
  RoutingGraph g;
  g.ef_construction_ = std::max(ef_construction, c_min_ef_construction);
  g.level_rng_ = initialLevelRng();
  return g;
}

std::size_t drawLevel(Xoshiro256pp& rng) noexcept {
  const double f = uniformDouble(rng);
  const double u = 1.0 - f;  // (0, 1]: the logarithm stays finite
  // -ln(u) / ln(32), written as one product with a constant so that every
  // build rounds identically.
  const double scaled = std::log(u) * c_level_factor;
  const auto level = static_cast<std::size_t>(scaled);  // truncation toward zero
  return std::min(level, c_max_level);
}

std::size_t RoutingGraph::drawLevel() noexcept { return korvane::drawLevel(level_rng_); }

std::size_t RoutingGraph::memoryBytes() const noexcept {
  std::size_t bytes = layers_.capacity() * sizeof(Layer) + build_scratch_.memoryBytes();
  for (const Layer& layer : layers_) bytes += layer.memoryBytes();
  return bytes;
}

std::size_t RoutingGraph::beamFor(std::size_t ef) const noexcept {
  return std::min(ef, node_count_ + 1);
}

Status RoutingGraph::prepareScratch(TraversalScratch& scratch) const noexcept {
  return scratch.ensureCapacity(node_count_ + 1, beamFor(ef_construction_));
}

Status RoutingGraph::ensureLayerCount(std::size_t count) noexcept {
  if (layers_.size() >= count) return ok();
  if (auto s = tryReserve(layers_, count); !s) return s;
  while (layers_.size() < count) {
    Layer fresh;
    fresh.dense = layers_.empty();
    layers_.push_back(std::move(fresh));  // capacity reserved: cannot throw
  }
  return ok();
}

// ---------------------------------------------------------------------------
// Loading

Status RoutingGraph::appendLayerForLoad() noexcept { return ensureLayerCount(layers_.size() + 1); }

Status RoutingGraph::appendNodeForLoad(std::size_t layer_idx, const GraphNode& node) noexcept {
  if (layer_idx >= layers_.size()) return std::unexpected(Error::CorruptIndex);
  Layer& layer = layers_[layer_idx];
  // A dense layer holds node i at slot i and keeps no ids; ids beyond 32
  // bits cannot be a node's.
  if (layer.dense ? node.id != layer.size() : node.id >= c_max_layer_nodes - 1) {
    return std::unexpected(Error::CorruptIndex);
  }
  return layer.addNode(node);
}

void RoutingGraph::finishLoad(std::uint64_t entry_id, std::size_t node_count) noexcept {
  entry_id_ = entry_id;
  node_count_ = node_count;
}

// ---------------------------------------------------------------------------
// Invariants

Status RoutingGraph::checkInvariants() const noexcept {
  const auto corrupt = [] { return std::unexpected(Error::CorruptIndex); };

  if (ef_construction_ < c_min_ef_construction) return corrupt();
  if (layers_.empty()) {
    if (node_count_ != 0) return corrupt();
    return ok();
  }

  const Layer& base = layers_[0];
  if (!base.dense || !base.slot_by_id.empty() || !base.ids.empty()) return corrupt();
  if (base.size() != node_count_) return corrupt();

  for (std::size_t k = 0; k < layers_.size(); ++k) {
    const Layer& layer = layers_[k];
    if (k > 0 && layer.dense) return corrupt();
    if (layer.size() >= c_max_layer_nodes) return corrupt();
    if (layer.bit_vectors.size() != layer.size()) return corrupt();
    if (!layer.dense && (layer.slot_by_id.size() != layer.size() || layer.ids.size() != layer.size())) {
      return corrupt();
    }

    for (std::size_t s = 0; s < layer.size(); ++s) {
      const std::uint64_t id = layer.idAt(s);
      if (!layer.dense) {
        // With as many map entries as records and every record found at its
        // own slot, the map holds exactly the layer's ids, each once.
        const std::uint32_t* slot = layer.slot_by_id.find(id);
        if (slot == nullptr || *slot != s) return corrupt();
        const Layer& below = layers_[k - 1];
        if (!below.contains(id)) return corrupt();
        if (below.bitsPtr(id) != layer.bit_vectors[s]) return corrupt();
      }

      const NodeLinks& links = layer.links[s];
      if (links.count > c_max_edges) return corrupt();
      std::array<std::uint32_t, c_max_edges> sorted{};
      for (std::uint32_t e = 0; e < links.count; ++e) {
        const std::uint32_t nb = links.ids[e];
        if (nb == id || !layer.contains(nb)) return corrupt();
        sorted[e] = nb;
      }
      std::sort(sorted.begin(), sorted.begin() + links.count);
      if (std::adjacent_find(sorted.begin(), sorted.begin() + links.count) !=
          sorted.begin() + links.count) {
        return corrupt();
      }
    }
  }

  if (node_count_ > 0 && !layers_.back().contains(entry_id_)) return corrupt();
  return ok();
}

}  // namespace korvane
