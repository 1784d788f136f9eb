// Generated data for tests: unit vectors around random cluster centres, and
// an exact brute-force top k by inner product.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace testdata {

constexpr std::size_t c_dim = 3072;

inline void normalise(float* v) {
  double s = 0;
  for (std::size_t j = 0; j < c_dim; ++j) s += double(v[j]) * v[j];
  const float inv = s > 0 ? float(1.0 / std::sqrt(s)) : 0.0f;
  for (std::size_t j = 0; j < c_dim; ++j) v[j] *= inv;
}

// `count` unit vectors (count * c_dim floats) drawn around `clusters`
// centres fixed by `seed`; `stream` selects an independent draw from the same
// distribution (e.g. queries versus stored vectors).
inline std::vector<float> clustered(std::size_t count, std::uint64_t seed, std::uint64_t stream,
                                    std::size_t clusters = 50) {
  std::mt19937_64 centre_gen(seed);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> centres(clusters * c_dim);
  for (float& x : centres) x = unit(centre_gen);
  for (std::size_t c = 0; c < clusters; ++c) normalise(&centres[c * c_dim]);
  std::mt19937_64 gen(seed * 7919 + stream + 1);
  std::normal_distribution<float> noise(0.0f, 0.9f / std::sqrt(float(c_dim)));
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<float> out(count * c_dim);
  for (std::size_t i = 0; i < count; ++i) {
    const float* c = &centres[pick(gen) * c_dim];
    float* v = &out[i * c_dim];
    for (std::size_t j = 0; j < c_dim; ++j) v[j] = c[j] + noise(gen);
    normalise(v);
  }
  return out;
}

inline double exactDot(const float* a, const float* b) {
  double s = 0;
  for (std::size_t j = 0; j < c_dim; ++j) s += double(a[j]) * b[j];
  return s;
}

// Positions of the k vectors of `data` with the largest inner product.
inline std::vector<std::uint64_t> bruteForce(const std::vector<float>& data, const float* query,
                                             std::size_t k) {
  const std::size_t n = data.size() / c_dim;
  std::vector<std::pair<double, std::uint64_t>> scored(n);
  for (std::size_t i = 0; i < n; ++i) scored[i] = {exactDot(query, &data[i * c_dim]), i};
  k = std::min(k, n);
  std::partial_sort(scored.begin(), scored.begin() + std::ptrdiff_t(k), scored.end(),
                    [](auto& a, auto& b) { return a.first > b.first; });
  std::vector<std::uint64_t> ids(k);
  for (std::size_t r = 0; r < k; ++r) ids[r] = scored[r].second;
  return ids;
}

}  // namespace testdata
