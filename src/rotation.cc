#include "rotation.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace korvane {

namespace {

// Row length of the rotation matrix.
constexpr std::size_t c_row = c_dim;

// Sum of the eight lanes strictly in lane order.
inline float sumLanes(__m256 acc) noexcept {
  alignas(32) float lane[8];
  _mm256_store_ps(lane, acc);
  return ((((((lane[0] + lane[1]) + lane[2]) + lane[3]) + lane[4]) + lane[5]) + lane[6]) +
         lane[7];
}

// The components past the last whole group of eight, by fused multiply-adds
// in index order.
inline float dotTail(float total, const float* a, const float* b, std::size_t n) noexcept {
  const std::size_t whole = n / 8 * 8;
  for (std::size_t k = 0; k < n % 8; ++k) total = std::fma(a[whole + k], b[whole + k], total);
  return total;
}

// Four inner products against one shared vector, each in the order of `dot`:
// four independent accumulator chains hide the latency of the fused
// multiply-add without changing any lane's sequence of operations.
inline void dot4(const float* a0, const float* a1, const float* a2, const float* a3,
                 const float* b, std::size_t n, float* out) noexcept {
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  __m256 s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 vb = _mm256_loadu_ps(b + i);
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a0 + i), vb, s0);
    s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a1 + i), vb, s1);
    s2 = _mm256_fmadd_ps(_mm256_loadu_ps(a2 + i), vb, s2);
    s3 = _mm256_fmadd_ps(_mm256_loadu_ps(a3 + i), vb, s3);
  }
  out[0] = dotTail(sumLanes(s0), a0, b, n);
  out[1] = dotTail(sumLanes(s1), a1, b, n);
  out[2] = dotTail(sumLanes(s2), a2, b, n);
  out[3] = dotTail(sumLanes(s3), a3, b, n);
}

}  // namespace

float dot(const float* a, const float* b, std::size_t n) noexcept {
  __m256 acc = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
  }
  return dotTail(sumLanes(acc), a, b, n);
}

float dotScalar(const float* a, const float* b, std::size_t n) noexcept {
  float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t l = 0; l < 8; ++l) lane[l] = std::fma(a[i + l], b[i + l], lane[l]);
  }
  float total = lane[0];
  for (std::size_t l = 1; l < 8; ++l) total = total + lane[l];
  return dotTail(total, a, b, n);
}

