// heap: an allocation-free binary heap over caller-owned storage, the
// bounded best-k collector built on it, and the records they order.
//
// Thread safety: a heap is a plain value over storage its owner lends it; it
// is used by one thread at a time. The ordering functions are pure.
//
// Determinism: every ordering compares its key alone (never the id), both
// sift directions move an element only when it is strictly before the other,
// and a tie between two children goes to the left one. Together these fix the
// order in which equal keys leave a heap, and the callers pass that order on,
// so the sift rules below are part of the contract and must not be "improved".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace korvane {

// One scored result; larger scores are better.
struct SearchResult {
  std::uint64_t id;
  float score;
};

// One graph node met by a traversal: its internal id and its Hamming
// distance to the query code.
struct Candidate {
  std::uint64_t id;
  std::uint32_t dist;
};

// Whether score a ranks below score b: as numbers, with a NaN below every
// number (and not below another NaN). On scores that are numbers this is
// the ordinary comparison, so finite results are exactly those of it; a NaN
// can never block a number, and NaN entries come last.
inline bool ranksBelow(float a, float b) noexcept {
  if (a != a) return b == b;  // a is NaN: below every number
  return a < b;               // false when b is NaN
}

// Lowest score at the root: the collector of the best results.
inline bool lowerScore(const SearchResult& a, const SearchResult& b) noexcept {
  return ranksBelow(a.score, b.score);
}
// Nearest at the root: the queue of nodes still to expand.
inline bool closer(const Candidate& a, const Candidate& b) noexcept { return a.dist < b.dist; }
// Farthest at the root: the set of best nodes found so far.
inline bool farther(const Candidate& a, const Candidate& b) noexcept { return a.dist > b.dist; }

// A binary min-heap with respect to Order (Order(a, b) true: a belongs nearer
// the root) over `items`, which the owner supplies and frees; its length is
// the capacity. Live elements are items[0 .. len).
//
// Invariant: for every live i > 0, Order(items[i], items[(i - 1) / 2]) is
// false.
template <class T, bool (*Order)(const T&, const T&)>
struct BinaryHeap {
  std::span<T> items;
  std::size_t len = 0;

  // Precondition: len < items.size(); not checked — every owner sizes the
  // storage so that it cannot overflow.
  void push(const T& value) noexcept {
    std::size_t i = len;
    items[i] = value;
    ++len;
    while (i > 0) {
      const std::size_t p = (i - 1) / 2;
      if (!Order(items[i], items[p])) break;
      std::swap(items[i], items[p]);
      i = p;
    }
  }

  // Removes and returns the root; nothing when empty.
  std::optional<T> pop() noexcept {
    if (len == 0) return std::nullopt;
    const T root = items[0];
    --len;
    if (len > 0) {
      items[0] = items[len];
      siftDown(0);
    }
    return root;
  }

  std::optional<T> peek() const noexcept {
    if (len == 0) return std::nullopt;
    return items[0];
  }

  // Restores the invariant below `start`. A parent stays on a tie with a
  // child; of two children the right one is taken only when strictly before
  // the left one.
  void siftDown(std::size_t start) noexcept {
    std::size_t i = start;
    for (;;) {
      std::size_t best = i;
      const std::size_t left = 2 * i + 1;
      const std::size_t right = 2 * i + 2;
      if (left < len && Order(items[left], items[best])) best = left;
      if (right < len && Order(items[right], items[best])) best = right;
      if (best == i) return;
      std::swap(items[i], items[best]);
      i = best;
    }
  }

  std::size_t size() const noexcept { return len; }
  bool empty() const noexcept { return len == 0; }
  bool full() const noexcept { return len == items.size(); }
};

// Keeps the k highest-scoring results offered to it, k = storage.size()
// (k may be 0). The storage is the caller's and outlives the collector.
struct TopK {
  BinaryHeap<SearchResult, lowerScore> heap;

  explicit TopK(std::span<SearchResult> storage) noexcept : heap{storage, 0} {}

  // Keeps `result` while there is room; afterwards only a score that ranks
  // strictly above the lowest kept one gets in (ranksBelow: a tie keeps the
  // earlier result; a NaN gets in only while there is room, and any number
  // displaces a NaN at the root). The replacement is a full pop followed by
  // a full push, which fixes where equal scores end up.
  void offer(const SearchResult& result) noexcept {
    if (heap.len < heap.items.size()) {
      heap.push(result);
      return;
    }
    if (heap.len == 0) return;
    if (ranksBelow(heap.items[0].score, result.score)) {
      (void)heap.pop();
      heap.push(result);
    }
  }

  // Empties the collector and leaves the kept results in
  // heap.items[0 .. count) in descending score order; returns count. Each
  // popped minimum is parked in the slot the pop has just vacated. The
  // collector can be refilled afterwards.
  std::size_t sortDescending() noexcept {
    const std::size_t count = heap.len;
    while (const std::optional<SearchResult> r = heap.pop()) heap.items[heap.len] = *r;
    return count;
  }
};

}  // namespace korvane
