#include "index.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace korvane {

std::size_t maxBatchThreads() noexcept {
  // A few threads per core keeps every core busy while bounding memory.
  const unsigned hw = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(std::size_t{4} * (hw == 0 ? 1 : hw), 4, 256);
}

std::expected<Index, Error> Index::init(std::size_t ef_construction, std::uint64_t seed,
                                        RerankStore store) noexcept {
  auto rotation = RandomRotation::init(seed);
  if (!rotation) return std::unexpected(rotation.error());
  auto buf = Buffer<float>::make(c_dim);
  if (!buf) return std::unexpected(buf.error());
  Index index;
  index.rotation_ = std::move(*rotation);
  index.routing_ = RoutingGraph::init(ef_construction);
  index.rotate_buf_ = std::move(*buf);
  index.rerank_store_ = store;
  return index;
}

std::size_t Index::memoryBytes() const noexcept {
  return rotation_.rows().size_bytes() + payloads_.capacity() * sizeof(TurboQuantPayload) +
         routing_.memoryBytes() + rotate_buf_.size() * sizeof(float) +
         (calib_shift_.capacity() + calib_scale_.capacity() + originals_.capacity()) *
             sizeof(float) +
         sq8_.memoryBytes() + id_to_internal_.memoryBytes() + tombstones_.memoryBytes();
}

std::expected<Index, Error> Index::assemble(IndexParts parts) noexcept {
  auto buf = Buffer<float>::make(c_dim);
  if (!buf) return std::unexpected(buf.error());
  Index index;
  index.rotation_ = std::move(parts.rotation);
  index.payloads_ = std::move(parts.payloads);
  index.routing_ = std::move(parts.routing);
  index.rotate_buf_ = std::move(*buf);
  index.calib_shift_ = std::move(parts.calib_shift);
  index.calib_scale_ = std::move(parts.calib_scale);
  index.originals_ = std::move(parts.originals);
  index.sq8_ = Sq8Store(std::move(parts.sq8_codes), std::move(parts.sq8_scales));
  index.tombstones_ = std::move(parts.tombstones);
  index.rerank_store_ = parts.rerank_store;
  index.calib_frozen_ = parts.calib_frozen;
  const std::size_t n = index.payloads_.size();
  if (auto s = index.id_to_internal_.reserve(n); !s) return std::unexpected(s.error());
  for (std::size_t i = 0; i < n; ++i) {
    if (index.isDeleted(i)) continue;
    const std::uint64_t user = index.payloads_[i].id;
    // Two live vectors with one user id would leave the map and the live
    // count disagreeing: such an image is damaged.
    if (index.id_to_internal_.contains(user)) return std::unexpected(Error::CorruptIndex);
    index.id_to_internal_.insertReserved(user, i);
    ++index.live_count_;
  }
  return index;
}

// ---- insertion ----

Status Index::add(std::uint64_t id, std::span<const float> coords) noexcept {
  if (coords.size() != c_dim) return std::unexpected(Error::DimensionMismatch);
  if (id_to_internal_.contains(id)) return std::unexpected(Error::DuplicateId);
  rotation_.apply(coords.data(), rotate_buf_.data());
  return insertRotated(id, rotate_buf_.data());
}

Status Index::insertRotated(std::uint64_t id, const float* rotated) noexcept {
  if (id_to_internal_.contains(id)) return std::unexpected(Error::DuplicateId);
  const TurboQuantPayload payload =
      TurboQuantPayload::encodeWithCalibration(id, rotated, calib_shift_, calib_scale_);
  return commitVector(id, payload, rotated, routeCode(rotated), GraphStep{});
}

Status Index::reserveRerankRecord() noexcept {
  switch (rerank_store_) {
    case RerankStore::none:
      return ok();
    case RerankStore::fp32:
      return tryReserveMore(originals_, c_dim);
    case RerankStore::sq8:
      return sq8_.reserveOne();
  }
  return ok();
}

void Index::appendRerankRecord(const float* rotated) noexcept {
  switch (rerank_store_) {
    case RerankStore::none:
      return;
    case RerankStore::fp32:
      originals_.insert(originals_.end(), rotated, rotated + c_dim);
      return;
    case RerankStore::sq8:
      sq8_.appendReserved(rotated);
      return;
  }
}

