#include "turboquant.h"

#include <immintrin.h>

#include <cmath>

#include "nan.h"

namespace korvane {

namespace {

// A vector's own quantization frame: components are normalised as
// (v − shift) / scale before quantizeCoord and reconstructed as
// scale * centroid + shift.
struct Frame {
  float scale;
  float shift;
};

// The frame of n values from their f64 sum and sum of squares: population
// mean and standard deviation. A negative or NaN variance (rounding, or a
// NaN component) counts as 0; the standard deviation is floored at
// c_min_scale.
Frame frameFromSums(double sum, double sum_sq, std::size_t n) noexcept {
  const double dim_f = static_cast<double>(n);
  const double mean = sum / dim_f;
  double variance = sum_sq / dim_f - mean * mean;
  if (!(variance >= 0.0)) variance = 0.0;
  const double std_dev = std::sqrt(variance);
  const double scale = std_dev > c_min_scale ? std_dev : c_min_scale;
  return {static_cast<float>(scale), static_cast<float>(mean)};
}

// One rounding per operation: -ffp-contract=off keeps the multiplication
// and the addition apart.
inline float reconstruct(Frame f, std::uint8_t code) noexcept {
  const float scaled = f.scale * lloyd_max_centroids[code];
  return scaled + f.shift;
}

inline std::uint8_t quantizeInFrame(Frame f, float v) noexcept {
  const float e = (v - f.shift) / f.scale;
  return quantizeCoord(e);
}

// The same quantizer on eight lanes. Every lane performs exactly the f32
// operations of quantizeInFrame and reconstruct, so results are identical;
// only the f64 sums have to stay sequential.
struct LaneFrame {
  __m256 scale;
  __m256 shift;