namespace {

// row ← row − p·basis (product rounded to f32, then the subtraction: never
// fused), and returns dot(new row, next) accumulated in the same pass in the
// order of `dot`; `next` may be the row itself (its squared norm) or null.
float subtractAndDot(float* row, float p, const float* basis, const float* next,
                     std::size_t n) noexcept {
  const __m256 vp = _mm256_set1_ps(p);
  __m256 acc = _mm256_setzero_ps();
  for (std::size_t i = 0; i < n; i += 8) {
    const __m256 nv =
        _mm256_sub_ps(_mm256_loadu_ps(row + i), _mm256_mul_ps(vp, _mm256_loadu_ps(basis + i)));
    _mm256_storeu_ps(row + i, nv);
    if (next == row) {
      acc = _mm256_fmadd_ps(nv, nv, acc);
    } else if (next != nullptr) {
      acc = _mm256_fmadd_ps(nv, _mm256_loadu_ps(next + i), acc);
    }
  }
  return sumLanes(acc);
}

// subtractAndDot for four rows against one basis row and one `next` row
// (never one of the four): the basis and next chunks are loaded once for all
// four, and four independent chains keep the FMA unit busy.
void subtractAndDot4(float* const* rows, float* p, const float* basis, const float* next,
                     std::size_t n) noexcept {
  const __m256 p0 = _mm256_set1_ps(p[0]), p1 = _mm256_set1_ps(p[1]);
  const __m256 p2 = _mm256_set1_ps(p[2]), p3 = _mm256_set1_ps(p[3]);
  float* r0 = rows[0];
  float* r1 = rows[1];
  float* r2 = rows[2];
  float* r3 = rows[3];
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
  __m256 a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  if (next != nullptr) {
    for (std::size_t i = 0; i < n; i += 8) {
      const __m256 b = _mm256_loadu_ps(basis + i);
      const __m256 nx = _mm256_loadu_ps(next + i);
      const __m256 n0 = _mm256_sub_ps(_mm256_loadu_ps(r0 + i), _mm256_mul_ps(p0, b));
      const __m256 n1 = _mm256_sub_ps(_mm256_loadu_ps(r1 + i), _mm256_mul_ps(p1, b));
      const __m256 n2 = _mm256_sub_ps(_mm256_loadu_ps(r2 + i), _mm256_mul_ps(p2, b));
      const __m256 n3 = _mm256_sub_ps(_mm256_loadu_ps(r3 + i), _mm256_mul_ps(p3, b));
      _mm256_storeu_ps(r0 + i, n0);
      _mm256_storeu_ps(r1 + i, n1);
      _mm256_storeu_ps(r2 + i, n2);
      _mm256_storeu_ps(r3 + i, n3);
      a0 = _mm256_fmadd_ps(n0, nx, a0);
      a1 = _mm256_fmadd_ps(n1, nx, a1);
      a2 = _mm256_fmadd_ps(n2, nx, a2);
      a3 = _mm256_fmadd_ps(n3, nx, a3);
    }
    p[0] = sumLanes(a0);
    p[1] = sumLanes(a1);
    p[2] = sumLanes(a2);
    p[3] = sumLanes(a3);
  } else {
    for (std::size_t i = 0; i < n; i += 8) {
      const __m256 b = _mm256_loadu_ps(basis + i);
      _mm256_storeu_ps(r0 + i, _mm256_sub_ps(_mm256_loadu_ps(r0 + i), _mm256_mul_ps(p0, b)));
      _mm256_storeu_ps(r1 + i, _mm256_sub_ps(_mm256_loadu_ps(r1 + i), _mm256_mul_ps(p1, b)));
      _mm256_storeu_ps(r2 + i, _mm256_sub_ps(_mm256_loadu_ps(r2 + i), _mm256_mul_ps(p2, b)));
      _mm256_storeu_ps(r3 + i, _mm256_sub_ps(_mm256_loadu_ps(r3 + i), _mm256_mul_ps(p3, b)));
    }
  }
}

// Reduces `row` against finished rows first .. last−1 of `m` in increasing
// order, starting from p = dot(row, row first), and returns its f32 norm.
// Each inner product is taken from the row as already reduced by the earlier
// rows, exactly as modified Gram–Schmidt defines it.
float reduceRow(const float* m, float* row, std::size_t first, std::size_t last, float p,
                std::size_t n) noexcept {
  for (std::size_t l = first; l < last; ++l) {
    const float* next = l + 1 < last ? m + n * (l + 1) : row;
    p = subtractAndDot(row, p, m + n * l, next, n);
  }
  if (first == last) p = dot(row, row, n);
  return std::sqrt(p);
}

// Divides by the norm when the row is usable; false means it must be
// redrawn (norm at or below 1e-6, or not a number).
bool normaliseRow(float* row, float norm, std::size_t n) noexcept {
  if (!(norm > 1e-6f)) return false;
  for (std::size_t v = 0; v < n; ++v) row[v] = row[v] / norm;
  return true;
}

// Draws, reduces against rows 0 .. j−1 and normalises row j, redrawing
// from the same stream until it is usable.
void finishRowFromScratch(float* m, std::size_t j, std::size_t n, Xoshiro256pp& rng,
                          RowFill fill) noexcept {
  float* row = m + n * j;
  for (;;) {
    fill(rng, row, n);
    const float p = j > 0 ? dot(row, m, n) : 0.0f;
    if (normaliseRow(row, reduceRow(m, row, 0, j, p, n), n)) return;
  }
}

// Rows are reduced in blocks: the rows of a block are drawn ahead, then
// every finished row is subtracted from all of them while it is in cache
// (read from memory once per block instead of once per row). Each row still
// sees exactly the operations, in exactly the order, of the row-by-row
// definition, so the result is bit-identical.
constexpr std::size_t c_block = 64;

void orthonormaliseBlocked(float* m, std::size_t n, Xoshiro256pp& rng, RowFill fill) noexcept {
  std::array<Xoshiro256pp, c_block> after_fill;  // stream state after each row's draw
  std::array<float, c_block> p;
  std::size_t j0 = 0;
  while (j0 < n) {
    const std::size_t b = std::min(c_block, n - j0);
    for (std::size_t k = 0; k < b; ++k) {
      fill(rng, m + n * (j0 + k), n);
      after_fill[k] = rng;
    }
    // Against the finished rows 0 .. j0−1, four block rows at a time.
    if (j0 > 0) {
      for (std::size_t k = 0; k < b; ++k) p[k] = dot(m + n * (j0 + k), m, n);
      const std::size_t b4 = b / 4 * 4;
      for (std::size_t l = 0; l < j0; ++l) {
        const float* basis = m + n * l;
        const float* next = l + 1 < j0 ? m + n * (l + 1) : nullptr;
        for (std::size_t k = 0; k < b4; k += 4) {
          float* rows[4] = {m + n * (j0 + k), m + n * (j0 + k + 1), m + n * (j0 + k + 2),
                            m + n * (j0 + k + 3)};
          subtractAndDot4(rows, p.data() + k, basis, next, n);
        }
        for (std::size_t k = b4; k < b; ++k) {
          p[k] = subtractAndDot(m + n * (j0 + k), p[k], basis, next, n);
        }
      }
    }
    // Within the block, row by row.
    std::size_t done = b;
    for (std::size_t k = 0; k < b; ++k) {
      const std::size_t j = j0 + k;
      float* row = m + n * j;
      const float pk = k > 0 ? dot(row, m + n * j0, n) : 0.0f;
      if (normaliseRow(row, reduceRow(m, row, j0, j, pk, n), n)) continue;
      // Degenerate row: redraw it from the stream as it stood after its
      // draw; the block's later rows were drawn from a stream that no longer
      // applies, so the block ends here.
      rng = after_fill[k];
      finishRowFromScratch(m, j, n, rng, fill);
      done = k + 1;
      break;
    }
    j0 += done;
  }
}

void orthonormaliseRowByRow(float* m, std::size_t n, Xoshiro256pp& rng, RowFill fill) noexcept {
  for (std::size_t j = 0; j < n; ++j) {
    float* row = m + n * j;
    for (;;) {
      fill(rng, row, n);
      for (std::size_t l = 0; l < j; ++l) {
        const float* basis = m + n * l;
        const float pl = dot(row, basis, n);
        for (std::size_t v = 0; v < n; ++v) row[v] = row[v] - pl * basis[v];
      }
      if (normaliseRow(row, std::sqrt(dot(row, row, n)), n)) break;
    }
  }
}

}  // namespace

