#include "synthetic.h"

#include <cmath>
#include <random>

namespace synthetic {

namespace {

void normalise(float* v) {
  double s = 0;
  for (std::size_t j = 0; j < c_dim; ++j) s += double(v[j]) * v[j];
  const float inv = s > 0 ? float(1.0 / std::sqrt(s)) : 0.0f;
  for (std::size_t j = 0; j < c_dim; ++j) v[j] *= inv;
}

}  // namespace

std::vector<float> clustered(std::size_t n, std::uint64_t seed, std::uint64_t stream,
                             std::size_t clusters) {
  std::mt19937_64 cg(seed);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> centres(clusters * c_dim);
  for (float& x : centres) x = unit(cg);
  for (std::size_t c = 0; c < clusters; ++c) normalise(&centres[c * c_dim]);
  std::mt19937_64 g(seed * 1000003 + stream);
  std::normal_distribution<float> noise(0.0f, 0.9f / std::sqrt(float(c_dim)));
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<float> out(n * c_dim);
  for (std::size_t i = 0; i < n; ++i) {
    const float* c = &centres[pick(g) * c_dim];
    float* v = &out[i * c_dim];
    for (std::size_t j = 0; j < c_dim; ++j) v[j] = c[j] + noise(g);
    normalise(v);
  }
  return out;
}

}  // namespace synthetic
