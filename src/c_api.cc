#include "c_api.h"
#include "storage.h"

#include <algorithm>
#include <array>
#include <new>

namespace {

using korvane::c_dim;
using korvane::Index;
using korvane::SearchContext;
using korvane::SearchResult;

// The single searches gather results in a fixed buffer on the stack.
constexpr std::size_t c_max_single_k = 256;

// Runs `body`, turning any escaping exception into `fallback`. The core
// reports errors as values, so this is a last line of defence only.
template <class R, class F>
R guarded(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

std::size_t copyResults(const SearchResult* results, std::size_t count, std::uint64_t* out_ids,
                        float* out_scores) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    out_ids[i] = results[i].id;
    out_scores[i] = results[i].score;
  }
  return count;
}

}  // namespace

extern "C" {

size_t korvane_dim(void) noexcept { return c_dim; }

size_t korvane_routing_bits(void) noexcept { return korvane::c_routing_bits; }

korvane_index* korvane_index_create(size_t ef_construction, uint64_t seed) noexcept {
  return guarded<korvane_index*>(nullptr, [&]() -> korvane_index* {
    auto index = Index::init(ef_construction, seed);
    if (!index) return nullptr;
    return new (std::nothrow) korvane_index{std::move(*index)};
  });
}

void korvane_index_destroy(korvane_index* handle) noexcept {
  delete handle;
}

size_t korvane_index_len(const korvane_index* handle) noexcept {
  return handle == nullptr ? 0 : handle->index.liveCount();
}

int32_t korvane_index_remove(korvane_index* handle, uint64_t id) noexcept {
  if (handle == nullptr) return -1;
  return guarded<int32_t>(-1, [&]() -> int32_t {
    auto removed = handle->index.remove(id);
    return removed && *removed ? 0 : -1;
  });
}

int32_t korvane_index_add(korvane_index* handle, uint64_t id, const float* coords) noexcept {
  if (handle == nullptr || coords == nullptr) return -1;
  return guarded<int32_t>(-1, [&]() -> int32_t {
    auto s = handle->index.add(id, {coords, c_dim});
    return s ? 0 : korvane::errCode(s.error());
  });
}

int32_t korvane_index_add_batch(korvane_index* handle, const uint64_t* ids, const float* coords,
                                size_t n, size_t threads) noexcept {
  if (n == 0) return 0;
  if (handle == nullptr || ids == nullptr || coords == nullptr) return -1;
  return guarded<int32_t>(-1, [&]() -> int32_t {
    auto s = handle->index.addBatch({ids, n}, coords, threads);
    return s ? 0 : korvane::errCode(s.error());
  });
}

korvane_context* korvane_context_create(const korvane_index* handle, size_t m) noexcept {
  if (handle == nullptr || m == 0) return nullptr;
  return guarded<korvane_context*>(nullptr, [&]() -> korvane_context* {
    auto ctx = SearchContext::init(handle->index, m);
    if (!ctx) return nullptr;
    return new (std::nothrow) korvane_context{std::move(*ctx)};
  });
}

void korvane_context_destroy(korvane_context* ctx) noexcept {
  delete ctx;
}

size_t korvane_search(const korvane_index* handle, korvane_context* ctx, const float* query,
                      size_t k, uint64_t* out_ids, float* out_scores) noexcept {
  if (handle == nullptr || ctx == nullptr || query == nullptr || out_ids == nullptr ||
      out_scores == nullptr) {
    return 0;
  }
  return guarded<size_t>(0, [&]() -> size_t {
    std::array<SearchResult, c_max_single_k> results;
    const std::size_t kc = std::min(k, c_max_single_k);
    const std::size_t count =
        handle->index.search(ctx->ctx, query, std::span(results).first(kc));
    return copyResults(results.data(), count, out_ids, out_scores);
  });
}

size_t korvane_search_filtered(const korvane_index* handle, korvane_context* ctx,
                               const float* query, const uint64_t* allowed, size_t allowed_len,
                               size_t k, uint64_t* out_ids, float* out_scores) noexcept {
  if (k == 0) return 0;
  if (handle == nullptr || ctx == nullptr || query == nullptr || out_ids == nullptr ||
      out_scores == nullptr || (allowed == nullptr && allowed_len != 0)) {
    return 0;
  }
  return guarded<size_t>(0, [&]() -> size_t {
    std::array<SearchResult, c_max_single_k> results;
    const std::size_t kc = std::min(k, c_max_single_k);
    const std::size_t count = handle->index.searchFiltered(
        ctx->ctx, query, {allowed, allowed_len}, std::span(results).first(kc));
    return copyResults(results.data(), count, out_ids, out_scores);
  });
}

int32_t korvane_search_batch(const korvane_index* handle, const float* queries, size_t n,
                             size_t k, size_t m, size_t threads, uint64_t* out_ids,
                             float* out_scores, size_t* out_counts) noexcept {
  if (handle == nullptr) return -1;
  // The result buffer's size in bytes must fit in 64 bits.
  constexpr std::size_t c_max_cells = std::size_t{1} << 60;
  if (k != 0 && n >= c_max_cells / k) return -1;
  if (n > 0 && (queries == nullptr || out_counts == nullptr)) return -1;
  if (n > 0 && k > 0 && (out_ids == nullptr || out_scores == nullptr)) return -1;
  return guarded<int32_t>(-1, [&]() -> int32_t {
    // Results and counts are gathered aside and copied only on success, so
    // a failed call writes nothing to the caller's arrays.
    auto results = korvane::Buffer<SearchResult>::make(n * k);
    auto counts = korvane::Buffer<std::size_t>::make(n);
    if (!results || !counts) return -1;
    if (!handle->index.searchBatch(queries, k, results->span(), counts->span(), m, threads)) {
      return -1;
    }
    for (std::size_t q = 0; q < n; ++q) {
      out_counts[q] = (*counts)[q];
      copyResults(results->data() + k * q, (*counts)[q], out_ids + k * q, out_scores + k * q);
    }
    return 0;
  });
}

int32_t korvane_index_save(const korvane_index* handle, const char* path) noexcept {
  if (handle == nullptr || path == nullptr) return -1;
  return guarded<int32_t>(-1,
                          [&]() -> int32_t { return korvane::save(handle->index, path) ? 0 : -1; });
}

korvane_index* korvane_index_load(const char* path) noexcept {
  if (path == nullptr) return nullptr;
  return guarded<korvane_index*>(nullptr, [&]() -> korvane_index* {
    auto loaded = korvane::load(path);
    if (!loaded) return nullptr;
    // Labels are not part of a handle: they go when `loaded` does.
    return new (std::nothrow) korvane_index{std::move(loaded->index)};
  });
}

}  // extern "C"
