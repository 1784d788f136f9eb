// rotation: the seeded random orthonormal matrix every vector and query is
// multiplied by, the generators it is drawn from, and `dot`, the one 8-lane
// inner product of the system.
//
// Thread safety: a RandomRotation is never written after it is made; apply,
// applyBatch and dot may run on any number of threads at once.
//
// Layout: `rows` holds c_dim rows of c_dim floats, row-major (row i at
// c_dim * i), 64-byte aligned. Invariant: rows are orthonormal up to
// single-precision arithmetic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "options.h"

namespace korvane {

// SplitMix64: seeds the xoshiro state from one 64-bit value.
struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t next() noexcept;
};

// xoshiro256++, one 64-bit output per step.
struct Xoshiro256pp {
  std::array<std::uint64_t, 4> s;

  // The four state words are the first four SplitMix64 outputs for `seed`.
  static Xoshiro256pp fromSeed(std::uint64_t seed) noexcept;
  std::uint64_t next() noexcept;
};

// A uniform double in [0, 1): mantissa = the low 52 bits of the first output
// r; biased exponent 1022 − z where z is the leading-zero count of r, or,
// when the top 12 bits of r are all zero, 12 plus the leading-zero counts of
// further outputs up to the first non-zero one, at most 1022.
double uniformDouble(Xoshiro256pp& rng) noexcept;

// A standard normal variate by the 256-layer ziggurat method (tail at
// 3.654152885361009), consuming `rng` only.
double standardNormal(Xoshiro256pp& rng) noexcept;

// Inner product in the system's fixed order: eight f32 lanes, lane L gets a
// fused multiply-add of a[i + L] * b[i + L] for i = 0, 8, 16, ...; lanes are
// summed 0 + 1, + 2, ..., + 7 in that order; a tail (n not a multiple of 8)
// is added by fused multiply-adds in index order.
[[nodiscard]] float dot(const float* a, const float* b, std::size_t n) noexcept;

// The same definition one lane at a time with std::fma; the reference the
// vector kernels are tested against.
[[nodiscard]] float dotScalar(const float* a, const float* b, std::size_t n) noexcept;

// Fills one row of n entries, consuming only `rng`.
using RowFill = void (*)(Xoshiro256pp& rng, float* row, std::size_t n);

// The matrix rows' draw: n standard normal variates in column order.
void fillStandardNormal(Xoshiro256pp& rng, float* row, std::size_t n) noexcept;

// Fills the n × n row-major matrix `m` (n a multiple of 8) row by row from
// `fill`, each row reduced by modified Gram–Schmidt against the earlier rows
// (p = dot(row, earlier) from the partly reduced row; row[v] − p·earlier[v]
// with the product rounded before the subtraction), then divided entry by
// entry by its f32 norm; a row whose norm is not above 1e-6 is drawn again
// from the same stream. `blocked` selects the fast, cache-blocked schedule;
// both schedules give bit-identical matrices.
void drawOrthonormal(float* m, std::size_t n, Xoshiro256pp& rng, RowFill fill,
                     bool blocked) noexcept;

class RandomRotation {
 public:
  RandomRotation() noexcept = default;
  RandomRotation(RandomRotation&&) noexcept = default;
  RandomRotation& operator=(RandomRotation&&) noexcept = default;

  // Draws and orthonormalises the matrix for `seed` (modified Gram–Schmidt,
  // row by row, redrawing a degenerate row from the same stream).
  // OutOfMemory leaves nothing allocated.
  [[nodiscard]] static std::expected<RandomRotation, Error> init(std::uint64_t seed) noexcept;

  // The same matrix computed one row at a time, straight from the
  // definition. Much slower; the reference for the blocked `init`.
  [[nodiscard]] static std::expected<RandomRotation, Error> initRowByRow(std::uint64_t seed) noexcept;

  // A rotation holding `rows` (c_dim * c_dim floats) as given, for loading.
  [[nodiscard]] static std::expected<RandomRotation, Error> fromRows(const float* rows) noexcept;

  // output[i] = dot(row i, input) for i = 0 ... c_dim − 1. `input` and
  // `output` hold c_dim floats and do not overlap.
  void apply(const float* input, float* output) const noexcept;

  // Rotates `count` vectors, vector v read at input + in_stride * v and
  // written at output + out_stride * v (strides in floats, at least c_dim);
  // every output bit-identical to apply. Blocked so that a block of matrix
  // rows is reused across many vectors.
  void applyBatch(const float* input, std::size_t in_stride, std::size_t count, float* output,
                  std::size_t out_stride) const noexcept;

  // Takes ownership of c_dim * c_dim row-major floats.
  static RandomRotation adopt(Buffer<float> rows) noexcept;

  std::span<const float> rows() const noexcept { return rows_.span(); }
  void deinit() noexcept { rows_.release(); }

 private:
  Buffer<float> rows_;
};

}  // namespace korvane