void fillStandardNormal(Xoshiro256pp& rng, float* row, std::size_t n) noexcept {
  for (std::size_t v = 0; v < n; ++v) row[v] = static_cast<float>(standardNormal(rng));
}

void drawOrthonormal(float* m, std::size_t n, Xoshiro256pp& rng, RowFill fill,
                     bool blocked) noexcept {
  if (blocked) {
    orthonormaliseBlocked(m, n, rng, fill);
  } else {
    orthonormaliseRowByRow(m, n, rng, fill);
  }
}

namespace {

std::expected<RandomRotation, Error> drawRotation(std::uint64_t seed, bool blocked) noexcept {
  auto rows = Buffer<float>::make(c_dim * c_dim);
  if (!rows) return std::unexpected(rows.error());
  Xoshiro256pp rng = Xoshiro256pp::fromSeed(seed);
  drawOrthonormal(rows->data(), c_dim, rng, fillStandardNormal, blocked);
  return RandomRotation::adopt(std::move(*rows));
}

}  // namespace

std::expected<RandomRotation, Error> RandomRotation::init(std::uint64_t seed) noexcept {
  return drawRotation(seed, true);
}

std::expected<RandomRotation, Error> RandomRotation::initRowByRow(std::uint64_t seed) noexcept {
  return drawRotation(seed, false);
}

RandomRotation RandomRotation::adopt(Buffer<float> rows) noexcept {
  RandomRotation r;
  r.rows_ = std::move(rows);
  return r;
}

std::expected<RandomRotation, Error> RandomRotation::fromRows(const float* rows) noexcept {
  auto buf = Buffer<float>::make(c_dim * c_dim);
  if (!buf) return std::unexpected(buf.error());
  std::memcpy(buf->data(), rows, c_dim * c_dim * sizeof(float));
  return adopt(std::move(*buf));
}

