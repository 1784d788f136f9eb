// The one drawn rotation a test executable shares between its indexes: an
// index built from parts with a copy of it is what loading produces, and
// costs a 36 MiB copy instead of a 3072 x 3072 orthonormalisation.
#pragma once

#include <utility>

#include "rotation.h"

namespace testsupport {

// The rotation korvane_index_create(_, c_shared_seed) draws, drawn once per
// process.
inline constexpr std::uint64_t c_shared_seed = 11;

inline const korvane::RandomRotation& sharedRotation() {
  static const korvane::RandomRotation r =
      std::move(*korvane::RandomRotation::init(c_shared_seed));
  return r;
}

// A copy of `rotation`, for an index that must own one.
inline korvane::RandomRotation copyOf(const korvane::RandomRotation& rotation) {
  return std::move(*korvane::RandomRotation::fromRows(rotation.rows().data()));
}

}  // namespace testsupport
