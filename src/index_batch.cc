// Batch insertion and batch search: the parts of Index that start threads.
#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

#include "index.h"

namespace korvane {

namespace {

// The largest number of vectors in one chunk of a batch insertion.
constexpr std::size_t c_max_batch = 1024;
// Vectors a batch-insertion worker prepares (rotates) together.
constexpr std::size_t c_prepare_block = 30;
// Queries a batch-search worker rotates together.
constexpr std::size_t c_query_block = 32;

Error threadError(const std::system_error& e) noexcept {
  return e.code() == std::errc::resource_unavailable_try_again ? Error::SystemResources
                                                               : Error::Unexpected;
}

// Starts body(t) on threads t = 1 .. count − 1 and runs body(0) on the
// calling thread; joins every started thread before returning. If a thread
// cannot be started, the started ones are joined and the error returned
// (body(0) is then not run).
template <class Body>
Status runOnThreads(std::size_t count, std::vector<std::thread>& threads, Body&& body) noexcept {
  threads.clear();
  Status started = ok();
  for (std::size_t t = 1; t < count; ++t) {
    try {
      threads.emplace_back(body, t);  // room was reserved: cannot reallocate
    } catch (const std::system_error& e) {
      started = std::unexpected(threadError(e));
      break;
    } catch (const std::bad_alloc&) {
      started = std::unexpected(Error::OutOfMemory);
      break;
    } catch (...) {
      started = std::unexpected(Error::Unexpected);
      break;
    }
  }
  if (started) body(0);
  for (std::thread& th : threads) th.join();
  threads.clear();
  return started;
}

}  // namespace

// Staging arrays of one chunk of a batch insertion, one slot per vector.
struct Index::Staged {
  Buffer<float> rotated;  // slot i at c_dim * i
  std::vector<TurboQuantPayload> payloads;
  std::vector<BitVector> bits;
  std::vector<std::size_t> levels;
  std::vector<InsertPlan> plans;

  [[nodiscard]] Status init(std::size_t slots) noexcept {
    auto r = Buffer<float>::make(slots * c_dim);
    if (!r) return std::unexpected(r.error());
    rotated = std::move(*r);
    if (auto s = tryResize(payloads, slots); !s) return s;
    if (auto s = tryResize(bits, slots); !s) return s;
    if (auto s = tryResize(levels, slots); !s) return s;
    return tryResize(plans, slots);
  }
};

// One chunk of a batch insertion and its staging.
struct Index::Worker {
  const Index* index;
  Staged* staged;
  const float* batch_coords;
  const std::uint64_t* batch_ids;
  std::size_t batch_len;
  // The next block of slots to prepare, taken by whichever worker is free.
  std::atomic<std::size_t>* next_block;

  // What depends on the vectors alone: the rotation (a block of vectors at
  // once, blocked over the matrix), the payload and the code. Every slot
  // gets the same bits whichever worker prepares it.
  void prepare() const noexcept {
    for (;;) {
      const std::size_t first = c_prepare_block * next_block->fetch_add(1);
      if (first >= batch_len) return;
      const std::size_t count = std::min(c_prepare_block, batch_len - first);
      float* rotated = staged->rotated.data() + c_dim * first;
      index->rotation_.applyBatch(batch_coords + c_dim * first, c_dim, count, rotated, c_dim);
      for (std::size_t i = first; i < first + count; ++i) {
        const float* r = staged->rotated.data() + c_dim * i;
        staged->payloads[i] = TurboQuantPayload::encodeWithCalibration(
            batch_ids[i], r, index->calib_shift_, index->calib_scale_);
        staged->bits[i] = routeCode(r);
      }
    }
  }

  // The insertion plans, against the graph as the chunk begins: worker t
  // of `stride` plans slots t, t + stride, …
  void plan(std::size_t t, std::size_t stride, TraversalScratch& scratch) const noexcept {
    for (std::size_t i = t; i < batch_len; i += stride) {
      staged->plans[i] = index->routing_.planInsert(staged->bits[i], staged->levels[i], scratch);
    }
  }
};

Status Index::validateNewIds(std::span<const std::uint64_t> ids, std::size_t* at) const noexcept {
  HashMap<std::uint8_t> seen;
  if (auto s = seen.reserve(ids.size()); !s) return s;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (id_to_internal_.contains(ids[i]) || seen.contains(ids[i])) {
      if (at != nullptr) *at = i;
      return std::unexpected(Error::DuplicateId);
    }
    seen.insertReserved(ids[i], 1);
  }
  return ok();
}

