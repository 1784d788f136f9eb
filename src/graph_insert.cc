// Graph insertion: neighbour selection, back links, one-at-a-time insertion
// and the plan/commit pair of batch insertion.
#include <algorithm>
#include <utility>

#include "graph.h"

namespace korvane {

namespace {

bool listContains(const std::array<std::uint32_t, c_max_edges>& list, std::uint32_t count,
                  std::uint64_t id) noexcept {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (list[i] == id) return true;
  }
  return false;
}

}  // namespace

std::uint32_t selectNeighbors(const Layer& layer, std::span<const Candidate> candidates,
                              std::array<std::uint32_t, c_max_edges>& out) noexcept {
  std::uint32_t count = 0;
  std::array<const BitVector*, c_max_edges> chosen_codes;

  // Diversity pass: skip a candidate that lies strictly nearer to a chosen
  // neighbour than to the base, or duplicates a chosen neighbour's code.
  for (const Candidate& c : candidates) {
    if (count == c_max_edges) return count;
    const BitVector& code = layer.bitsPtr(c.id);
    bool diverse = true;
    for (std::uint32_t s = 0; s < count; ++s) {
      const std::uint32_t d = code.distance(*chosen_codes[s]);
      if (d < c.dist || d == 0) {
        diverse = false;
        break;
      }
    }
    if (diverse) {
      out[count] = static_cast<std::uint32_t>(c.id);
      chosen_codes[count] = &code;
      ++count;
    }
  }
  // Fill pass: top up with the skipped candidates, still nearest first.
  for (const Candidate& c : candidates) {
    if (count == c_max_edges) break;
    if (!listContains(out, count, c.id)) out[count++] = static_cast<std::uint32_t>(c.id);
  }
  return count;
}

void linkBack(Layer& layer, std::uint64_t from_id, std::uint64_t to_id) noexcept {
  const std::uint32_t slot = layer.slotOf(from_id);
  NodeLinks& from = layer.links[slot];
  if (from.count < c_max_edges) {
    // to_id was just added to the layer, so it cannot be listed already.
    from.ids[from.count++] = static_cast<std::uint32_t>(to_id);
    return;
  }

  // Full list: choose 32 of the old neighbours plus to_id by the same rule
  // as a new node's list, with from as the base.
  const BitVector& from_code = layer.bit_vectors[slot];
  std::array<Candidate, c_max_edges + 1> pool;
  for (std::size_t i = 0; i < c_max_edges; ++i) {
    const std::uint64_t nb = from.ids[i];
    pool[i] = Candidate{nb, from_code.distance(layer.bitsPtr(nb))};
  }
  pool[c_max_edges] = Candidate{to_id, from_code.distance(layer.bitsPtr(to_id))};
  // Stable insertion sort (std::stable_sort may allocate): equal distances
  // keep pool order, old neighbours in list order and to_id last.
  for (std::size_t i = 1; i < pool.size(); ++i) {
    const Candidate x = pool[i];
    std::size_t j = i;
    for (; j > 0 && closer(x, pool[j - 1]); --j) pool[j] = pool[j - 1];
    pool[j] = x;
  }
  std::array<std::uint32_t, c_max_edges> out{};
  const std::uint32_t count = selectNeighbors(layer, pool, out);
  from.ids = out;
  from.count = count;
}

// ---------------------------------------------------------------------------
// One-at-a-time insertion

Status RoutingGraph::reserveForInsert(std::size_t level, std::vector<Layer>& fresh_layers) noexcept {
  const std::size_t old_count = layers_.size();
  const std::size_t new_count = std::max(old_count, level + 1);
  if (auto s = tryReserve(layers_, new_count); !s) return s;

  // The first node enters every existing layer; later ones layers 0 .. level.
  const std::size_t touched = node_count_ == 0 ? old_count : std::min(old_count, level + 1);
  for (std::size_t l = 0; l < touched; ++l) {
    if (auto s = layers_[l].reserveOne(); !s) return s;
  }

  // Layers above the top are built aside, each with room for its one node,
  // and moved in only once nothing can fail any more.
  if (auto s = tryReserve(fresh_layers, new_count - old_count); !s) return s;
  for (std::size_t l = old_count; l < new_count; ++l) {
    Layer fresh;
    fresh.dense = l == 0;
    if (auto s = fresh.reserveOne(); !s) return s;
    fresh_layers.push_back(std::move(fresh));
  }
  return ok();
}

Status RoutingGraph::insert(std::uint64_t id, const BitVector& code) noexcept {
  // A failed insertion leaves no trace, not even a consumed level.
  const Xoshiro256pp saved = level_rng_;
  const std::size_t level = drawLevel();
  Status s = insertWithLevel(id, code, level);
  if (!s) level_rng_ = saved;
  return s;
}

