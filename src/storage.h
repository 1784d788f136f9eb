// storage: the index file — one self-contained little-endian image of an
// index — and saving it to / loading it from a file.
//
// Byte layout (frozen; every integer unsigned little-endian at its exact
// width, f32 as its IEEE-754 bit pattern, no padding, no markers between
// sections, bytes after the labels ignored):
//
//   header, 46 bytes
//     0  "TQX5"            4 bytes
//     4  dimension         u32  3072
//     8  max edges         u32  32
//    12  routing bits      u32  3072
//    16  N                 u64  number of payloads, deleted ones included
//    24  ef_construction   u64
//    32  entry_id          u64
//    40  layer count       u32
//    44  rerank store kind u8   0 none, 1 fp32, 2 sq8 (0 when incomplete)
//    45  calibration flag  u8
//   calibration            3072 f32 shifts, 3072 f32 scales (flag != 0 only)
//   rotation               3072 x 3072 f32, row-major
//   payloads               N x 1172: id u64, 384 chunks x 3 bytes (24 code
//                          bits, low byte first), bias_scale, bias_shift,
//                          renorm_scalar (f32 each)
//   rerank store           fp32: N x 3072 f32; sq8: N x 3072 i8, N x f32
//   graph                  per layer, layer 0 first: node count u64, then
//                          per node: id u64, 48 code words u64, edge_count
//                          u32, edge_count neighbour ids u64
//   deletion list          count u64, then count internal ids u64
//   labels                 N x (length u16, that many bytes)
//
// Loading checks, in order (the first failure ends it): magic (< 4 bytes
// CorruptIndex, other bytes NotATqIndex), dimension, max edges and routing
// bits (each read, then checked: DimensionMismatch, MaxEdgesMismatch,
// RoutingBitsMismatch), store kind <= 2, N <= (length - 45) / 8, entry_id <
// N when N > 0; then every section, where anything running past the end of
// the input, a node id, neighbour or deleted id >= N, an edge count above
// 32, a layer node count above remaining / 396 or a deleted count above N
// is CorruptIndex. Beyond these the loaded graph must satisfy every graph
// invariant (graph.h), the live user ids must be distinct and there are at
// most 32 layers; anything else is CorruptIndex too. No input, however
// damaged, makes the loader read outside the input or its own structures,
// and no count is used to size an allocation before the remaining input is
// shown to be able to hold what it counts.
//
// Thread safety: serialize and save only read the index (searches may run
// beside them; insertions, deletions and destruction may not); deserialize
// and load touch only their input and what they create.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <type_traits>
#include <vector>

#include "index.h"
#include "options.h"

namespace korvane {

static_assert(std::endian::native == std::endian::little,
              "bulk arrays are copied as they lie in memory");

// The first four bytes of every index file.
inline constexpr std::array<std::uint8_t, 4> magic{0x54, 0x51, 0x58, 0x35};  // "TQX5"

// Frozen sizes of the format, in bytes.
inline constexpr std::size_t c_header_bytes = 46;
inline constexpr std::size_t c_calibration_bytes = 2 * c_dim * sizeof(float);
inline constexpr std::size_t c_rotation_bytes = c_dim * c_dim * sizeof(float);
inline constexpr std::size_t c_chunk_bytes = 3;
inline constexpr std::size_t c_payload_bytes =
    8 + TurboQuantPayload::c_chunks * c_chunk_bytes + 3 * sizeof(float);  // 1172
inline constexpr std::size_t c_fp32_record_bytes = c_dim * sizeof(float);
inline constexpr std::size_t c_sq8_record_bytes = c_dim + sizeof(float);
// A node record without its neighbour list.
inline constexpr std::size_t c_node_bytes = 8 + sizeof(BitVector) + 4;  // 396
// A loaded graph never has more layers than insertion can create.
inline constexpr std::size_t c_max_layers = c_max_level + 1;
inline constexpr std::size_t c_max_label_bytes = 65535;

static_assert(c_payload_bytes == 1172);
static_assert(c_node_bytes == 396);

// Where a streaming Writer's bytes go: `put` takes the whole span or fails.
struct ByteSink {
  void* context = nullptr;
  Status (*put)(void* context, std::span<const std::uint8_t> bytes) noexcept = nullptr;
};

// Appends fields to a byte array. In memory (the first constructor) every
// byte stays in the array; streaming (the second) the array is a bounded
// buffer that is handed to the sink whenever it would grow past
// `flush_bytes`, and blocks of at least that size bypass it. Either way the
// sequence of bytes produced is the same.
class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& bytes) noexcept : bytes_(&bytes) {}
  Writer(std::vector<std::uint8_t>& buffer, ByteSink sink, std::size_t flush_bytes) noexcept
      : bytes_(&buffer), sink_(sink), flush_bytes_(flush_bytes) {}

  // Appends `data`. OutOfMemory, or the sink's error.
  [[nodiscard]] Status raw(std::span<const std::uint8_t> data) noexcept;
  // Appends the little-endian bytes of an unsigned integer (u8 ... u64).
  template <class T>
  [[nodiscard]] Status integer(T value) noexcept {
    static_assert(std::is_unsigned_v<T>);
    std::array<std::uint8_t, sizeof(T)> le;
    std::memcpy(le.data(), &value, sizeof(T));
    return raw(le);
  }
  // Appends the bit pattern of `value` as a u32.
  [[nodiscard]] Status f32(float value) noexcept {
    return integer(std::bit_cast<std::uint32_t>(value));
  }
  // Streaming: hands what is buffered to the sink. In memory: nothing.
  [[nodiscard]] Status flush() noexcept;

 private:
  std::vector<std::uint8_t>* bytes_;
  ByteSink sink_{};
  std::size_t flush_bytes_ = 0;
};

