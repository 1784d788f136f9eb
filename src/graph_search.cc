// Graph search: the greedy descent through the upper layers, the beam
// search of one layer and the routed search that combines them.
#include <algorithm>

#include "graph.h"

namespace korvane {

namespace {

// Stable ascending sort by distance with `aux` (at least v.size() entries)
// as the merge buffer, so that no search allocates: insertion-sorted runs,
// then bottom-up merges that take from the left run on ties.
void stableSortByDist(std::span<Candidate> v, std::span<Candidate> aux) noexcept {
  constexpr std::size_t c_run = 16;
  const std::size_t n = v.size();
  for (std::size_t start = 0; start < n; start += c_run) {
    const std::size_t end = std::min(start + c_run, n);
    for (std::size_t i = start + 1; i < end; ++i) {
      const Candidate x = v[i];
      std::size_t j = i;
      for (; j > start && closer(x, v[j - 1]); --j) v[j] = v[j - 1];
      v[j] = x;
    }
  }
  Candidate* src = v.data();
  Candidate* dst = aux.data();
  for (std::size_t width = c_run; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, n);
      const std::size_t hi = std::min(lo + 2 * width, n);
      std::size_t a = lo, b = mid, out = lo;
      while (a < mid && b < hi) dst[out++] = closer(src[b], src[a]) ? src[b++] : src[a++];
      while (a < mid) dst[out++] = src[a++];
      while (b < hi) dst[out++] = src[b++];
    }
    std::swap(src, dst);
  }
  if (src != v.data()) std::copy(src, src + n, v.data());
}

}  // namespace

std::uint64_t greedyDescend(const Layer& layer, const BitVector& query, std::uint64_t start_id,
                            TraversalStats& stats) noexcept {
  std::uint64_t cur_id = start_id;
  std::uint32_t cur_dist = query.distance(layer.bitsPtr(cur_id));
  ++stats.nodes_evaluated;
  for (;;) {
    // The pass scans the list of the node it started from, even after
    // cur_id has moved on: each neighbour is compared with the best so far.
    const std::span<const std::uint32_t> neighbors = layer.linksOf(cur_id).neighbors();
    stats.nodes_evaluated += neighbors.size();
    bool improved = false;
    for (const std::uint64_t nb : neighbors) {
      const std::uint32_t d = query.distance(layer.bitsPtr(nb));
      if (d < cur_dist) {
        cur_dist = d;
        cur_id = nb;
        improved = true;
      }
    }
    // Distances fall strictly with every move, so the walk ends without a
    // visited set.
    if (!improved) return cur_id;
  }
}

std::span<const Candidate> searchLayer(const Layer& layer, const BitVector& query,
                                       std::uint64_t entry_id, std::size_t ef,
                                       TraversalScratch& scratch) noexcept {
  // The result set can never hold more nodes than the layer has, so a wider
  // beam changes nothing and only the narrower one needs storage.
  ef = std::min(ef, layer.size());
  if (ef == 0) return {};

  BitSet& visited = scratch.visited_;
  TraversalStats& stats = scratch.stats_;
  visited.clearAll();
  BinaryHeap<Candidate, closer> queue{scratch.cand_buf_.span(), 0};
  BinaryHeap<Candidate, farther> best{scratch.result_buf_.span().first(ef), 0};

  const Candidate entry{entry_id, query.distance(layer.bitsPtr(entry_id))};
  ++stats.nodes_evaluated;
  visited.set(entry_id);
  queue.push(entry);
  best.push(entry);

  while (const std::optional<Candidate> current = queue.pop()) {
    // A tie with the farthest kept node does not end the search.
    if (best.full() && current->dist > best.items[0].dist) break;

    const std::span<const std::uint32_t> neighbors = layer.linksOf(current->id).neighbors();
    const std::size_t edges = neighbors.size();
    // Sparse layers look each slot up once, for the prefetch and the
    // distance both.
    std::array<const BitVector*, c_max_edges> codes;
    for (std::size_t e = 0; e < edges; ++e) {
      codes[e] = &layer.bitsPtr(neighbors[e]);
      prefetchCode(*codes[e]);
    }
    for (std::size_t e = 0; e < edges; ++e) {
      const std::uint64_t nb = neighbors[e];
      if (visited.test(nb)) continue;
      // Marked even when rejected below: this search never reconsiders it.
      visited.set(nb);
      ++stats.nodes_evaluated;
      const Candidate c{nb, query.distance(*codes[e])};
      if (!best.full()) {
        best.push(c);
        queue.push(c);
      } else if (c.dist < best.items[0].dist) {
        (void)best.pop();
        best.push(c);
        queue.push(c);
      }
    }
  }

  // The queue's storage is free now and at least as long as the layer.
  const std::span<Candidate> found = best.items.first(best.len);
  stableSortByDist(found, scratch.cand_buf_.span());
  return found;
}

std::span<const Candidate> RoutingGraph::route(const BitVector& query, std::size_t m,
                                               TraversalScratch& scratch) const noexcept {
  if (node_count_ == 0 || m == 0) return {};
  const std::size_t ef = std::min(m, node_count_);
  if (!scratch.fits(node_count_, ef)) return {};

  scratch.stats_ = TraversalStats{layers_.size(), 0};
  std::uint64_t cur = entry_id_;
  for (std::size_t l = layers_.size() - 1; l >= 1; --l) {
    cur = greedyDescend(layers_[l], query, cur, scratch.stats_);
  }
  return searchLayer(layers_[0], query, cur, ef, scratch);
}

}  // namespace korvane
