#include "random.h"

#include <bit>
#include <cmath>

namespace korvane {

std::uint64_t SplitMix64::next() noexcept {
  state += 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

Xoshiro256pp Xoshiro256pp::fromSeed(std::uint64_t seed) noexcept {
  SplitMix64 sm{seed};
  Xoshiro256pp g{};
  for (std::uint64_t& w : g.s) w = sm.next();
  return g;
}

std::uint64_t Xoshiro256pp::next() noexcept {
  const std::uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
  const std::uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = std::rotl(s[3], 45);
  return result;
}

double uniformDouble(Xoshiro256pp& rng) noexcept {
  const std::uint64_t r = rng.next();
  std::uint64_t z = static_cast<std::uint64_t>(std::countl_zero(r));
  if (z >= 12) {
    // Fewer than 52 bits of exponent information: keep extending the run of
    // leading zeros with further outputs (astronomically rare).
    z = 12;
    for (;;) {
      const auto more = static_cast<std::uint64_t>(std::countl_zero(rng.next()));
      z += more;
      if (more != 64) break;
      if (z >= 1022) {
        z = 1022;
        break;
      }
    }
    if (z > 1022) z = 1022;
  }
  const std::uint64_t mantissa = r & 0xFFFFFFFFFFFFFULL;
  return std::bit_cast<double>(((1022 - z) << 52) | mantissa);
}

namespace {

// The standard normal density without its constant factor, and its inverse.
double density(double t) noexcept { return std::exp(-t * t / 2.0); }
double inverseDensity(double y) noexcept { return std::sqrt(-2.0 * std::log(y)); }

ZigguratTables buildTables() noexcept {
  constexpr double r = ZigguratTables::c_r;
  constexpr double v = ZigguratTables::c_v;
  ZigguratTables t;
  t.x[0] = v / density(r);
  t.x[1] = r;
  for (std::size_t i = 2; i < 256; ++i) t.x[i] = inverseDensity(v / t.x[i - 1] + density(t.x[i - 1]));
  t.x[256] = 0.0;
  for (std::size_t i = 0; i < 257; ++i) t.f[i] = density(t.x[i]);
  return t;
}

// Marsaglia's tail method beyond r, on the side given by the sign of u.
double normalTail(Xoshiro256pp& rng, double u) noexcept {
  constexpr double r = ZigguratTables::c_r;
  double x = 1.0;
  double y = 0.0;
  while (-2.0 * y < x * x) {
    x = std::log(uniformDouble(rng)) / r;
    y = std::log(uniformDouble(rng));
  }
  return u < 0.0 ? x - r : r - x;
}

}  // namespace

const ZigguratTables& zigguratTables() noexcept {
  static const ZigguratTables tables = buildTables();
  return tables;
}

double standardNormal(Xoshiro256pp& rng) noexcept {
  const ZigguratTables& t = zigguratTables();
  for (;;) {
    const std::uint64_t bits = rng.next();
    const std::size_t i = bits & 0xFF;
    // 52 random bits make a double in [2, 4); shifted to [−1, 1).
    const double u =
        std::bit_cast<double>((std::uint64_t{0x400} << 52) | (bits >> 12)) - 3.0;
    const double x = u * t.x[i];
    if (std::fabs(x) < t.x[i + 1]) return x;
    if (i == 0) return normalTail(rng, u);
    if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * uniformDouble(rng) < density(x)) return x;
  }
}

}  // namespace korvane
