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

// Writes the image of `index` with an empty label per payload, and its
// trailer, to `path` through a ReplacementFile (file_io.h): streamed
// through a bounded buffer into a new file beside the target, flushed and
// renamed over it. On failure whatever was at `path` stays as it was.
// OutOfMemory, or Unexpected for a file-system error, described in `why`.
[[nodiscard]] Status save(const Index& index, const char* path,
                          const FileOps& ops = systemFileOps(), FailureInfo* why = nullptr) noexcept;

// Reading windows of load.
inline constexpr std::size_t c_load_window = 64 * 1024;

// Reads the index file at `path`, which must be a regular file. It streams
// through a window of `window_bytes` (at least Reader::c_min_window)
// straight into the index's arrays, so the file is never held twice, and
// the checksum of its trailer, when it has one, is computed on the way and
// compared at the end. Any error of deserialize, Unexpected for a
// file-system error, OutOfMemory; described in `why`.
[[nodiscard]] std::expected<LoadedIndex, Error> load(const char* path,
                                                     std::size_t window_bytes = c_load_window,
                                                     FailureInfo* why = nullptr) noexcept;

}  // namespace korvane