void Index::registerId(std::uint64_t id, std::uint64_t internal) noexcept {
  id_to_internal_.insertReserved(id, internal);
  ++live_count_;
}

Status Index::commitVector(std::uint64_t id, const TurboQuantPayload& payload,
                           const float* rotated, const BitVector& code,
                           const GraphStep& step) noexcept {
  if (id_to_internal_.contains(id)) return std::unexpected(Error::DuplicateId);
  // Everything that can fail comes first and changes nothing visible (spare
  // capacity only); the graph insertion is all-or-nothing itself; the
  // appends that follow are into reserved room and cannot fail.
  if (auto s = tryReserveMore(payloads_, 1); !s) return s;
  if (auto s = reserveRerankRecord(); !s) return s;
  if (auto s = id_to_internal_.reserve(id_to_internal_.size() + 1); !s) return s;
  const std::uint64_t internal = payloads_.size();
  Status linked = step.plan != nullptr ? routing_.commitPlanned(internal, code, *step.plan)
                  : step.draw_level   ? routing_.insert(internal, code)
                                      : routing_.insertWithLevel(internal, code, step.level);
  if (!linked) return linked;
  payloads_.push_back(payload);
  appendRerankRecord(rotated);
  registerId(id, internal);
  return ok();
}

// ---- deletion ----

std::expected<bool, Error> Index::remove(std::uint64_t id) noexcept {
  const std::uint64_t* found = id_to_internal_.find(id);
  if (found == nullptr) return false;
  const std::uint64_t internal = *found;
  if (internal >= tombstones_.size()) {
    if (auto s = tombstones_.resize(payloads_.size()); !s) return std::unexpected(s.error());
  }
  id_to_internal_.erase(id);
  tombstones_.set(internal);
  --live_count_;
  return true;
}

// ---- search ----

std::expected<SearchContext, Error> SearchContext::init(const Index& index,
                                                        std::size_t m) noexcept {
  SearchContext ctx;
  auto rq = Buffer<float>::make(c_dim);
  auto dq = Buffer<float>::make(c_dim);
  auto lut = Buffer<float>::make(c_dim * 8);
  auto pool = Buffer<SearchResult>::make(m);
  auto cps = Buffer<const TurboQuantPayload*>::make(m);
  auto css = Buffer<float>::make(m);
  if (!rq || !dq || !lut || !pool || !cps || !css) return std::unexpected(Error::OutOfMemory);
  if (auto s = ctx.scratch_.ensureCapacity(std::max<std::size_t>(index.payloadCount(), 1), m);
      !s) {
    return std::unexpected(s.error());
  }
  ctx.rotated_query_ = std::move(*rq);
  ctx.decoded_query_ = std::move(*dq);
  ctx.score_lut_ = std::move(*lut);
  ctx.rerank_pool_ = std::move(*pool);
  ctx.candidate_payloads_ = std::move(*cps);
  ctx.candidate_scores_ = std::move(*css);
  ctx.m_ = m;
  return ctx;
}

bool Index::hasRerankStore() const noexcept {
  const std::size_t records = payloads_.size();
  switch (rerank_store_) {
    case RerankStore::none:
      return false;
    case RerankStore::fp32:
      return originals_.size() / c_dim == records && originals_.size() % c_dim == 0;
    case RerankStore::sq8:
      return sq8_.holdsExactly(records);
  }
  return false;
}

float Index::rerankScore(std::uint64_t internal, const float* q) const noexcept {
  if (rerank_store_ == RerankStore::sq8) return sq8_.score(internal, q);
  return dot(q, originals_.data() + c_dim * internal, c_dim);
}

LutConstants Index::buildQueryTable(SearchContext& ctx) const noexcept {
  // The table is always built from the query's own 3-bit reconstruction.
  quantizeQuery(ctx.rotated_query_.data(), c_dim, ctx.decoded_query_.data());
  if (calib_frozen_) {
    return buildScoreLutCalibrated(ctx.decoded_query_.data(), calib_shift_.data(),
                                   calib_scale_.data(), ctx.score_lut_.data());
  }
  return buildScoreLut(ctx.decoded_query_.data(), ctx.score_lut_.data());
}

