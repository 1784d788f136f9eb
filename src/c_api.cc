#include "c_api.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "storage.h"

#ifndef KORVANE_VERSION
#error "the build defines KORVANE_VERSION (the project version)"
#endif

namespace {

using korvane::c_dim;
using korvane::Error;
using korvane::FailureInfo;
using korvane::Index;
using korvane::RerankStore;
using korvane::SearchContext;
using korvane::SearchResult;

// The single searches gather results in a fixed buffer on the stack.
constexpr std::size_t c_max_single_k = 256;

// The reason for the last failed call on each thread, formatted into a
// fixed buffer so that reporting a failure (out of memory included) never
// allocates. A longer message is cut.
constexpr std::size_t c_message_bytes = 1024;
thread_local char t_last_error[c_message_bytes] = "";

[[gnu::format(printf, 1, 2)]] void setError(const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  std::vsnprintf(t_last_error, c_message_bytes, format, args);
  va_end(args);
}

// Paths longer than this are cut in messages.
constexpr int c_path_chars = 400;

// The message of a failed save or load of `path`.
void setFileError(const char* path, Error e, const FailureInfo& why) noexcept {
  if (e == Error::OutOfMemory) {
    setError("out of memory with '%.*s'", c_path_chars, path);
  } else if (why.what == nullptr) {
    setError("'%.*s' cannot be used", c_path_chars, path);
  } else if (why.sys_error != 0) {
    setError("%s '%.*s': %s (errno %d)", why.what, c_path_chars, path,
             std::strerror(why.sys_error), why.sys_error);
  } else if (why.at_offset) {
    setError("'%.*s' is damaged: %s (at byte %" PRIu64 ")", c_path_chars, path, why.what,
             why.offset);
  } else {
    setError("'%.*s' %s", c_path_chars, path, why.what);
  }
}

// The message of a failed insertion or batch.
int32_t insertionFailed(Error e) noexcept {
  switch (e) {
    case Error::OutOfMemory:
      setError("out of memory");
      break;
    case Error::SystemResources:
      setError("a worker thread could not be started");
      break;
    default:
      setError("the insertion failed");
      break;
  }
  return korvane::errCode(e);
}

int32_t nullArgument(const char* function) noexcept {
  setError("%s: a required argument is NULL", function);
  return -1;
}

// Runs `body`, turning any escaping exception into `fallback`. The core
// reports errors as values, so this is a last line of defence only.
template <class R, class F>
R guarded(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    setError("unexpected internal failure");
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

korvane_index* createIndex(size_t ef_construction, uint64_t seed, RerankStore store) noexcept {
  return guarded<korvane_index*>(nullptr, [&]() -> korvane_index* {
    auto index = Index::init(ef_construction, seed, store);
    korvane_index* handle =
        index ? new (std::nothrow) korvane_index{std::move(*index)} : nullptr;
    if (handle == nullptr) setError("out of memory");
    return handle;
  });
}

}  // namespace

extern "C" {

const char* korvane_version(void) noexcept { return KORVANE_VERSION; }

const char* korvane_last_error(void) noexcept { return t_last_error; }

size_t korvane_dim(void) noexcept { return c_dim; }

size_t korvane_routing_bits(void) noexcept { return korvane::c_routing_bits; }

korvane_index* korvane_index_create(size_t ef_construction, uint64_t seed) noexcept {
  return createIndex(ef_construction, seed, RerankStore::sq8);
}

korvane_index* korvane_index_create_with_store(size_t ef_construction, uint64_t seed,
                                               int store) noexcept {
  if (store != KORVANE_STORE_NONE && store != KORVANE_STORE_FP32 && store != KORVANE_STORE_SQ8) {
    setError("unknown rerank store %d (KORVANE_STORE_NONE 0, _FP32 1 or _SQ8 2)", store);
    return nullptr;
  }
  return createIndex(ef_construction, seed, static_cast<RerankStore>(store));
}

int korvane_index_store(const korvane_index* handle) noexcept {
  if (handle == nullptr) return nullArgument("korvane_index_store");
  return static_cast<int>(handle->index.effectiveStore());
}

void korvane_index_destroy(korvane_index* handle) noexcept { delete handle; }

size_t korvane_index_len(const korvane_index* handle) noexcept {
  return handle == nullptr ? 0 : handle->index.liveCount();
}

int korvane_index_contains(const korvane_index* handle, uint64_t id) noexcept {
  return handle != nullptr && handle->index.contains(id) ? 1 : 0;
}

size_t korvane_index_ids(const korvane_index* handle, uint64_t* out_ids, size_t capacity) noexcept {
  if (handle == nullptr || (out_ids == nullptr && capacity > 0)) {
    nullArgument("korvane_index_ids");
    return 0;
  }
  std::size_t written = 0;
  handle->index.forEachLiveId([&](std::uint64_t id) {
    if (written < capacity) out_ids[written] = id;
    ++written;
  });
  return handle->index.liveCount();
}

size_t korvane_index_memory_bytes(const korvane_index* handle) noexcept {
  return handle == nullptr ? 0 : handle->index.memoryBytes();
}

int32_t korvane_index_remove(korvane_index* handle, uint64_t id) noexcept {
  if (handle == nullptr) return nullArgument("korvane_index_remove");
  return guarded<int32_t>(-1, [&]() -> int32_t {
    auto removed = handle->index.remove(id);
    if (removed && *removed) return 0;
    if (!removed) {
      setError("out of memory");
    } else {
      setError("id %" PRIu64 " is not in the index", id);
    }
    return -1;
  });
}

int32_t korvane_index_add(korvane_index* handle, uint64_t id, const float* coords) noexcept {
  if (handle == nullptr || coords == nullptr) return nullArgument("korvane_index_add");
  return guarded<int32_t>(-1, [&]() -> int32_t {
    auto s = handle->index.add(id, {coords, c_dim});
    if (s) return 0;
    if (s.error() == Error::DuplicateId) {
      setError("id %" PRIu64 " is already in the index", id);
      return korvane::errCode(s.error());
    }
    return insertionFailed(s.error());
  });
}

int32_t korvane_index_add_batch(korvane_index* handle, const uint64_t* ids, const float* coords,
                                size_t n, size_t threads) noexcept {
  if (n == 0) return 0;
  if (handle == nullptr || ids == nullptr || coords == nullptr) {
    return nullArgument("korvane_index_add_batch");
  }
  return guarded<int32_t>(-1, [&]() -> int32_t {
    std::size_t at = 0;
    auto s = handle->index.addBatch({ids, n}, coords, threads, &at);
    if (s) return 0;
    if (s.error() == Error::DuplicateId) {
      if (handle->index.contains(ids[at])) {
        setError("id %" PRIu64 " (position %zu of the batch) is already in the index", ids[at],
                 at);
      } else {
        setError("id %" PRIu64 " occurs twice in the batch (again at position %zu)", ids[at],
                 at);
      }
      return korvane::errCode(s.error());
    }
    return insertionFailed(s.error());
  });
}

korvane_context* korvane_context_create(const korvane_index* handle, size_t m) noexcept {
  if (handle == nullptr) {
    nullArgument("korvane_context_create");
    return nullptr;
  }
  if (m == 0) {
    setError("korvane_context_create: m must be at least 1");
    return nullptr;
  }
  return guarded<korvane_context*>(nullptr, [&]() -> korvane_context* {
    auto ctx = SearchContext::init(handle->index, m);
    korvane_context* made = ctx ? new (std::nothrow) korvane_context{std::move(*ctx)} : nullptr;
    if (made == nullptr) setError("out of memory");
    return made;
  });
}

void korvane_context_destroy(korvane_context* ctx) noexcept { delete ctx; }

size_t korvane_search(const korvane_index* handle, korvane_context* ctx, const float* query,
                      size_t k, uint64_t* out_ids, float* out_scores) noexcept {
  if (handle == nullptr || ctx == nullptr || query == nullptr || out_ids == nullptr ||
      out_scores == nullptr) {
    nullArgument("korvane_search");
    return 0;
  }
  return guarded<size_t>(0, [&]() -> size_t {
    std::array<SearchResult, c_max_single_k> results;
    const std::size_t kc = std::min(k, c_max_single_k);
    if (!handle->index.prepareContext(ctx->ctx)) {
      setError("out of memory growing the search context");
      return 0;
    }
    const std::size_t count = handle->index.search(ctx->ctx, query, std::span(results).first(kc));
    return copyResults(results.data(), count, out_ids, out_scores);
  });
}

size_t korvane_search_filtered(const korvane_index* handle, korvane_context* ctx,
                               const float* query, const uint64_t* allowed, size_t allowed_len,
                               size_t k, uint64_t* out_ids, float* out_scores) noexcept {
  if (k == 0) return 0;
  if (handle == nullptr || ctx == nullptr || query == nullptr || out_ids == nullptr ||
      out_scores == nullptr || (allowed == nullptr && allowed_len != 0)) {
    nullArgument("korvane_search_filtered");
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
  if (handle == nullptr) return nullArgument("korvane_search_batch");
  // The result buffer's size in bytes must fit in 64 bits.
  constexpr std::size_t c_max_cells = std::size_t{1} << 60;
  if (k != 0 && n >= c_max_cells / k) {
    setError("korvane_search_batch: n * k (%zu * %zu) is too large", n, k);
    return -1;
  }
  if (n > 0 && (queries == nullptr || out_counts == nullptr)) {
    return nullArgument("korvane_search_batch");
  }
  if (n > 0 && k > 0 && (out_ids == nullptr || out_scores == nullptr)) {
    return nullArgument("korvane_search_batch");
  }
  return guarded<int32_t>(-1, [&]() -> int32_t {
    // Results and counts are gathered aside and copied only on success, so
    // a failed call writes nothing to the caller's arrays.
    auto results = korvane::Buffer<SearchResult>::make(n * k);
    auto counts = korvane::Buffer<std::size_t>::make(n);
    if (!results || !counts) {
      setError("out of memory");
      return -1;
    }
    if (auto s = handle->index.searchBatch(queries, k, results->span(), counts->span(), m, threads);
        !s) {
      setError(s.error() == Error::OutOfMemory ? "out of memory"
                                                : "a worker thread could not be started");
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
  if (handle == nullptr || path == nullptr) return nullArgument("korvane_index_save");
  return guarded<int32_t>(-1, [&]() -> int32_t {
    FailureInfo why;
    auto s = korvane::save(handle->index, path, korvane::systemFileOps(), &why);
    if (s) return 0;
    setFileError(path, s.error(), why);
    return -1;
  });
}

korvane_index* korvane_index_load(const char* path) noexcept {
  if (path == nullptr) {
    nullArgument("korvane_index_load");
    return nullptr;
  }
  return guarded<korvane_index*>(nullptr, [&]() -> korvane_index* {
    FailureInfo why;
    auto loaded = korvane::load(path, korvane::c_load_window, &why);
    if (!loaded) {
      setFileError(path, loaded.error(), why);
      return nullptr;
    }
    // Labels are not part of a handle: they go when `loaded` does.
    korvane_index* handle = new (std::nothrow) korvane_index{std::move(loaded->index)};
    if (handle == nullptr) setError("out of memory");
    return handle;
  });
}

}  // extern "C"