  explicit LaneFrame(Frame f) noexcept
      : scale(_mm256_set1_ps(f.scale)), shift(_mm256_set1_ps(f.shift)) {}
};

inline __m256i quantize8(const LaneFrame& f, __m256 v) noexcept {
  const __m256 e = _mm256_div_ps(_mm256_sub_ps(v, f.shift), f.scale);
  // A lane's code counts the thresholds it is not below; "not less than,
  // unordered" is true for NaN, which therefore gets 7 as in quantizeCoord.
  __m256i code = _mm256_setzero_si256();
#pragma GCC unroll 7
  for (float t : decision_thresholds) {
    const __m256 passed = _mm256_cmp_ps(e, _mm256_set1_ps(t), _CMP_NLT_UQ);
    code = _mm256_sub_epi32(code, _mm256_castps_si256(passed));
  }
  return code;
}

inline __m256 reconstruct8(const LaneFrame& f, __m256i code) noexcept {
  const __m256 centroid =
      _mm256_permutevar8x32_ps(_mm256_loadu_ps(lloyd_max_centroids.data()), code);
  return _mm256_add_ps(_mm256_mul_ps(f.scale, centroid), f.shift);
}

// packChunk of eight codes held one per lane.
inline TQ3Chunk pack8(__m256i code) noexcept {
  const __m256i shifted = _mm256_sllv_epi32(code, _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21));
  __m128i v = _mm_or_si128(_mm256_castsi256_si128(shifted), _mm256_extracti128_si256(shifted, 1));
  v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return TQ3Chunk{static_cast<std::uint32_t>(_mm_cvtsi128_si32(v))};
}

// d_j for components 8c ... 8c + 7: x itself, or (x − calib_shift) /
// calib_scale in f32.
template <bool Calibrated>
inline __m256 calibrated8(const float* x, const float* calib_shift, const float* calib_scale,
                          std::size_t c) noexcept {
  const __m256 xv = _mm256_loadu_ps(x + 8 * c);
  if constexpr (Calibrated) {
    const __m256 centred = _mm256_sub_ps(xv, _mm256_loadu_ps(calib_shift + 8 * c));
    return _mm256_div_ps(centred, _mm256_loadu_ps(calib_scale + 8 * c));
  } else {
    return xv;
  }
}

// Pass 2 of encoding: writes the packed chunks and returns <x, x_hat>, summed in
// component order. d is recomputed rather than stored; the same two f32
// operations give the same value as in pass 1. Kept apart from pass 1 so
// that the compiler holds the dependent f64 chain in a register.
template <bool Calibrated>
[[gnu::noinline]] double encodeChunks(const float* x, const float* calib_shift,
                                      const float* calib_scale, Frame frame,
                                      TurboQuantPayload& p) noexcept {
  const LaneFrame lane_frame(frame);
  alignas(32) float lanes[8];
  double inner = 0.0;
  for (std::size_t c = 0; c < TurboQuantPayload::c_chunks; ++c) {
    const __m256i code =
        quantize8(lane_frame, calibrated8<Calibrated>(x, calib_shift, calib_scale, c));
    __m256 reconstructed = reconstruct8(lane_frame, code);
    if constexpr (Calibrated) {
      const __m256 scaled = _mm256_mul_ps(reconstructed, _mm256_loadu_ps(calib_scale + 8 * c));
      reconstructed = _mm256_add_ps(scaled, _mm256_loadu_ps(calib_shift + 8 * c));
    }
    _mm256_store_ps(lanes, reconstructed);
    // Both factors are widened before the product: the statistics are f64
    // throughout.
    for (std::size_t k = 0; k < 8; ++k) {
      inner += static_cast<double>(x[8 * c + k]) * static_cast<double>(lanes[k]);
    }
    p.setChunk(c, pack8(code));
  }
  return inner;
}

template <bool Calibrated>
TurboQuantPayload encodeImpl(std::uint64_t id, const float* x, const float* calib_shift,
                             const float* calib_scale) noexcept {
  // Pass 1: the f64 statistics of d in component order, and |x|^2. Without
  // calibration d is x and the two sums of squares are the same operations,
  // so one serves for both.
  double sum = 0.0;
  double sum_sq = 0.0;
  double norm_sq = 0.0;
  alignas(32) float lanes[8];
  for (std::size_t c = 0; c < TurboQuantPayload::c_chunks; ++c) {
    _mm256_store_ps(lanes, calibrated8<Calibrated>(x, calib_shift, calib_scale, c));
    for (std::size_t k = 0; k < 8; ++k) {
      const double v = static_cast<double>(lanes[k]);
      sum += v;
      sum_sq += v * v;
      if constexpr (Calibrated) {
        const double xj = static_cast<double>(x[8 * c + k]);
        norm_sq += xj * xj;
      }
    }
  }
  if constexpr (!Calibrated) norm_sq = sum_sq;
  const Frame frame = frameFromSums(sum, sum_sq, c_dim);

  TurboQuantPayload p;
  p.id = id;
  const double inner =
      encodeChunks<Calibrated>(x, calib_shift, calib_scale, frame, p);
  p.bias_scale = frame.scale;
  p.bias_shift = frame.shift;
  // A NaN inner product fails the comparison as well and keeps 1.
  p.renorm_scalar = std::fabs(inner) > 1e-12 ? static_cast<float>(norm_sq / inner) : 1.0f;
  return p;
}

// The last three operations of a payload score, shared by scoreLut and
// scoreLutMany so that both round identically.
inline float finishScore(float acc, const TurboQuantPayload& p, float a, float b) noexcept {
  const float scaled = acc * p.bias_scale;
  const float shifted = a * p.bias_shift;
  const float sum = scaled + shifted;
  const float biased = sum + b;
  return canonicalNan(biased * p.renorm_scalar);
}

// In-register transpose of an 8 x 8 block of 32-bit values: on return r[i]
// holds element i of every input row, row 0 in lane 0.
inline void transpose8x8(__m256i r[8]) noexcept {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
  const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
  const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]);
  const __m256i t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]);
  const __m256i t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
  const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
  const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
  const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
  const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// Table sums of G groups of eight payloads, one payload per lane: acc[g]
