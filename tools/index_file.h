// index_file: what `korvane info` shows of an index file — its header
// fields and the sizes of its sections — read from the documented byte
// layout by walking the file, without loading it. Whether the file is
// valid is the loader's answer (korvane_index_load), not this one's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace indexfile {

struct Summary {
  std::uint64_t file_bytes = 0;
  bool has_header = false;  // the 46 header bytes are present
  bool magic_ok = false;    // they start with "TQX5"
  std::uint32_t dimension = 0, max_edges = 0, routing_bits = 0, layer_count = 0;
  std::uint64_t vectors = 0, ef_construction = 0, entry_id = 0;
  std::uint8_t store_kind = 0, calibrated = 0;
  // Filled as far as the walk through the sections got.
  std::vector<std::uint64_t> layer_nodes;
  std::uint64_t deleted = 0;
  bool walked = false;                // every section up to the labels was found
  std::uint64_t bytes_after_labels = 0;  // before the trailer, when there is one
  // The checksum trailer: absent, or present and matching or not.
  enum class Checksum { absent, verified, wrong } checksum = Checksum::absent;
};

// Reads the header and walks the sections of the regular file at `path`.
// Throws std::runtime_error (with the path and the system's reason) when
// the file cannot be opened or is not a regular file.
Summary summarize(const std::string& path);

// "absent", "verified" or "wrong".
const char* checksumName(Summary::Checksum c);

// "none", "fp32", "sq8" or "invalid".
const char* storeName(std::uint8_t kind);

}  // namespace indexfile