// Scores the live candidates, in route order, into ctx.candidate_scores_
// (several at a time, each bit-identical to scoring it alone); returns how
// many, with their internal ids left in the order of `candidates`.
std::size_t Index::scoreCandidates(SearchContext& ctx, std::span<const Candidate> candidates,
                                   LutConstants c) const noexcept {
  std::size_t live = 0;
  for (const Candidate& cand : candidates) {
    if (isDeleted(cand.id)) continue;
    ctx.candidate_payloads_[live++] = &payloads_[cand.id];
  }
  scoreLutMany(ctx.candidate_payloads_.data(), live, ctx.score_lut_.data(), c,
               ctx.candidate_scores_.data());
  return live;
}

Status Index::prepareContext(SearchContext& ctx) const noexcept {
  // A context made before the index grew has a traversal scratch too small
  // for the graph; grow it (the context is the caller's own mutable object).
  const std::size_t nodes = routing_.nodeCount();
  if (ctx.scratch_.fits(nodes, std::min(ctx.m_, nodes))) return ok();
  return ctx.scratch_.ensureCapacity(nodes, ctx.m_);
}

std::size_t Index::search(SearchContext& ctx, const float* query,
                          std::span<SearchResult> out) const noexcept {
  rotation_.apply(query, ctx.rotated_query_.data());
  return searchRotated(ctx, out);
}

// A NaN score (a stored vector or a query with an infinite or NaN
// component) ranks below every number in the collectors (TopK), so it never
// keeps a finite result out and comes only after all of them.
std::size_t Index::searchRotated(SearchContext& ctx, std::span<SearchResult> out) const noexcept {
  const std::size_t k = out.size();
  if (k == 0 || live_count_ == 0) return 0;
  if (!prepareContext(ctx)) return 0;
  const BitVector code = routeCode(ctx.rotated_query_.data());
  const LutConstants c = buildQueryTable(ctx);
  const std::span<const Candidate> candidates = routing_.route(code, ctx.m_, ctx.scratch_);
  // route yields at most m candidates, the capacity of the scoring buffers.
  const std::size_t live = scoreCandidates(ctx, candidates, c);
  const float* scores = ctx.candidate_scores_.data();

  TopK top(out);
  if (!hasRerankStore()) {
    for (std::size_t i = 0; i < live; ++i) top.offer({ctx.candidate_payloads_[i]->id, scores[i]});
    return top.sortDescending();
  }
  // Rerank: the best payload scores form a pool that is scored again from
  // the rerank store.
  const std::size_t wanted = k > SIZE_MAX / c_rerank_factor ? SIZE_MAX : k * c_rerank_factor;
  const std::size_t pool_size = std::min(std::max(wanted, k), ctx.rerank_pool_.size());
  TopK pool(ctx.rerank_pool_.span().first(pool_size));
  for (std::size_t i = 0; i < live; ++i) {
    const auto internal =
        static_cast<std::uint64_t>(ctx.candidate_payloads_[i] - payloads_.data());
    pool.offer({internal, scores[i]});
  }
  const std::size_t pooled = pool.sortDescending();
  const float* q = ctx.rotated_query_.data();
  for (std::size_t i = 0; i < pooled; ++i) {
    const std::uint64_t internal = ctx.rerank_pool_[i].id;
    top.offer({payloads_[internal].id, rerankScore(internal, q)});
  }
  return top.sortDescending();
}

std::size_t Index::searchFiltered(SearchContext& ctx, const float* query,
                                  std::span<const std::uint64_t> allowed,
                                  std::span<SearchResult> out) const noexcept {
  rotation_.apply(query, ctx.rotated_query_.data());
  const bool rerank = hasRerankStore();
  LutConstants c{0.0f, 0.0f};
  if (!rerank) c = buildQueryTable(ctx);
  TopK top(out);
  if (!allowed.empty() && !id_to_internal_.empty()) {
    const float* q = ctx.rotated_query_.data();
    for (const std::uint64_t id : allowed) {
      const std::uint64_t* internal = id_to_internal_.find(id);
      if (internal == nullptr) continue;
      const float score = rerank ? rerankScore(*internal, q)
                                 : scoreLut(payloads_[*internal], ctx.score_lut_.data(), c.a, c.b);
      top.offer({id, score});
    }
  }
  return top.sortDescending();
}

}  // namespace korvane