// Where a streaming Reader's bytes come from: `read` fills exactly `len`
// bytes at `dest` from the current position of the source or fails
// (CorruptIndex when the source ends early).
struct ByteSource {
  void* context = nullptr;
  Status (*read)(void* context, std::uint8_t* dest, std::size_t len) noexcept = nullptr;
};

// A cursor over an image of known length. In memory (the first
// constructor) views point into the caller's input; streaming (the second)
// the bytes are pulled from the source through a window of fixed capacity,
// and views point into the window (valid until the next read). Any read
// that runs past the length fails with CorruptIndex and leaves the position
// where it was.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) noexcept
      : window_(bytes.data()), window_len_(bytes.size()), length_(bytes.size()) {}
  // `window` must hold at least c_min_window bytes; the reader does not own
  // it or the source.
  Reader(ByteSource source, std::uint64_t length, std::span<std::uint8_t> window) noexcept
      : length_(length), source_(source), buffer_(window) {
    window_ = buffer_.data();
  }

  // Streaming windows must hold the largest single field read through raw.
  static constexpr std::size_t c_min_window = 4096;

  std::uint64_t position() const noexcept { return pos_; }
  std::uint64_t remaining() const noexcept { return length_ - pos_; }

  // The next `len` bytes (len <= c_min_window when streaming; longer reads
  // go through copyTo), advancing past them.
  [[nodiscard]] std::expected<std::span<const std::uint8_t>, Error> raw(std::uint64_t len) noexcept;
  // Copies the next `len` bytes to `dest` as one block, advancing past them.
  [[nodiscard]] Status copyTo(void* dest, std::uint64_t len) noexcept;

  template <class T>
  [[nodiscard]] std::expected<T, Error> integer() noexcept {
    static_assert(std::is_unsigned_v<T>);
    auto bytes = raw(sizeof(T));
    if (!bytes) return std::unexpected(bytes.error());
    T value;
    std::memcpy(&value, bytes->data(), sizeof(T));
    return value;
  }
  [[nodiscard]] std::expected<float, Error> f32() noexcept {
    auto bits = integer<std::uint32_t>();
    if (!bits) return std::unexpected(bits.error());
    return std::bit_cast<float>(*bits);
  }

  // `count` when the rest of the input could hold that many items of at
  // least `min_item_bytes` each, else CorruptIndex. Guards every count that
  // sizes an allocation.
  [[nodiscard]] std::expected<std::uint64_t, Error> boundedCount(
      std::uint64_t count, std::uint64_t min_item_bytes) const noexcept {
    if (count > remaining() / min_item_bytes) return std::unexpected(Error::CorruptIndex);
    return count;
  }

 private:
  // Streaming: makes the window hold at least `len` unread bytes.
  [[nodiscard]] Status fill(std::size_t len) noexcept;

  // The window holds bytes [window_pos_, window_pos_ + window_len_) of the
  // image; in memory it is the whole input.
  const std::uint8_t* window_ = nullptr;
  std::size_t window_len_ = 0;
  std::uint64_t window_pos_ = 0;
  std::uint64_t pos_ = 0;
  std::uint64_t length_ = 0;
  ByteSource source_{};
  std::span<std::uint8_t> buffer_{};
};

// One label: uninterpreted bytes, at most 65,535.
using Label = std::span<const std::uint8_t>;

// The result of deserialize: a complete index and one label per payload.
// labels[i] points into label_blob.
struct LoadedIndex {
  Index index;
  std::vector<Label> labels;
  Buffer<std::uint8_t> label_blob;
};

// Exact size of the image serialize(index, labels) produces. Precondition:
// labels.size() == index.payloadCount().
[[nodiscard]] std::uint64_t imageSize(const Index& index, std::span<const Label> labels) noexcept;

// Writes the image of `index` with `labels` (one per payload, in internal-id
// order) to `writer`, then flushes it. Unexpected when labels do not match
// the index (wrong count, a label above 65,535 bytes); else OutOfMemory or
// the sink's error.
[[nodiscard]] Status writeImage(const Index& index, std::span<const Label> labels,
                                Writer& writer) noexcept;

// The whole image in one buffer sized exactly to it. OutOfMemory (or
// Unexpected, as writeImage); the index is never modified.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, Error> serialize(
    const Index& index, std::span<const Label> labels) noexcept;

// Parses a whole image. CorruptIndex, NotATqIndex, DimensionMismatch,
// MaxEdgesMismatch, RoutingBitsMismatch or OutOfMemory; a failure leaves
// nothing allocated. `bytes` is neither kept nor modified.
//
// The loaded index: payloads, rotation, calibration, rerank store (when it
// was complete, else none) and graph nodes as stored; the id map and live
// count rebuilt from the live vectors; tombstones N bits long, or empty when
// nothing is deleted; ef_construction raised to 32; the level generator in
// its initial state; empty scratch.
[[nodiscard]] std::expected<LoadedIndex, Error> deserialize(
    std::span<const std::uint8_t> bytes) noexcept;
// The same from any reader positioned at the start of an image.
[[nodiscard]] std::expected<LoadedIndex, Error> readImage(Reader& reader) noexcept;

// The file operations save uses; tests substitute failing ones.
struct FileOps {
  long (*write)(int fd, const void* data, std::size_t len) noexcept;
  int (*fsync)(int fd) noexcept;
};
// write(2) and fsync(2).
const FileOps& systemFileOps() noexcept;

// Writes the image of `index` with an empty label per payload to `path`.
// The image streams through a bounded buffer into a new file in the same
// directory (permission bits 0666 before the umask), which is flushed to
// stable storage and renamed over `path`; the directory is flushed after.
// On failure the temporary file is removed and whatever was at `path`
// stays as it was. OutOfMemory, or Unexpected for a file-system error.
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
