#include "sq8.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "alloc.h"
#include "nan.h"

namespace korvane {

float encodeSq8(const float* rotated, std::int8_t* codes) noexcept {
  float max_abs = 0.0f;
  for (std::size_t j = 0; j < c_dim; ++j) {
    const float a = std::fabs(rotated[j]);
    if (a > max_abs) max_abs = a;  // false for NaN: passed over
  }
  const float scale = std::max(max_abs, 1e-20f) / 127.0f;
  for (std::size_t j = 0; j < c_dim; ++j) {
    const float q = std::round(rotated[j] / scale);
    // |q| <= 127 whenever max_abs is finite. A NaN component, or an infinite
    // scale (an infinite component), would make the conversion undefined:
    // NaN maps to 0 and the range is clamped.
    codes[j] = std::isnan(q) ? std::int8_t{0}
                             : static_cast<std::int8_t>(std::clamp(q, -127.0f, 127.0f));
  }
  return scale;
}

float dotSq8(const float* q, const std::int8_t* codes, std::size_t n) noexcept {
  __m256 acc = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    // Every int8 is exactly representable, so the conversion is exact.
    const __m256 c = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadu_si64(codes + i)));
    acc = _mm256_fmadd_ps(c, _mm256_loadu_ps(q + i), acc);
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc);
  float total = lanes[0];
  for (std::size_t l = 1; l < 8; ++l) total = total + lanes[l];
  for (; i < n; ++i) total = std::fma(static_cast<float>(codes[i]), q[i], total);
  return canonicalNan(total);
}

float dotSq8Scalar(const float* q, const std::int8_t* codes, std::size_t n) noexcept {
  float lanes[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t l = 0; l < 8; ++l) {
      lanes[l] = std::fma(static_cast<float>(codes[i + l]), q[i + l], lanes[l]);
    }
  }
  float total = lanes[0];
  for (std::size_t l = 1; l < 8; ++l) total = total + lanes[l];
  for (; i < n; ++i) total = std::fma(static_cast<float>(codes[i]), q[i], total);
  return canonicalNan(total);
}

Status Sq8Store::reserveOne() noexcept {
  if (auto s = tryReserveMore(codes_, c_dim); !s) return s;
  return tryReserveMore(scales_, 1);
}

void Sq8Store::appendReserved(const float* rotated) noexcept {
  const std::size_t at = codes_.size();
  codes_.resize(at + c_dim);  // reserved: cannot throw
  scales_.push_back(encodeSq8(rotated, codes_.data() + at));
}

}  // namespace korvane
