// rotation: the seeded random orthonormal matrix every vector and query is
// multiplied by, and `dot`, the one 8-lane inner product of the system.
//
// Thread safety: a RandomRotation is never written after it is made; apply,
// applyBatch and dot may run on any number of threads at once.
//
// Layout: `rows` holds c_dim rows of c_dim floats, row-major (row i at
// c_dim * i), 64-byte aligned. Invariant: rows are orthonormal up to
// single-precision arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "buffer.h"
#include "constants.h"
#include "error.h"
#include "isa.h"
#include "random.h"

namespace korvane {

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
  void apply(const float* input, float* output) const noexcept {
    applyWith(bestIsa(), input, output);
  }

  // Rotates `count` vectors, vector v read at input + in_stride * v and
  // written at output + out_stride * v (strides in floats, at least c_dim);
  // every output bit-identical to apply. Blocked so that a block of matrix
  // rows is reused across many vectors.
  void applyBatch(const float* input, std::size_t in_stride, std::size_t count, float* output,
                  std::size_t out_stride) const noexcept {
    applyBatchWith(bestIsa(), input, in_stride, count, output, out_stride);
  }

  // The same with the kernels of `isa`, which the CPU must support
  // (isaSupported): every form gives the same bits, and tests and
  // benchmarks compare them.
  void applyWith(Isa isa, const float* input, float* output) const noexcept;
  void applyBatchWith(Isa isa, const float* input, std::size_t in_stride, std::size_t count,
                      float* output, std::size_t out_stride) const noexcept;

  // Takes ownership of c_dim * c_dim row-major floats.
  static RandomRotation adopt(Buffer<float> rows) noexcept;

  std::span<const float> rows() const noexcept { return rows_.span(); }

 private:
  Buffer<float> rows_;
};

}  // namespace korvane
