// storage: saving an index to one file and loading it back — the image
// (image.h) over the file handling (file_io.h).
//
// Thread safety: save only reads the index (searches may run beside it;
// insertions, deletions and destruction may not); load touches only the
// file and what it creates.
#pragma once

#include <cstddef>
#include <expected>

#include "error.h"
#include "file_io.h"
#include "image.h"
#include "index.h"

namespace korvane {

// Writes the image of `index` with an empty label per payload to `path`.
// The image streams through a bounded buffer into a new file in the same
// directory, which is flushed to stable storage and renamed over `path`;
// the directory is flushed after. On failure the temporary file is removed
// and whatever was at `path` stays as it was. OutOfMemory, or Unexpected
// for a file-system error.
[[nodiscard]] Status save(const Index& index, const char* path,
                          const FileOps& ops = systemFileOps()) noexcept;

// Reading windows of load.
inline constexpr std::size_t c_load_window = 64 * 1024;

// Reads the index file at `path`. A regular file streams through a window
// of `window_bytes` (at least Reader::c_min_window) straight into the
// index's arrays, so the file is never held twice; anything else (a pipe, a
// device) is read whole first. Any error of deserialize, Unexpected for a
// file-system error, OutOfMemory.
[[nodiscard]] std::expected<LoadedIndex, Error> load(
    const char* path, std::size_t window_bytes = c_load_window) noexcept;

}  // namespace korvane
