// index: the index object — rotation, payloads, routing graph, rerank store,
// id map and deletion marks — with insertion (one at a time and in parallel
// batches), deletion and search (plain, filtered and batched).
//
// Ids. A user id is the caller's u64. An internal id is the dense position
// 0, 1, 2, ... at which a vector was committed; it names payloads[k], graph
// node k and rerank record k, and is never reused.
//
// Invariants:
//  1. routing.nodeCount() == payloads.size().
//  2. The rerank store is complete when it holds exactly one record per
//     payload; only a complete store is used or saved.
//  3. id_to_internal holds exactly the live user ids; live_count == its size.
//  4. A deleted vector keeps its payload, rerank record and graph node; only
//     its tombstone bit is set and its user id leaves the map.
//  5. tombstones may be shorter than payloads; ids beyond it are live.
//  6. calib_shift and calib_scale are both empty, or both c_dim floats
//     exactly when calib_frozen.
//
// Thread safety: no locks. const operations (searches with their own
// contexts, the live count, saving, making a context) may run concurrently;
// add, addBatch, remove and destruction need exclusive use. Threads are
// started only by addBatch and searchBatch and joined before they return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "bit_set.h"
#include "bitvec.h"
#include "graph.h"
#include "hash_map.h"
#include "heap.h"
#include "buffer.h"
#include "constants.h"
#include "error.h"
#include "rotation.h"
#include "sq8.h"
#include "turboquant.h"

namespace korvane {

enum class RerankStore : std::uint8_t { none = 0, fp32 = 1, sq8 = 2 };

// The largest number of OS threads a batch call starts, whatever it is asked
// for: results do not depend on the thread count, so asking for more only
// costs memory (batch search makes one index-sized context per thread).
std::size_t maxBatchThreads() noexcept;

// The rerank pool of a search holds the best c_rerank_factor * k candidates
// by payload score (at most m).
inline constexpr std::size_t c_rerank_factor = 4;

class Index;

// Everything a loader reads from a file, handed to Index::assemble.
struct IndexParts {
  RandomRotation rotation;
  std::vector<TurboQuantPayload> payloads;
  RoutingGraph routing = RoutingGraph::init(0);
  std::vector<float> calib_shift;
  std::vector<float> calib_scale;
  std::vector<float> originals;
  std::vector<std::int8_t> sq8_codes;
  std::vector<float> sq8_scales;
  BitSet tombstones;
  RerankStore rerank_store = RerankStore::none;
  bool calib_frozen = false;
};

// Per-caller search scratch; owns every per-query buffer. A context does
// not refer to its index: the index is passed to every call. One thread at a
// time.
class SearchContext {
 public:
  // Sized for max(index.payloadCount(), 1) nodes and beam width m.
  [[nodiscard]] static std::expected<SearchContext, Error> init(const Index& index,
                                                                std::size_t m) noexcept;

  std::size_t m() const noexcept { return m_; }
  float* rotatedQuery() noexcept { return rotated_query_.data(); }

 private:
  friend class Index;

  TraversalScratch scratch_;
  Buffer<float> rotated_query_;
  Buffer<float> decoded_query_;
  Buffer<float> score_lut_;
  Buffer<SearchResult> rerank_pool_;
  // Payload scoring works on several candidates at once: the live
  // candidates' payloads and their scores, m entries each.
  Buffer<const TurboQuantPayload*> candidate_payloads_;
  Buffer<float> candidate_scores_;
  std::size_t m_ = 0;
};

class Index {
 public:
  Index(Index&&) noexcept = default;
  Index& operator=(Index&&) noexcept = default;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // A new, empty, plain index with the given rerank store (sq8 unless
  // asked). The seed fixes the rotation; the graph's build breadth is
  // max(ef_construction, 32).
  [[nodiscard]] static std::expected<Index, Error> init(
      std::size_t ef_construction, std::uint64_t seed,
      RerankStore store = RerankStore::sq8) noexcept;
  // An index from parts (a loaded file, or a test that wants another store
  // kind): rebuilds the id map and the live count.
  // CorruptIndex when two live vectors carry one user id.
  [[nodiscard]] static std::expected<Index, Error> assemble(IndexParts parts) noexcept;

  // ---- insertion (exclusive use) ----

  // Inserts one vector of c_dim components under user id `id`. DuplicateId
  // when id is live, OutOfMemory on exhaustion; a failed call leaves no
  // trace (payloads, rerank store, graph, id map, live count and level
  // generator are as before).
  [[nodiscard]] Status add(std::uint64_t id, std::span<const float> coords) noexcept;
  // Commits one already rotated vector; same failure rules as add.
  [[nodiscard]] Status insertRotated(std::uint64_t id, const float* rotated) noexcept;
  // Inserts n = ids.size() vectors (coords: n * c_dim floats) in chunks,
  // planning each chunk on up to `threads` worker threads (0 counts as 1).
  // DuplicateId (nothing inserted) when an id is live or repeated, with the
  // position of the first such id in `duplicate_at` when given; on
  // OutOfMemory or a thread that fails to start, the vectors committed
  // before the failure stay and the failing one leaves no trace.
  [[nodiscard]] Status addBatch(std::span<const std::uint64_t> ids, const float* coords,
                                std::size_t threads,
                                std::size_t* duplicate_at = nullptr) noexcept;
  // DuplicateId when some id is live or occurs twice in ids; the position
  // of the first id that is live or repeats an earlier one goes to `at`.
  [[nodiscard]] Status validateNewIds(std::span<const std::uint64_t> ids,
                                      std::size_t* at = nullptr) const noexcept;

  // ---- deletion (exclusive use) ----

