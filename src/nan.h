// nan: the one quiet NaN every kernel returns in place of a NaN result.
//
// Which of two NaN operands an addition returns depends on the operand
// order the compiler chose for a commutative operation, so NaN results are
// replaced by the default quiet NaN (0x7FC00000): scalar and vector forms
// then agree bit for bit, whatever the build.
#pragma once

#include <cmath>
#include <limits>

namespace korvane {

inline float canonicalNan(float v) noexcept {
  return std::isnan(v) ? std::numeric_limits<float>::quiet_NaN() : v;
}

}  // namespace korvane