// lane i is the sum for ps[8g + i].
//
// A table row is exactly one 256-bit register, so vpermps with the lanes'
// codes as indices looks up row j for eight payloads in one instruction
// (it reads only the low three bits of each index, so the packed chunk
// shifted right by 3k selects code k without masking). Each lane adds its
// entries one at a time in component order, exactly like scoreLut; the
// groups are independent chains that hide the addition latency.
template <std::size_t G>
void sumGroups(const TurboQuantPayload* const* ps, const float* table, float* acc_out) noexcept {
  static_assert(TurboQuantPayload::c_chunks % 8 == 0);
  __m256 acc[G];
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) acc[g] = _mm256_setzero_ps();

  // Eight packed chunks (24 bytes) widened to one per 32-bit lane: dwords
  // 0-2 go to the low half and 3-5 to the high one, then each half's twelve
  // bytes become four three-byte lanes with a zero top byte.
  const __m256i spread = _mm256_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5);
  const __m256i widen = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                         0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  alignas(32) __m256i staged[G][8];
  for (std::size_t block = 0; block < TurboQuantPayload::c_chunks / 8; ++block) {
    // staged[g][r] lane i: chunk 8 * block + r of payload 8g + i.
    for (std::size_t g = 0; g < G; ++g) {
      for (std::size_t i = 0; i < 8; ++i) {
        // 32 bytes from 24 * block: the eight bytes past the group stay
        // inside the record (static_assert in turboquant.h) and are dropped.
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
            ps[8 * g + i]->packed.data() + 8 * TurboQuantPayload::c_chunk_bytes * block));
        staged[g][i] = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, spread), widen);
      }
      transpose8x8(staged[g]);
    }
    // Fully unrolled so that acc[] and idx[] live in registers.
    const float* rows = table + 8 * 64 * block;
    for (std::size_t r = 0; r < 8; ++r) {
      __m256i idx[G];
#pragma GCC unroll 4
      for (std::size_t g = 0; g < G; ++g) idx[g] = staged[g][r];
#pragma GCC unroll 8
      for (std::size_t k = 0; k < 8; ++k) {
        const __m256 row = _mm256_loadu_ps(rows + 8 * (8 * r + k));
#pragma GCC unroll 4
        for (std::size_t g = 0; g < G; ++g) {
          acc[g] = _mm256_add_ps(acc[g], _mm256_permutevar8x32_ps(row, idx[g]));
          idx[g] = _mm256_srli_epi32(idx[g], 3);
        }
      }
    }
  }
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) _mm256_storeu_ps(acc_out + 8 * g, acc[g]);
}

// Scores n <= 8G payloads with sumGroups<G>; missing lanes repeat the last
// payload and are discarded.
template <std::size_t G>
void scoreGroups(const TurboQuantPayload* const* payloads, std::size_t n, const float* table,
                 LutConstants c, float* out) noexcept {
  const TurboQuantPayload* ps[8 * G];
  for (std::size_t i = 0; i < 8 * G; ++i) ps[i] = payloads[i < n ? i : n - 1];
  alignas(32) float acc[8 * G];
  sumGroups<G>(ps, table, acc);
  for (std::size_t i = 0; i < n; ++i) out[i] = finishScore(acc[i], *ps[i], c.a, c.b);
}

}  // namespace

std::uint8_t quantizeCoord(float value) noexcept {
  // The thresholds ascend, so the ones not above `value` form a prefix and
  // counting them equals walking until the first one `value` is below. NaN
  // is below none of them and gets 7.
  std::uint8_t code = 0;
  for (float t : decision_thresholds) code += static_cast<std::uint8_t>(!(value < t));
  return code;
}

TQ3Chunk packChunk(const std::array<std::uint8_t, 8>& codes) noexcept {
  std::uint32_t bits = 0;
  for (std::size_t k = 0; k < 8; ++k) bits |= static_cast<std::uint32_t>(codes[k] & 7U) << (3 * k);
  return TQ3Chunk{bits};
}