Status Index::addBatch(std::span<const std::uint64_t> ids, const float* coords,
                       std::size_t threads, std::size_t* duplicate_at) noexcept {
  const std::size_t n = ids.size();
  if (n == 0) return ok();
  if (auto s = validateNewIds(ids, duplicate_at); !s) return s;

  // The plans of a chunk depend only on the graph as the chunk began, never
  // on which thread made them, so capping the number of threads changes no
  // result; it only bounds the memory and the OS threads a call can take.
  const std::size_t requested = std::max<std::size_t>(threads, 1);
  const std::size_t workers = std::min({requested, maxBatchThreads(), std::min(n, c_max_batch)});

  // Two stagings: while this thread commits one chunk, the other workers
  // prepare the next one (rotation, payloads and codes need no graph).
  Staged staging[2];
  for (Staged& s : staging) {
    if (auto r = s.init(std::min(n, c_max_batch)); !r) return r;
  }
  std::vector<TraversalScratch> scratches;
  if (auto s = tryResize(scratches, workers); !s) return s;
  std::vector<std::thread> handles;
  if (auto s = tryReserve(handles, workers); !s) return s;

  // The chunk that starts at `first` once `nodes` vectors are in the graph:
  // small while the graph is small, so that early plans see enough of it.
  std::atomic<std::size_t> blocks[2];
  auto chunkAt = [&](std::size_t first, std::size_t nodes, std::size_t c) noexcept {
    blocks[c % 2].store(0);
    return Worker{this, &staging[c % 2], coords + c_dim * first, ids.data() + first,
                  std::min({c_max_batch, n - first, std::max<std::size_t>(nodes, 1)}),
                  &blocks[c % 2]};
  };
  auto blocksOf = [](std::size_t len) noexcept {
    return (len + c_prepare_block - 1) / c_prepare_block;
  };

  std::size_t next = 0;
  Worker chunk = chunkAt(0, routing_.nodeCount(), 0);
  {
    const std::size_t started = std::min(workers, blocksOf(chunk.batch_len));
    const Status ran =
        runOnThreads(started, handles, [&](std::size_t) noexcept { chunk.prepare(); });
    if (!ran) return ran;
  }
  for (std::size_t c = 0; next < n; ++c) {
    Staged& staged = *chunk.staged;
    const std::size_t batch = chunk.batch_len;
    // Levels are drawn here, in input order, before any planning; a chunk
    // or slot that fails gives back the levels it did not use, so the
    // generator ends as if only the committed vectors had been inserted.
    const Xoshiro256pp rng_before = routing_.levelRng();
    for (std::size_t i = 0; i < batch; ++i) staged.levels[i] = routing_.drawLevel();
    auto giveBackLevels = [&](std::size_t used) noexcept {
      routing_.setLevelRng(rng_before);
      for (std::size_t i = 0; i < used; ++i) (void)routing_.drawLevel();
    };

    for (TraversalScratch& scratch : scratches) {
      if (auto s = routing_.prepareScratch(scratch); !s) {
        giveBackLevels(0);
        return s;
      }
    }
    // A thread beyond the chunk's size would find no work: start at most
    // one per vector, none besides the calling thread for a single vector.
    const std::size_t started = std::min(workers, batch);
    const Status planned = runOnThreads(started, handles, [&](std::size_t t) noexcept {
      chunk.plan(t, started, scratches[t]);
    });
    if (!planned) {
      giveBackLevels(0);
      return planned;
    }

    // Commit in input order on this thread. A vector without a plan is
    // inserted the one-at-a-time way and sees every vector committed so far.
    // Meanwhile the other workers prepare the next chunk, whose extent is
    // known (the graph will have grown by this chunk), and this thread joins
    // them once it has committed.
    const bool more = next + batch < n;
    Worker following = more ? chunkAt(next + batch, routing_.nodeCount() + batch, c + 1) : chunk;
    const std::size_t helpers = more ? std::min(workers - 1, blocksOf(following.batch_len)) : 0;
    std::size_t committed_count = 0;
    Status committed = ok();
    const Status ran = runOnThreads(helpers + 1, handles, [&](std::size_t t) noexcept {
      if (t > 0) {
        following.prepare();
        return;
      }
      for (; committed_count < batch; ++committed_count) {
        const std::size_t i = committed_count;
        GraphStep step;
        step.draw_level = false;
        step.level = staged.levels[i];
        if (staged.plans[i].planned) step.plan = &staged.plans[i];
        committed = commitVector(ids[next + i], staged.payloads[i],
                                 staged.rotated.data() + c_dim * i, staged.bits[i], step);
        if (!committed) return;
      }
      if (more) following.prepare();
    });
    if (!ran) {
      giveBackLevels(0);
      return ran;
    }
    if (!committed) {
      giveBackLevels(committed_count);
      return committed;
    }
    next += batch;
    chunk = following;
  }
  return ok();
}

Status Index::searchBatch(const float* queries, std::size_t k, std::span<SearchResult> results,
                          std::span<std::size_t> counts, std::size_t m,
                          std::size_t threads) const noexcept {
  const std::size_t n = counts.size();
  // Every query is answered by the same search whatever worker takes it, so
  // the cap on threads changes no result.
  const std::size_t workers =
      std::min({std::max<std::size_t>(threads, 1), std::max<std::size_t>(n, 1),
                maxBatchThreads()});
  std::vector<SearchContext> contexts;
  if (auto s = tryReserve(contexts, workers); !s) return s;
  std::vector<Buffer<float>> rotated;
  if (auto s = tryReserve(rotated, workers); !s) return s;
  for (std::size_t w = 0; w < workers; ++w) {
    auto ctx = SearchContext::init(*this, m);
    if (!ctx) return std::unexpected(ctx.error());
    contexts.push_back(std::move(*ctx));
    auto buf = Buffer<float>::make(c_query_block * c_dim);
    if (!buf) return std::unexpected(buf.error());
    rotated.push_back(std::move(*buf));
  }
  std::vector<std::thread> handles;
  if (auto s = tryReserve(handles, workers); !s) return s;

  // Worker t answers queries t, t + W, t + 2W, …, rotating them in blocks so
  // that the matrix is read once per block instead of once per query.
  auto run = [&](std::size_t t) noexcept {
    SearchContext& ctx = contexts[t];
    float* block = rotated[t].data();
    for (std::size_t first = t; first < n; first += c_query_block * workers) {
      const std::size_t in_block = std::min(c_query_block, (n - first + workers - 1) / workers);
      rotation_.applyBatch(queries + c_dim * first, c_dim * workers, in_block, block, c_dim);
      for (std::size_t b = 0; b < in_block; ++b) {
        const std::size_t q = first + b * workers;
        std::copy_n(block + c_dim * b, c_dim, ctx.rotatedQuery());
        counts[q] = searchRotated(ctx, results.subspan(k * q, k));
      }
    }
  };
  return runOnThreads(workers, handles, run);
}

}  // namespace korvane
