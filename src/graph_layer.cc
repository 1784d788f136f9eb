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
  if (nodes.size() >= c_max_layer_nodes) return std::unexpected(Error::OutOfMemory);
  if (auto s = tryReserveMore(nodes, 1); !s) return s;
  if (auto s = tryReserveMore(bit_vectors, 1); !s) return s;
  if (!dense) {
    if (auto s = slot_by_id.reserve(slot_by_id.size() + 1); !s) return s;
  }
  return ok();
}

void Layer::addNodeReserved(const GraphNode& node) noexcept {
  const auto slot = static_cast<std::uint32_t>(nodes.size());
  nodes.push_back(node);
  bit_vectors.push_back(node.bit_vector);
  if (!dense) slot_by_id.insertReserved(node.id, slot);
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
  return layers_[layer_idx].addNode(node);
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
  if (!base.dense || !base.slot_by_id.empty()) return corrupt();
  if (base.nodes.size() != node_count_) return corrupt();

  for (std::size_t k = 0; k < layers_.size(); ++k) {
    const Layer& layer = layers_[k];
    if (k > 0 && layer.dense) return corrupt();
    if (layer.nodes.size() >= c_max_layer_nodes) return corrupt();
    if (layer.bit_vectors.size() != layer.nodes.size()) return corrupt();
    if (!layer.dense && layer.slot_by_id.size() != layer.nodes.size()) return corrupt();

    for (std::size_t s = 0; s < layer.nodes.size(); ++s) {
      const GraphNode& node = layer.nodes[s];
      if (layer.bit_vectors[s] != node.bit_vector) return corrupt();
      if (layer.dense) {
        if (node.id != s) return corrupt();
      } else {
        // With as many map entries as records and every record found at its
        // own slot, the map holds exactly the layer's ids, each once.
        const std::uint32_t* slot = layer.slot_by_id.find(node.id);
        if (slot == nullptr || *slot != s) return corrupt();
        const Layer& below = layers_[k - 1];
        if (!below.contains(node.id)) return corrupt();
        if (below.bitsPtr(node.id) != node.bit_vector) return corrupt();
      }

      if (node.edge_count > c_max_edges) return corrupt();
      std::array<std::uint64_t, c_max_edges> sorted{};
      for (std::uint32_t e = 0; e < node.edge_count; ++e) {
        const std::uint64_t nb = node.neighbors[e];
        if (nb == node.id || !layer.contains(nb)) return corrupt();
        sorted[e] = nb;
      }
      std::sort(sorted.begin(), sorted.begin() + node.edge_count);
      if (std::adjacent_find(sorted.begin(), sorted.begin() + node.edge_count) !=
          sorted.begin() + node.edge_count) {
        return corrupt();
      }
    }
  }

  if (node_count_ > 0 && !layers_.back().contains(entry_id_)) return corrupt();
  return ok();
}

}  // namespace korvane