TurboQuantPayload TurboQuantPayload::encodeWithCalibration(
    std::uint64_t id, const float* x, std::span<const float> calib_shift,
    std::span<const float> calib_scale) noexcept {
  // Calibration needs both vectors in full; anything else encodes plain
  // rather than reading past a short vector.
  if (calib_shift.size() == c_dim && calib_scale.size() == c_dim) {
    return encodeImpl<true>(id, x, calib_shift.data(), calib_scale.data());
  }
  return encodeImpl<false>(id, x, nullptr, nullptr);
}

void quantizeQuery(const float* values, std::size_t n, float* out) noexcept {
  double sum = 0.0;
  double sum_sq = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double v = static_cast<double>(values[j]);
    sum += v;
    sum_sq += v * v;
  }
  const Frame frame = frameFromSums(sum, sum_sq, n);
  const LaneFrame lane_frame(frame);
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i code = quantize8(lane_frame, _mm256_loadu_ps(values + j));
    _mm256_storeu_ps(out + j, reconstruct8(lane_frame, code));
  }
  for (; j < n; ++j) out[j] = reconstruct(frame, quantizeInFrame(frame, values[j]));
}

LutConstants buildScoreLut(const float* q, float* table) noexcept {
  // The eight products of a row are one vector multiplication; each is a
  // single f32 rounding either way. The sum stays sequential.
  const __m256 centroids = _mm256_loadu_ps(lloyd_max_centroids.data());
  float sum = 0.0f;
  for (std::size_t j = 0; j < c_dim; ++j) {
    _mm256_storeu_ps(table + 8 * j, _mm256_mul_ps(_mm256_set1_ps(q[j]), centroids));
    sum = sum + q[j];
  }
  return {sum, 0.0f};
}

LutConstants buildScoreLutCalibrated(const float* q, const float* calib_shift,
                                     const float* calib_scale, float* table) noexcept {
  const __m256 centroids = _mm256_loadu_ps(lloyd_max_centroids.data());
  float a = 0.0f;
  float b = 0.0f;
  for (std::size_t j = 0; j < c_dim; ++j) {
    const float s = q[j] * calib_scale[j];
    _mm256_storeu_ps(table + 8 * j, _mm256_mul_ps(_mm256_set1_ps(s), centroids));
    a = a + s;
    const float shift_term = q[j] * calib_shift[j];
    b = b + shift_term;
  }
  return {a, b};
}

float scoreLut(const TurboQuantPayload& p, const float* table, float a, float b) noexcept {
  float acc = 0.0f;
  for (std::size_t c = 0; c < TurboQuantPayload::c_chunks; ++c) {
    const std::uint32_t bits = p.chunk(c).bits;
    const float* rows = table + 64 * c;
    for (std::size_t k = 0; k < 8; ++k) {
      acc = acc + rows[8 * k + ((bits >> (3 * k)) & 7U)];
    }
  }
  return finishScore(acc, p, a, b);
}

void scoreLutMany(const TurboQuantPayload* const* payloads, std::size_t n, const float* table,
                  LutConstants c, float* out) noexcept {
  // Four groups of eight in flight keep the vector adders busy; a shorter
  // remainder runs with as many groups as it fills.
  constexpr std::size_t c_wide = 32;
  std::size_t i = 0;
  for (; i + c_wide <= n; i += c_wide) scoreGroups<4>(payloads + i, c_wide, table, c, out + i);
  const std::size_t rest = n - i;
  if (rest == 0) return;
  switch ((rest + 7) / 8) {
    case 1:
      scoreGroups<1>(payloads + i, rest, table, c, out + i);
      break;
    case 2:
      scoreGroups<2>(payloads + i, rest, table, c, out + i);
      break;
    case 3:
      scoreGroups<3>(payloads + i, rest, table, c, out + i);
      break;
    default:
      scoreGroups<4>(payloads + i, rest, table, c, out + i);
      break;
  }
}

}  // namespace korvane
