// image: the index file's format — one self-contained little-endian image
// of an index — written to a Writer and parsed, with every load-time check,
// from a Reader. Nothing here touches the file system.
//
// Byte layout (frozen; every integer unsigned little-endian at its exact
// width, f32 as its IEEE-754 bit pattern, no padding, no markers between
// sections; bytes between the labels and the trailer, or after the labels
// when there is no trailer, are ignored):
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
//   trailer, 24 bytes      optional: every file this library writes ends
//                          with one; a file without one loads unverified
//     0  "TQXC"            4 bytes
//     4  version           u32  1
//     8  covered           u64  the number of bytes before the trailer
//    16  checksum          u64  XXH3-64 (seed 0) of those bytes
//
// The last 24 bytes of an input are its trailer when they start with
// "TQXC" and their covered length is exactly the length before them. Then
// the image is those covered bytes, and a checksum that differs, or a
// version other than 1, is CorruptIndex.
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
// Thread safety: writing only reads the index (searches may run beside it;
// insertions, deletions and destruction may not); parsing touches only its
// input and what it creates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "buffer.h"
#include "coding.h"
#include "constants.h"
#include "error.h"
#include "index.h"

namespace korvane {

// The first four bytes of every index file.
inline constexpr std::array<std::uint8_t, 4> magic{0x54, 0x51, 0x58, 0x35};  // "TQX5"

// The first four bytes of the trailer, and its version.
inline constexpr std::array<std::uint8_t, 4> trailer_magic{0x54, 0x51, 0x58, 0x43};  // "TQXC"
inline constexpr std::uint32_t c_trailer_version = 1;

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
inline constexpr std::size_t c_trailer_bytes = 24;

static_assert(c_payload_bytes == 1172);
static_assert(c_node_bytes == 396);

// One label: uninterpreted bytes, at most 65,535.
using Label = std::span<const std::uint8_t>;

// The result of deserialize: a complete index and one label per payload.
// labels[i] points into label_blob.
struct LoadedIndex {
  Index index;
  std::vector<Label> labels;
  Buffer<std::uint8_t> label_blob;
  // Whether the input had a trailer, whose checksum then matched.
  bool checksum_verified = false;
};

// The trailer of an input.
struct Trailer {
  std::uint64_t covered;   // bytes before the trailer
  std::uint64_t checksum;  // their XXH3-64
};

// The trailer of an input of `length` bytes whose last min(length, 24)
// bytes are `tail`, or nothing when they are not one (see above).
// CorruptIndex for a trailer of another version, noted in `why`.
[[nodiscard]] std::expected<std::optional<Trailer>, Error> findTrailer(
    std::span<const std::uint8_t> tail, std::uint64_t length, FailureInfo* why) noexcept;

// Exact size of the image serialize(index, labels) produces. Precondition:
// labels.size() == index.payloadCount().
[[nodiscard]] std::uint64_t imageSize(const Index& index, std::span<const Label> labels) noexcept;

// Writes the image of `index` with `labels` (one per payload, in internal-id
// order) and its trailer to `writer`, then flushes it. Precondition: nothing
// was written to `writer` before. Unexpected when labels do not match
// the index (wrong count, a label above 65,535 bytes); else OutOfMemory or
// the sink's error.
[[nodiscard]] Status writeImage(const Index& index, std::span<const Label> labels,
                                Writer& writer) noexcept;

// The whole image in one buffer sized exactly to it. OutOfMemory (or
// Unexpected, as writeImage); the index is never modified.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, Error> serialize(
    const Index& index, std::span<const Label> labels) noexcept;

// Parses a whole input: the image, verified against its trailer when it
// has one. CorruptIndex, NotATqIndex, DimensionMismatch, MaxEdgesMismatch,
// RoutingBitsMismatch or OutOfMemory, described in `why` when given; a
// failure leaves nothing allocated. `bytes` is neither kept nor modified.
//
// The loaded index: payloads, rotation, calibration, rerank store (when it
// was complete, else none) and graph nodes as stored; the id map and live
// count rebuilt from the live vectors; tombstones N bits long, or empty when
// nothing is deleted; ef_construction raised to 32; the level generator in
// its initial state; empty scratch.
[[nodiscard]] std::expected<LoadedIndex, Error> deserialize(
    std::span<const std::uint8_t> bytes, FailureInfo* why = nullptr) noexcept;
// The image alone (no trailer) from a reader positioned at its start; a
// failed check is recorded in the reader.
[[nodiscard]] std::expected<LoadedIndex, Error> readImage(Reader& reader) noexcept;
// Fills `why` (when given) from the check the reader recorded, or with
// "out of memory" when none was.
void describeFailure(const Reader& reader, Error error, FailureInfo* why) noexcept;

}  // namespace korvane
