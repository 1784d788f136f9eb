// The exported save and load functions.
#include <new>

#include "c_api.h"
#include "storage.h"

namespace {

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

}  // namespace

extern "C" {

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
