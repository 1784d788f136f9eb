// turboquant: the 3-bit payload every stored vector is kept as and the query
// score tables payloads are scored against.
//
// A payload quantizes each of the c_dim rotated components to one of eight
// Lloyd–Max levels of the standard normal distribution after normalising the
// vector by its own mean and standard deviation (optionally after a
// per-component calibration). Code k of chunk c belongs to component 8c + k
// and sits in bits 3k ... 3k + 2 of that chunk, least significant bit first;
// a payload keeps its chunks packed, three bytes each, low byte first (as
// the index file does).
//
// A score table holds c_dim rows of 8 floats: entry 8j + c is the
// contribution of code c at component j to the estimated inner product with
// the query the table was built from.
//
// Floating point: every evaluation order here is fixed (f64 sums for
// per-vector statistics, sequential f32 sums in component order for tables
// and scores, multiplication and addition as separate roundings unless a
// fused multiply-add is stated). The vector kernels are bit-identical to
// their scalar twins.
//
// Thread safety: every function is pure over its arguments and the constant
// tables; none allocates or fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "constants.h"

namespace korvane {

// Eight 3-bit codes in the low 24 bits; the top 8 bits are zero.
struct TQ3Chunk {
  std::uint32_t bits;

  // Code k (0 ... 7) of this chunk.
  std::uint8_t code(std::size_t k) const noexcept {
    return static_cast<std::uint8_t>((bits >> (3 * k)) & 7U);
  }
  friend bool operator==(const TQ3Chunk&, const TQ3Chunk&) = default;
};

static_assert(sizeof(TQ3Chunk) == 4);

// Reconstruction levels of the 3-bit quantizer, indexed by code.
inline constexpr std::array<float, 8> lloyd_max_centroids{
    -2.152f, -1.3439f, -0.756f, -0.2451f, 0.2451f, 0.756f, 1.3439f, 2.152f};

// Ascending decision boundaries between neighbouring centroids.
inline constexpr std::array<float, 7> decision_thresholds{
    -1.748f, -1.05f, -0.5006f, 0.0f, 0.5006f, 1.05f, 1.748f};

// Floor of a payload's `bias_scale` and of a query's quantization scale.
inline constexpr double c_min_scale = 1e-12;

struct TurboQuantPayload {
  static constexpr std::size_t c_chunks = c_dim / 8;  // 384
  static constexpr std::size_t c_chunk_bytes = 3;

  std::uint64_t id;  // the user id of the vector
  // Chunk c in bytes 3c .. 3c + 2, low byte first. The fields that follow
  // keep a 4-byte read of the last chunk inside the record.
  std::array<std::uint8_t, c_chunks * c_chunk_bytes> packed;
  float bias_scale;     // standard deviation after calibration, >= 1e-12
  float bias_shift;     // mean after calibration
  float renorm_scalar;  // |x|^2 / <x, x_hat>, or 1 when <x, x_hat> ~ 0

  // Chunk c (0 ... 383).
  TQ3Chunk chunk(std::size_t c) const noexcept {
    const std::uint8_t* b = packed.data() + c_chunk_bytes * c;
    return TQ3Chunk{std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16};
  }
  void setChunk(std::size_t c, TQ3Chunk chunk) noexcept {
    std::uint8_t* b = packed.data() + c_chunk_bytes * c;
    b[0] = static_cast<std::uint8_t>(chunk.bits);
    b[1] = static_cast<std::uint8_t>(chunk.bits >> 8);
    b[2] = static_cast<std::uint8_t>(chunk.bits >> 16);
  }

  // Code of component j (0 ... c_dim − 1).
  std::uint8_t code(std::size_t j) const noexcept { return chunk(j / 8).code(j % 8); }

  // Encodes the rotated vector `x` (c_dim floats). The calibration is used
  // when both `calib_shift` and `calib_scale` hold c_dim values; otherwise
  // (normally both empty) the vector is encoded plain. A NaN component is
  // not rejected: it yields bias_scale 1e-12, a NaN bias_shift, every code 7
  // and renorm_scalar 1.
  [[nodiscard]] static TurboQuantPayload encodeWithCalibration(
      std::uint64_t id, const float* x, std::span<const float> calib_shift,
      std::span<const float> calib_scale) noexcept;

  // encodeWithCalibration without calibration.
  [[nodiscard]] static TurboQuantPayload encode(std::uint64_t id, const float* x) noexcept {
    return encodeWithCalibration(id, x, {}, {});
  }
};

static_assert(std::is_trivially_copyable_v<TurboQuantPayload>);
static_assert(offsetof(TurboQuantPayload, packed) + 3 * 384 + 8 <= sizeof(TurboQuantPayload),
              "the scoring kernel reads eight bytes past the last group of eight chunks");

// 3-bit code of a normalised value: the number of thresholds passed in
// ascending order before the first one the value is below. A value equal to
// a threshold takes the upper code; NaN gives 7.
[[nodiscard]] std::uint8_t quantizeCoord(float value) noexcept;

// bits = sum of codes[k] << 3k. Codes must be 0 ... 7.
[[nodiscard]] TQ3Chunk packChunk(const std::array<std::uint8_t, 8>& codes) noexcept;

// The constants that go with a score table.
struct LutConstants {
  float a;  // multiplies a payload's bias_shift: sum of the (scaled) query
  float b;  // added to every score: <query, calib_shift>, or 0
};

// Quantizes `values` (n floats) to 3 bits with its own mean and standard
// deviation and writes the decoded values to `out` (n floats, may not
// overlap `values`). The output takes at most eight distinct values and
// preserves the order of the inputs.
void quantizeQuery(const float* values, std::size_t n, float* out) noexcept;

// Fills `table` (c_dim * 8 floats) with q[j] * centroid[c] at 8j + c for the
// query `q` (c_dim floats). Returns { sum of q in component order, 0 }.
LutConstants buildScoreLut(const float* q, float* table) noexcept;

// The table for a calibrated index: with s_j = q[j] * calib_scale[j], entry
// 8j + c is s_j * centroid[c]; returns { sum of s_j, sum of q[j] *
// calib_shift[j] }, both summed in component order. All inputs hold c_dim
// floats.
LutConstants buildScoreLutCalibrated(const float* q, const float* calib_shift,
                                     const float* calib_scale, float* table) noexcept;

// Estimated inner product of the table's query with the payload's vector:
// acc = sum over j = 0 ... c_dim − 1, in that order, of table[8j + code_j];
// result ((acc * bias_scale + a * bias_shift) + b) * renorm_scalar. A NaN
// result is always the default quiet NaN (0x7FC00000), never an input's
// payload.
[[nodiscard]] float scoreLut(const TurboQuantPayload& p, const float* table, float a,
                             float b) noexcept;

// Scores `n` payloads (any n, 0 included) against one table, several at a
// time; out[i] is bit-identical to scoreLut(*payloads[i], table, c.a, c.b).
void scoreLutMany(const TurboQuantPayload* const* payloads, std::size_t n,
                  const float* table, LutConstants c, float* out) noexcept;

}  // namespace korvane