Status RoutingGraph::insertWithLevel(std::uint64_t id, const BitVector& code,
                                     std::size_t level) noexcept {
  if (id != node_count_ || level > c_max_level) return std::unexpected(Error::Unexpected);

  // Everything that can fail comes first; from here on the graph changes
  // only through operations that cannot.
  if (auto s = build_scratch_.ensureCapacity(id + 1, beamFor(ef_construction_)); !s) return s;
  std::vector<Layer> fresh_layers;
  if (auto s = reserveForInsert(level, fresh_layers); !s) return s;

  const GraphNode fresh = GraphNode::fresh(id, code);
  if (node_count_ == 0) {
    for (Layer& layer : layers_) layer.addNodeReserved(fresh);
    for (Layer& layer : fresh_layers) {
      layer.addNodeReserved(fresh);
      layers_.push_back(std::move(layer));
    }
    entry_id_ = id;
    node_count_ = 1;
    return ok();
  }

  const std::size_t old_top = layers_.size() - 1;
  std::uint64_t cur = entry_id_;
  for (std::size_t l = old_top; l > level; --l) {
    cur = greedyDescend(layers_[l], code, cur, build_scratch_.stats_);
  }
  for (std::size_t l = std::min(level, old_top) + 1; l-- > 0;) {
    Layer& layer = layers_[l];
    // Searched before the node joins, so it cannot find itself.
    const std::span<const Candidate> found =
        searchLayer(layer, code, cur, ef_construction_, build_scratch_);
    layer.addNodeReserved(fresh);
    NodeLinks& links = layer.linksOfMut(id);
    links.count = selectNeighbors(layer, found, links.ids);
    // linkBack edits other records of the layer, never this one, and never
    // moves the array.
    for (std::uint32_t e = 0; e < links.count; ++e) linkBack(layer, links.ids[e], id);
    if (!found.empty()) cur = found[0].id;
  }

  if (level > old_top) {
    for (Layer& layer : fresh_layers) {
      layer.addNodeReserved(fresh);
      layers_.push_back(std::move(layer));
    }
    entry_id_ = id;
  }
  ++node_count_;
  return ok();
}

// ---------------------------------------------------------------------------
// Planned insertion

InsertPlan RoutingGraph::planInsert(const BitVector& code, std::size_t level,
                                    TraversalScratch& scratch) const noexcept {
  InsertPlan plan{};
  if (node_count_ == 0 || layers_.empty()) return plan;
  const std::size_t old_top = layers_.size() - 1;
  if (level > old_top || level >= c_plan_levels) return plan;
  if (!scratch.fits(node_count_, std::min(ef_construction_, node_count_))) return plan;

  std::uint64_t cur = entry_id_;
  for (std::size_t l = old_top; l > level; --l) {
    cur = greedyDescend(layers_[l], code, cur, scratch.stats_);
  }
  plan.level = level;
  plan.planned = true;
  for (std::size_t l = level + 1; l-- > 0;) {
    const std::span<const Candidate> found =
        searchLayer(layers_[l], code, cur, ef_construction_, scratch);
    plan.links[l].count = selectNeighbors(layers_[l], found, plan.links[l].ids);
    if (!found.empty()) cur = found[0].id;
  }
  return plan;
}

Status RoutingGraph::commitPlanned(std::uint64_t id, const BitVector& code,
                                   const InsertPlan& plan) noexcept {
  if (id != node_count_ || node_count_ == 0 || !plan.planned || plan.level >= c_plan_levels ||
      plan.level >= layers_.size()) {
    return std::unexpected(Error::Unexpected);
  }
  // The graph only grows, so a plan's neighbours are still nodes of their
  // layers; checking costs little next to the back links and keeps a foreign
  // plan from linking to nothing.
  for (std::size_t l = 0; l <= plan.level; ++l) {
    if (plan.links[l].count > c_max_edges) return std::unexpected(Error::Unexpected);
    for (const std::uint32_t nb : plan.links[l].neighbors()) {
      if (!layers_[l].contains(nb)) return std::unexpected(Error::Unexpected);
    }
  }
  for (std::size_t l = 0; l <= plan.level; ++l) {
    if (auto s = layers_[l].reserveOne(); !s) return s;
  }

  for (std::size_t l = 0; l <= plan.level; ++l) {
    Layer& layer = layers_[l];
    GraphNode node = GraphNode::fresh(id, code);
    node.links = plan.links[l];
    // Entries past the count are zero, as in a fresh record.
    std::fill(node.links.ids.begin() + node.links.count, node.links.ids.end(), 0);
    layer.addNodeReserved(node);
    for (const std::uint32_t nb : node.links.neighbors()) linkBack(layer, nb, id);
  }
  ++node_count_;
  return ok();
}

}  // namespace korvane
