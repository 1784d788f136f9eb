// random: the published generators the system draws from — SplitMix64,
// xoshiro256++ seeded through it, uniform doubles and standard normal
// variates by the ziggurat method. The rotation matrix and the graph's
// levels are drawn from these streams, so every output here is part of the
// file format's contract: a seed must give the same bits in every build.
//
// Thread safety: a generator is a plain value used by one thread at a time;
// the ziggurat tables are built once, on first use, and only read after.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// The 256 layers of the normal ziggurat, all of area c_v, the base layer
// reaching out to the tail at c_r: x[0] = c_v / f(c_r), x[1] = c_r, x[i]
// for i = 2 .. 255 from the equal-area recurrence, x[256] = 0; f[i] =
// exp(−x[i]² / 2).
struct ZigguratTables {
  static constexpr double c_r = 3.654152885361009;
  static constexpr double c_v = 0.00492867323399;
  std::array<double, 257> x;
  std::array<double, 257> f;
};
const ZigguratTables& zigguratTables() noexcept;

// A standard normal variate by the 256-layer ziggurat method, consuming
// `rng` only.
double standardNormal(Xoshiro256pp& rng) noexcept;

}  // namespace korvane