namespace {

// 4 rows × 3 vectors of inner products in one pass: twelve independent
// accumulators, each following the lane order of `dot` exactly.
void dot4x3(const float* m, const float* x0, const float* x1, const float* x2,
            float* out0, float* out1, float* out2) noexcept {
  __m256 acc[4][3];
  for (auto& r : acc) {
    for (auto& a : r) a = _mm256_setzero_ps();
  }
  const float* r0 = m;
  const float* r1 = m + c_row;
  const float* r2 = m + 2 * c_row;
  const float* r3 = m + 3 * c_row;
  for (std::size_t i = 0; i < c_row; i += 8) {
    const __m256 v0 = _mm256_loadu_ps(x0 + i);
    const __m256 v1 = _mm256_loadu_ps(x1 + i);
    const __m256 v2 = _mm256_loadu_ps(x2 + i);
    const __m256 w0 = _mm256_loadu_ps(r0 + i);
    const __m256 w1 = _mm256_loadu_ps(r1 + i);
    const __m256 w2 = _mm256_loadu_ps(r2 + i);
    const __m256 w3 = _mm256_loadu_ps(r3 + i);
    acc[0][0] = _mm256_fmadd_ps(w0, v0, acc[0][0]);
    acc[0][1] = _mm256_fmadd_ps(w0, v1, acc[0][1]);
    acc[0][2] = _mm256_fmadd_ps(w0, v2, acc[0][2]);
    acc[1][0] = _mm256_fmadd_ps(w1, v0, acc[1][0]);
    acc[1][1] = _mm256_fmadd_ps(w1, v1, acc[1][1]);
    acc[1][2] = _mm256_fmadd_ps(w1, v2, acc[1][2]);
    acc[2][0] = _mm256_fmadd_ps(w2, v0, acc[2][0]);
    acc[2][1] = _mm256_fmadd_ps(w2, v1, acc[2][1]);
    acc[2][2] = _mm256_fmadd_ps(w2, v2, acc[2][2]);
    acc[3][0] = _mm256_fmadd_ps(w3, v0, acc[3][0]);
    acc[3][1] = _mm256_fmadd_ps(w3, v1, acc[3][1]);
    acc[3][2] = _mm256_fmadd_ps(w3, v2, acc[3][2]);
  }
  for (std::size_t r = 0; r < 4; ++r) {
    out0[r] = sumLanes(acc[r][0]);
    out1[r] = sumLanes(acc[r][1]);
    out2[r] = sumLanes(acc[r][2]);
  }
}

// Tiles of c_rows_per_block matrix rows (384 KiB) by a few dozen vectors
// (up to 384 KiB) fit the L2 cache together: each row block is applied to
// every vector of the tile before moving on, so the matrix streams from
// memory once per tile instead of once per vector. Every output is still
// one `dot` in its fixed order, whatever the tile sizes.
constexpr std::size_t c_rows_per_block = 32;

void applyAvx2(const float* m, const float* input, float* output) noexcept {
  for (std::size_t i = 0; i < c_dim; i += 4) {
    dot4(m + c_row * i, m + c_row * (i + 1), m + c_row * (i + 2), m + c_row * (i + 3), input,
         c_dim, output + i);
  }
}

void applyBatchAvx2(const float* m, const float* input, std::size_t in_stride, std::size_t count,
                    float* output, std::size_t out_stride) noexcept {
  constexpr std::size_t c_vectors_per_tile = 32;
  for (std::size_t v0 = 0; v0 < count; v0 += c_vectors_per_tile) {
    const std::size_t v_end = std::min(count, v0 + c_vectors_per_tile);
    for (std::size_t r0 = 0; r0 < c_dim; r0 += c_rows_per_block) {
      std::size_t v = v0;
      for (; v + 3 <= v_end; v += 3) {
        const float* x = input + in_stride * v;
        float* y = output + out_stride * v;
        for (std::size_t r = r0; r < r0 + c_rows_per_block; r += 4) {
          dot4x3(m + c_row * r, x, x + in_stride, x + 2 * in_stride, y + r, y + out_stride + r,
                 y + 2 * out_stride + r);
        }
      }
      for (; v < v_end; ++v) {
        const float* x = input + in_stride * v;
        float* y = output + out_stride * v;
        for (std::size_t r = r0; r < r0 + c_rows_per_block; r += 4) {
          dot4(m + c_row * r, m + c_row * (r + 1), m + c_row * (r + 2), m + c_row * (r + 3), x,
               c_dim, y + r);
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// AVX-512. One 512-bit register carries two independent 8-lane
// accumulations — two matrix rows against one vector: lanes 0-7 belong to
// the first row, lanes 8-15 to the second — with exactly the fused
// multiply-adds of `dot` in every lane, and each half's lanes are summed in
// lane order. Every result is therefore bit-identical to the 8-lane form.

#define KORVANE_AVX512 __attribute__((target("avx512f,avx512vl,avx512dq")))

// Eight components of row a in lanes 0-7, of row b in lanes 8-15.
KORVANE_AVX512 inline __m512 rowPair(const float* a, const float* b) noexcept {
  return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(a)), _mm256_loadu_ps(b), 1);
}

// Eight components of a vector in both halves.
KORVANE_AVX512 inline __m512 bothHalves(const float* x) noexcept {
  // (the zero-masking form: GCC 12 warns about the plain one's unset source)
  return _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_loadu_ps(x));
}

// The two 8-lane sums of `acc`, each strictly in lane order.
KORVANE_AVX512 inline void sumHalves(__m512 acc, float* first, float* second) noexcept {
  alignas(64) float lane[16];
  _mm512_store_ps(lane, acc);
  *first = ((((((lane[0] + lane[1]) + lane[2]) + lane[3]) + lane[4]) + lane[5]) + lane[6]) +
           lane[7];
  *second = ((((((lane[8] + lane[9]) + lane[10]) + lane[11]) + lane[12]) + lane[13]) + lane[14]) +
            lane[15];
}

// Rows m .. m + 7 (c_row apart) against one vector: out[0 .. 7].
KORVANE_AVX512 void dot8x1(const float* m, const float* x, float* out) noexcept {
  __m512 acc[4];
#pragma GCC unroll 4
  for (auto& a : acc) a = _mm512_setzero_ps();
  for (std::size_t i = 0; i < c_row; i += 8) {
    const __m512 v = bothHalves(x + i);
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      acc[k] = _mm512_fmadd_ps(rowPair(m + c_row * (2 * k) + i, m + c_row * (2 * k + 1) + i), v,
                               acc[k]);
    }
  }
#pragma GCC unroll 4
  for (std::size_t k = 0; k < 4; ++k) sumHalves(acc[k], out + 2 * k, out + 2 * k + 1);
}

// Rows m .. m + 7 against six vectors x + stride * v: output v, rows r ..
// r + 7, at y + out_stride * v. Twenty-four accumulators (48 dot products)
// keep the loads per fused multiply-add low enough for the L2 cache to
// keep up.
KORVANE_AVX512 void dot8x6(const float* m, const float* x, std::size_t stride, float* y,
                           std::size_t out_stride) noexcept {
  constexpr std::size_t c_vectors = 6;
  __m512 acc[4][c_vectors];
#pragma GCC unroll 4
  for (auto& pair : acc) {
#pragma GCC unroll 6
    for (auto& a : pair) a = _mm512_setzero_ps();
  }
  for (std::size_t i = 0; i < c_row; i += 8) {
    __m512 rows[4];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      rows[k] = rowPair(m + c_row * (2 * k) + i, m + c_row * (2 * k + 1) + i);
    }
#pragma GCC unroll 6
    for (std::size_t v = 0; v < c_vectors; ++v) {
      const __m512 xv = bothHalves(x + stride * v + i);
#pragma GCC unroll 4
      for (std::size_t k = 0; k < 4; ++k) acc[k][v] = _mm512_fmadd_ps(rows[k], xv, acc[k][v]);
    }
  }
#pragma GCC unroll 6
  for (std::size_t v = 0; v < c_vectors; ++v) {
    float* out = y + out_stride * v;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) sumHalves(acc[k][v], out + 2 * k, out + 2 * k + 1);
  }
}

