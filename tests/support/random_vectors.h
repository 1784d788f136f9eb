// Gaussian test vectors from a seeded standard-library engine.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

namespace testsupport {

inline std::vector<float> gaussian(std::mt19937_64& rng, std::size_t n, float mean = 0.0f,
                                   float sd = 1.0f) {
  std::normal_distribution<float> dist(mean, sd);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

}  // namespace testsupport