  // true: id was live and is now deleted; false: id is not live.
  // OutOfMemory (nothing changed) when the tombstone set cannot grow.
  [[nodiscard]] std::expected<bool, Error> remove(std::uint64_t id) noexcept;
  bool isDeleted(std::uint64_t internal) const noexcept { return tombstones_.test(internal); }

  // ---- search (read-only; each caller with its own context) ----

  // Top results for `query` (c_dim floats) into out[0 .. count), descending
  // score, count ≤ min(out.size(), ctx.m()). A context made before the
  // index grew is grown first; if that fails, the search returns 0.
  std::size_t search(SearchContext& ctx, const float* query,
                     std::span<SearchResult> out) const noexcept;
  // Grows a context made before the index grew so that it fits the graph;
  // OutOfMemory leaves it as it was. search calls this itself.
  [[nodiscard]] Status prepareContext(SearchContext& ctx) const noexcept;
  // As search, with the rotated query already in ctx.rotatedQuery().
  std::size_t searchRotated(SearchContext& ctx, std::span<SearchResult> out) const noexcept;
  // Exhaustive scoring of the listed user ids that are live.
  std::size_t searchFiltered(SearchContext& ctx, const float* query,
                             std::span<const std::uint64_t> allowed,
                             std::span<SearchResult> out) const noexcept;
  // n = counts.size() queries (n * c_dim floats); query q's results go to
  // results[k * q .. k * q + counts[q]). OutOfMemory or a thread error.
  [[nodiscard]] Status searchBatch(const float* queries, std::size_t k,
                                   std::span<SearchResult> results, std::span<std::size_t> counts,
                                   std::size_t m, std::size_t threads) const noexcept;

  bool hasRerankStore() const noexcept;
  // Exact (fp32) or 8-bit (sq8) inner product of rotated query q with record
  // `internal`. Precondition: hasRerankStore().
  float rerankScore(std::uint64_t internal, const float* q) const noexcept;

  // ---- state ----
  std::size_t liveCount() const noexcept { return live_count_; }
  bool contains(std::uint64_t id) const noexcept { return id_to_internal_.contains(id); }
  // Calls f(user id) for every live vector in internal-id order.
  template <class F>
  void forEachLiveId(F&& f) const {
    for (std::size_t i = 0; i < payloads_.size(); ++i) {
      if (!isDeleted(i)) f(payloads_[i].id);
    }
  }
  // Bytes the index holds: every array's capacity, rotation included.
  std::size_t memoryBytes() const noexcept;
  // The store searches rescore with: rerankStore() when it is complete,
  // none otherwise.
  RerankStore effectiveStore() const noexcept {
    return hasRerankStore() ? rerank_store_ : RerankStore::none;
  }
  std::size_t payloadCount() const noexcept { return payloads_.size(); }
  const RandomRotation& rotation() const noexcept { return rotation_; }
  std::span<const TurboQuantPayload> payloads() const noexcept { return payloads_; }
  const RoutingGraph& routing() const noexcept { return routing_; }
  std::span<const float> calibShift() const noexcept { return calib_shift_; }
  std::span<const float> calibScale() const noexcept { return calib_scale_; }
  bool calibFrozen() const noexcept { return calib_frozen_; }
  RerankStore rerankStore() const noexcept { return rerank_store_; }
  std::span<const float> originals() const noexcept { return originals_; }
  const Sq8Store& sq8() const noexcept { return sq8_; }
  const BitSet& tombstones() const noexcept { return tombstones_; }
  // Internal id of a live user id.
  const std::uint64_t* internalOf(std::uint64_t id) const noexcept {
    return id_to_internal_.find(id);
  }

  // The routing code of a rotated vector: bit j set when component j > 0.
  static BitVector routeCode(const float* rotated) noexcept { return BitVector::fromF32(rotated); }

 private:
  Index() = default;

  // How a committed vector enters the graph.
  struct GraphStep {
    const InsertPlan* plan = nullptr;  // commitPlanned when planned
    std::size_t level = 0;             // insertWithLevel when draw_level is false
    bool draw_level = true;            // insert (draws the level) when true
  };

  // Commits one encoded vector: reserves room in the payloads, the rerank
  // store and the id map first, then inserts into the graph (which is
  // all-or-nothing itself), then appends with operations that cannot fail.
  [[nodiscard]] Status commitVector(std::uint64_t id, const TurboQuantPayload& payload,
                                    const float* rotated, const BitVector& code,
                                    const GraphStep& step) noexcept;
  [[nodiscard]] Status reserveRerankRecord() noexcept;
  // Precondition: reserveRerankRecord succeeded.
  void appendRerankRecord(const float* rotated) noexcept;
  // Precondition: id is not mapped and the map has room for one more.
  void registerId(std::uint64_t id, std::uint64_t internal) noexcept;

  struct Staged;
  struct Worker;

  std::size_t scoreCandidates(SearchContext& ctx, std::span<const Candidate> candidates,
                              LutConstants c) const noexcept;
  LutConstants buildQueryTable(SearchContext& ctx) const noexcept;

  RandomRotation rotation_;
  std::vector<TurboQuantPayload> payloads_;
  RoutingGraph routing_ = RoutingGraph::init(0);
  Buffer<float> rotate_buf_;
  std::vector<float> calib_shift_;
  std::vector<float> calib_scale_;
  std::vector<float> originals_;
  Sq8Store sq8_;
  HashMap<std::uint64_t> id_to_internal_;
  BitSet tombstones_;
  std::size_t live_count_ = 0;
  RerankStore rerank_store_ = RerankStore::sq8;
  bool calib_frozen_ = false;
};

}  // namespace korvane