KORVANE_AVX512 void applyAvx512(const float* m, const float* input, float* output) noexcept {
  for (std::size_t i = 0; i < c_dim; i += 8) dot8x1(m + c_row * i, input, output + i);
}

KORVANE_AVX512 void applyBatchAvx512(const float* m, const float* input, std::size_t in_stride,
                                     std::size_t count, float* output,
                                     std::size_t out_stride) noexcept {
  constexpr std::size_t c_vectors_per_tile = 30;  // five groups of six
  for (std::size_t v0 = 0; v0 < count; v0 += c_vectors_per_tile) {
    const std::size_t v_end = std::min(count, v0 + c_vectors_per_tile);
    for (std::size_t r0 = 0; r0 < c_dim; r0 += c_rows_per_block) {
      std::size_t v = v0;
      for (; v + 6 <= v_end; v += 6) {
        for (std::size_t r = r0; r < r0 + c_rows_per_block; r += 8) {
          dot8x6(m + c_row * r, input + in_stride * v, in_stride, output + out_stride * v + r,
                 out_stride);
        }
      }
      for (; v < v_end; ++v) {
        for (std::size_t r = r0; r < r0 + c_rows_per_block; r += 8) {
          dot8x1(m + c_row * r, input + in_stride * v, output + out_stride * v + r);
        }
      }
    }
  }
}

}  // namespace

void RandomRotation::applyWith(Isa isa, const float* input, float* output) const noexcept {
  if (isa == Isa::avx512) {
    applyAvx512(rows_.data(), input, output);
  } else {
    applyAvx2(rows_.data(), input, output);
  }
}

void RandomRotation::applyBatchWith(Isa isa, const float* input, std::size_t in_stride,
                                    std::size_t count, float* output,
                                    std::size_t out_stride) const noexcept {
  if (isa == Isa::avx512) {
    applyBatchAvx512(rows_.data(), input, in_stride, count, output, out_stride);
  } else {
    applyBatchAvx2(rows_.data(), input, in_stride, count, output, out_stride);
  }
}

}  // namespace korvane
